#!/usr/bin/env bash
# The main job: builds the launcher and runs a command under the shipped
# example profile examples/quickstart.json. The command writes once inside
# the work tree (allowed) and once outside every granted directory (refused
# by the kernel).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
"$repo/scripts/build.sh"

# The example profile names its directories relative to the working
# directory, so the demo runs in a fresh directory outside /tmp.
demo="$(mktemp -d /var/tmp/morvik-demo-XXXXXX)"
trap 'rm -rf "$demo"' EXIT
mkdir -p "$demo/worktree/.git" "$demo/outside"
cd "$demo"

echo "\$ morvik-sandbox --profile examples/quickstart.json -- sh -c '...'"
"$repo/build/morvik-sandbox" --profile "$repo/examples/quickstart.json" -- sh -c '
  if echo hello > worktree/note.txt; then echo "write inside the work tree (worktree/note.txt): allowed"; fi
  if ! { echo hello > outside/note.txt; } 2>/dev/null; then
    echo "write outside it (outside/note.txt): refused by the kernel"
  fi
  if ! ls /var/tmp >/dev/null 2>&1; then echo "list /var/tmp: refused by the kernel"; fi
'
echo "exit status: $?"
