#!/bin/sh
# Builds the Debian package from a configured and built tree, checks it with
# lintian (any error fails; the whole report is printed), unpacks it into a
# temporary root, checks its metadata, files and the programs' hardening, and
# runs the unpacked programs on an example profile.
#   package_test.sh CPACK BUILD_DIR hardened|sanitized [LINTIAN]
# Without LINTIAN the lintian check is skipped with a message.
# The package and CPack's work files go to a temporary directory, so the
# build directory is left as it was and parallel runs do not meet.
set -eu

cpack=$1
build=$2
flavour=$3
lintian=${4:-}

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
# A summary line and an extended description below it.
[ "$(field Description | wc -l)" -ge 3 ] || fail "no extended Description: $(field Description)"
# A sanitizer build adds its runtime libraries; libc6 is always there.
case ", $(field Depends)," in
*", libc6 "* | *", libc6,"*) ;;
*) fail "Depends: $(field Depends)" ;;
esac

if [ -n "$lintian" ]; then
    # lintian refuses nothing for running as root, but says so on stderr.
    "$lintian" --display-info --pedantic "$deb" >"$tmp/lintian" 2>"$tmp/lintian.err" || true
    echo "lintian: $(wc -l <"$tmp/lintian") lines"
    cat "$tmp/lintian"
    grep -v '^running with root privileges' "$tmp/lintian.err" >&2 || true
    if grep -q '^E: ' "$tmp/lintian"; then fail "lintian reports errors"; fi
else
    echo "lintian not installed: package not checked with it"
fi

root=$tmp/root
dpkg -x "$deb" "$root"
doc=usr/share/doc/morvik-sandbox
for f in \
    usr/bin/morvik-sandbox \
    usr/bin/morvik-sandbox-explain \
    usr/share/man/man1/morvik-sandbox.1.gz \
    usr/share/man/man1/morvik-sandbox-explain.1.gz \
    usr/share/man/man5/morvik-sandbox-profile.5.gz \
    $doc/copyright \
    $doc/changelog.gz \
    $doc/README.md \
    $doc/security.md \
    $doc/profile.schema.json \
    $doc/examples/quickstart.json; do
    [ -f "$root/$f" ] || fail "missing /$f"
done
[ -x "$root/usr/bin/morvik-sandbox" ] || fail "launcher not executable"
[ -x "$root/usr/bin/morvik-sandbox-explain" ] || fail "explainer not executable"

# Compressed files carry no name and no time stamp (gzip -n): header bytes
# 4 to 7 (the time) are zero and the flag byte names no file.
for f in "$root"/usr/share/man/man?/*.gz "$root/$doc/changelog.gz"; do
    gzip -t "$f" || fail "$f is not gzip"
    [ "$(od -An -tx1 -j3 -N5 "$f" | tr -d ' ')" = 0000000000 ] || fail "$f has a name or time"
done
head -n 1 "$root/$doc/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in the machine-readable format"
# The changelog's latest entry is this version.
top=$(gzip -dc "$root/$doc/changelog.gz" | head -n 1)
case "$top" in
"morvik-sandbox ($(field Version)) "*) ;;
*) fail "changelog starts with: $top (package version $(field Version))" ;;
esac
version=$("$root/usr/bin/morvik-sandbox" --version)
[ "$version" = "morvik-sandbox $(field Version)" ] || fail "--version prints: $version"

# The shipped programs are hardened (the sanitizer build is not) and need
# only the C library.
if [ "$flavour" = hardened ]; then
    for p in morvik-sandbox morvik-sandbox-explain; do
        bin=$root/usr/bin/$p
        dynamic=$(readelf -dW "$bin")
        echo "$dynamic" | grep -q 'FLAGS_1.*NOW.*PIE' || fail "$p: not PIE with BIND_NOW"
        readelf -lW "$bin" | grep -q GNU_RELRO || fail "$p: no RELRO segment"
        readelf -sW "$bin" | grep -q __stack_chk_fail || fail "$p: no stack protector"
        needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
        case "$needed" in
        "ld-linux-"*" libc.so.6 " | "libc.so.6 ") ;;
        *) fail "$p needs: $needed" ;;
        esac
    done
fi

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
