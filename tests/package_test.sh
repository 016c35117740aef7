#!/bin/sh
# Builds the Debian package from a configured and built tree, unpacks it into
# a temporary root, checks its metadata and files, and runs the unpacked
# programs on an example profile.
#   package_test.sh CPACK BUILD_DIR
# The package and CPack's work files go to a temporary directory, so the
# build directory is left as it was and parallel runs do not meet.
set -eu

cpack=$1
build=$2

# Under /var/tmp: outside every directory the launcher grants.
tmp=$(mktemp -d /var/tmp/morvik-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT INT TERM

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    fail "cpack did not build the package"
fi
set -- "$tmp"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected exactly one .deb, found: $*"
deb=$1

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = morvik-sandbox ] || fail "Package: $(field Package)"
[ "$(field Maintainer)" = "morvik-sandbox developers <dev@morvik.invalid>" ] ||
    fail "Maintainer: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"
# A sanitizer build adds its runtime libraries; libc6 is always there.
case ", $(field Depends)," in
*", libc6 "* | *", libc6,"*) ;;
*) fail "Depends: $(field Depends)" ;;
esac

root=$tmp/root
dpkg -x "$deb" "$root"
for f in \
    usr/bin/morvik-sandbox \
    usr/bin/morvik-sandbox-explain \
    usr/share/man/man1/morvik-sandbox.1 \
    usr/share/man/man5/morvik-sandbox-profile.5 \
    usr/share/doc/morvik-sandbox/examples/quickstart.json; do
    [ -f "$root/$f" ] || fail "missing /$f"
done
[ -x "$root/usr/bin/morvik-sandbox" ] || fail "launcher not executable"
[ -x "$root/usr/bin/morvik-sandbox-explain" ] || fail "explainer not executable"

# Run the unpacked programs from a scratch working directory, where the
# example's relative work tree resolves.
scratch=$tmp/scratch
mkdir -p "$scratch/worktree" "$scratch/outside"
cd "$scratch"
profile=$root/usr/share/doc/morvik-sandbox/examples/quickstart.json

status=0
"$root/usr/bin/morvik-sandbox" --profile "$profile" -- /bin/true 2>"$tmp/err" || status=$?
[ "$status" -eq 0 ] || fail "launcher exited $status: $(cat "$tmp/err")"

status=0
"$root/usr/bin/morvik-sandbox-explain" --profile "$profile" >"$tmp/explain" 2>"$tmp/err" || status=$?
[ "$status" -eq 0 ] || fail "explainer exited $status: $(cat "$tmp/err")"
grep -q '^abi level: ' "$tmp/explain" || fail "explainer output: $(cat "$tmp/explain")"

# Where the kernel enforces Landlock, the installed launcher confines: the
# work tree is writable, a directory beside it is not.
if grep -q '^rule: worktree_path "worktree": ' "$tmp/explain"; then
    "$root/usr/bin/morvik-sandbox" --profile "$profile" -- /bin/sh -c 'echo x > worktree/f' ||
        fail "write in the work tree refused"
    if "$root/usr/bin/morvik-sandbox" --profile "$profile" -- /bin/sh -c 'echo x > outside/f' 2>/dev/null; then
        fail "write outside the work tree allowed"
    fi
fi
echo "package ok: $(basename "$deb")"
