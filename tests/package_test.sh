#!/bin/sh
# Builds the Debian source and binary packages as Debian does
# (dpkg-buildpackage, dh) from a copy of the source tree, checks both with
# lintian (any error or warning fails; the whole report is printed), unpacks it, checks its files and the programs'
# hardening, and runs the unpacked programs on an example profile.
#   package_test.sh [SOURCE_DIR]
# The unit tests run in the normal build, so this build skips them (nocheck).
set -eu

src=$(cd "${1:-$(dirname "$0")/..}" && pwd)
# Under /var/tmp: outside every directory the launcher grants.
tmp=$(mktemp -d /var/tmp/morvik-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT INT TERM

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The files git knows (or everything but build trees outside a checkout):
# dpkg-buildpackage writes into the tree and beside it.
mkdir "$tmp/src"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        tar -C "$src" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$tmp/src" -xf -
else
    tar -C "$src" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$tmp/src" -xf -
fi
if ! (cd "$tmp/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
    dpkg-buildpackage -us -uc) >"$tmp/build.log" 2>&1; then
    tail -n 40 "$tmp/build.log" >&2
    fail "dpkg-buildpackage failed"
fi
set -- "$tmp"/morvik-sandbox_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected exactly one package, found: $*"
deb=$1

# lintian says on standard error that it runs as root; nothing more.
lintian --pedantic --display-info "$tmp"/*.changes >"$tmp/lintian" 2>&1 || true
echo "lintian:"
cat "$tmp/lintian"
if grep -q '^[EW]: ' "$tmp/lintian"; then fail "lintian reports errors or warnings"; fi

version=$(dpkg-deb -f "$deb" Version)
[ "$version" = "$(cd "$tmp/src" && dpkg-parsechangelog -S Version)" ] || fail "Version: $version"

root=$tmp/root
dpkg -x "$deb" "$root"
doc=usr/share/doc/morvik-sandbox
for f in usr/bin/morvik-sandbox usr/bin/morvik-sandbox-explain \
    usr/share/man/man1/morvik-sandbox.1.gz usr/share/man/man1/morvik-sandbox-explain.1.gz \
    usr/share/man/man5/morvik-sandbox-profile.5.gz $doc/copyright $doc/changelog.gz \
    $doc/README.md $doc/security.md $doc/supervisor.md $doc/examples/quickstart.json \
    $doc/examples/supervisor.py; do
    [ -f "$root/$f" ] || fail "missing /$f"
done
out=$("$root/usr/bin/morvik-sandbox" --version)
[ "$out" = "morvik-sandbox $version" ] || fail "--version prints: $out"

# The shipped programs are hardened and need only the C library.
for p in morvik-sandbox morvik-sandbox-explain; do
    bin=$root/usr/bin/$p
    dynamic=$(readelf -dW "$bin")
    echo "$dynamic" | grep -q 'FLAGS_1.*NOW.*PIE' || fail "$p: not PIE with BIND_NOW"
    readelf -lW "$bin" | grep -q GNU_RELRO || fail "$p: no RELRO segment"
    readelf --dyn-syms -W "$bin" | grep -q __stack_chk_fail || fail "$p: no stack protector"
    needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
    case "$needed" in
    "ld-linux-"*" libc.so.6 " | "libc.so.6 ") ;;
    *) fail "$p needs: $needed" ;;
    esac
done

# The unpacked programs, from a directory where the example's relative work
# tree resolves: the work tree is writable, a directory beside it is not.
mkdir -p "$tmp/run/worktree" "$tmp/run/outside"
cd "$tmp/run"
profile=$root/$doc/examples/quickstart.json
"$root/usr/bin/morvik-sandbox-explain" --profile "$profile" >"$tmp/explain" ||
    fail "explainer exited $?"
"$root/usr/bin/morvik-sandbox" --profile "$profile" -- /bin/sh -c 'echo x > worktree/f' ||
    fail "write in the work tree refused"
if grep -q '^rule: worktree_path "worktree": ' "$tmp/explain" &&
    "$root/usr/bin/morvik-sandbox" --profile "$profile" -- /bin/sh -c 'echo x > outside/f' 2>/dev/null; then
    fail "write outside the work tree allowed"
fi
echo "package ok: $(basename "$deb")"
