#!/usr/bin/env bash
# Boots the launcher on real Debian kernels, from one without Landlock to the
# newest, on x86-64 and arm64, under QEMU (TCG), and runs the confinement
# suite of tests/matrix/ inside each as root and as an unprivileged user.
#
#   scripts/kernel-matrix.sh BUILD_DIR
#
# BUILD_DIR holds the x86-64 build (morvik-sandbox, morvik-sandbox-explain).
# The arm64 launcher is cross-built into BUILD_DIR-matrix-aarch64. Kernel and
# busybox packages are fetched with a private apt configuration (the archive
# address is read from this machine's apt sources) and kept in
# MORVIK_MATRIX_CACHE (default /var/cache/morvik-matrix); the package lists
# are refreshed when older than a week. Each guest has
# MORVIK_MATRIX_TIMEOUT seconds (default 90) to power off with its results.
# MORVIK_SKIP_KERNEL_MATRIX=1 skips the whole matrix (machines that cannot
# reach the archive).
set -euo pipefail

if [[ "${MORVIK_SKIP_KERNEL_MATRIX:-}" == 1 ]]; then
  echo "kernel matrix skipped (MORVIK_SKIP_KERNEL_MATRIX=1)"
  exit 0
fi
if [[ $# -ne 1 || ! -x "$1/morvik-sandbox" ]]; then
  echo "usage: $0 BUILD_DIR (a build directory holding morvik-sandbox)" >&2
  exit 2
fi

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "$1" && pwd)"
cache="${MORVIK_MATRIX_CACHE:-/var/cache/morvik-matrix}"
timeout_s="${MORVIK_MATRIX_TIMEOUT:-90}"
work="$(mktemp -d /tmp/morvik-matrix.XXXXXX)"
trap 'rm -rf "$work"' EXIT
start_all=$SECONDS

# name | suite | arch | package name (extended regex) | kernel image inside
kernels=(
  "5.10|bullseye|amd64|linux-image-5\.10\.0-[0-9]+-cloud-amd64|boot/vmlinuz-*"
  "6.1|bookworm|amd64|linux-image-6\.1\.0-[0-9]+-cloud-amd64|boot/vmlinuz-*"
  "6.12|trixie|amd64|linux-image-6\.12\.[0-9.+~a-z-]*-cloud-amd64|boot/vmlinuz-*"
  "7.2|sid|amd64|linux-binary-7\.2\.[0-9.+~a-z-]*-cloud-amd64|usr/lib/modules/*/vmlinuz"
  "7.2-arm64|sid|arm64|linux-binary-7\.2\.[0-9.+~a-z-]*-cloud-arm64|usr/lib/modules/*/vmlinuz"
)

die() {
  printf 'kernel matrix: %s\n' "$*" >&2
  exit 1
}

# --- fetching -------------------------------------------------------------

# The archive's base addresses, from this machine's own apt sources: the
# main archive (…/debian) and the security archive (…/debian-security).
archive_uris() {
  local files=(/etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  {
    grep -hs '^URIs:' "${files[@]}" | sed 's/^URIs:[[:space:]]*//' | tr ' ' '\n'
    grep -hs '^deb ' "${files[@]}" | sed -E 's/^deb +(\[[^]]*\] +)?//' | cut -d' ' -f1
  } | grep -E '^https?://' | sed 's:/*$::' | sort -u
}

main_uri="$(archive_uris | grep -v -- '-security$' | head -n1 || true)"
security_uri="$(archive_uris | grep -- '-security$' | head -n1 || true)"

# A private apt configuration for one suite and architecture: its own
# sources list, lists, cache and (empty) dpkg status; the machine's own
# configuration is not touched. The archive here may be a frozen snapshot
# whose Release files are past their Valid-Until date: signatures are still
# checked against the machine's keyring, only that date is not.
apt_private() {
  local program="$1" dir="$2" arch="$3"
  shift 3
  "$program" -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/empty" \
    -o Dir::Etc::Preferences="$dir/empty/none" -o Dir::Etc::PreferencesParts="$dir/empty" \
    -o Dir::State="$dir/state" -o Dir::State::status="$dir/status" -o Dir::Cache="$dir/cache" \
    -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o Acquire::Languages=none \
    -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root -o Debug::NoLocking=1 "$@"
}

# Refreshes the package lists of one suite when they are missing or older
# than a week. Bullseye's kernels may be newer in the security archive; a
# suite the archive no longer serves at one address is tried without it.
# When the archive cannot be reached, lists fetched earlier are kept.
apt_lists() {
  local suite="$1" arch="$2"
  local dir="$cache/apt/$suite-$arch"
  mkdir -p "$dir/empty" "$dir/state/lists/partial" "$dir/cache/archives/partial"
  touch "$dir/status"
  if [[ -f "$dir/updated" && -z "$(find "$dir/updated" -mtime +7)" ]]; then
    return 0
  fi
  [[ -n "$main_uri" ]] || die "no Debian archive address in /etc/apt/sources.list*"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local main="deb [signed-by=$keyring] $main_uri $suite main"
  local security=""
  [[ -n "$security_uri" && "$suite" != sid ]] && security="deb [signed-by=$keyring] $security_uri $suite-security main"
  local attempt
  for attempt in "$main"$'\n'"$security" "$main"; do
    printf '%s\n' "$attempt" >"$dir/sources.list"
    if apt_private apt-get "$dir" "$arch" update >"$dir/update.log" 2>&1 &&
      ! grep -qE '^(W|E): ' "$dir/update.log"; then
      touch "$dir/updated"
      return 0
    fi
  done
  # Lists fetched before still name what the cache holds.
  [[ -f "$dir/updated" ]] && return 0
  die "$suite ($arch): the package lists cannot be fetched: $(grep -E '^(W|E): ' "$dir/update.log" | head -n1)"
}

# Downloads (once) the newest package whose name matches the regex (names
# sorted by version, then that name's candidate version), and prints the
# path of the .deb.
fetch_newest() {
  local suite="$1" arch="$2" regex="$3"
  local dir="$cache/apt/$suite-$arch"
  local prefix="${regex%%[\\[]*}" name version
  name="$(apt_private apt-cache "$dir" "$arch" pkgnames "$prefix" 2>/dev/null | grep -xE "$regex" |
    sort -V | tail -n1)" || true
  [[ -n "$name" ]] || {
    echo "no package matches $regex in $suite ($arch)" >&2
    return 1
  }
  version="$(apt_private apt-cache "$dir" "$arch" policy "$name" 2>/dev/null | sed -n 's/^ *Candidate: //p')"
  local file="$cache/debs/${name}_${version//:/%3a}_$arch.deb"
  if [[ ! -f "$file" ]]; then
    mkdir -p "$cache/debs"
    (cd "$cache/debs" && apt_private apt-get "$dir" "$arch" download "$name=$version") \
      >"$dir/download.log" 2>&1 || true
    [[ -f "$file" ]] || {
      echo "$name $version cannot be downloaded: $(tail -n1 "$dir/download.log")" >&2
      return 1
    }
  fi
  # Older packages of the same kind leave the cache.
  local other base
  for other in "$cache/debs/"*_"$arch.deb"; do
    base="$(basename "$other" .deb)"
    if [[ "$other" != "$file" && "${base%%_*}" =~ ^($regex)$ ]]; then
      rm -rf "$other" "$cache/unpacked/$base"
    fi
  done
  printf '%s\n' "$file"
}

# Unpacks one kernel package (once) and prints the kernel image's path.
kernel_image() {
  local deb="$1" pattern="$2" dir
  dir="$cache/unpacked/$(basename "$deb" .deb)"
  if [[ ! -d "$dir" ]]; then
    rm -rf "$dir.tmp"
    mkdir -p "$dir.tmp"
    dpkg-deb -x "$deb" "$dir.tmp" && mv "$dir.tmp" "$dir" || return 1
  fi
  local image
  image="$(compgen -G "$dir/$pattern" | head -n1)"
  [[ -n "$image" ]] || {
    echo "no kernel image ($pattern) in $(basename "$deb")" >&2
    return 1
  }
  printf '%s\n' "$image"
}

# --- the guests' programs -------------------------------------------------

# The arm64 launcher, cross-built beside the given build directory.
cross_build() {
  local dir="$build_dir-matrix-aarch64"
  if ! cmake -S "$source_dir" -B "$dir" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
    -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
    -DMORVIK_BUILD_TESTS=OFF -DMORVIK_BUILD_BENCH=OFF >"$work/cross-build.log" 2>&1 ||
    ! cmake --build "$dir" -j2 --target morvik-sandbox morvik-sandbox-explain >>"$work/cross-build.log" 2>&1; then
    tail -n 20 "$work/cross-build.log" >&2
    die "the aarch64 cross-build failed"
  fi
}

# Copies a dynamically linked program's libraries and loader into root.
# x86-64: the paths ldd names. arm64: the NEEDED entries and the
# interpreter, taken from the cross toolchain's libraries.
copy_libraries() {
  local arch="$1" program="$2" root="$3" lib
  if [[ "$arch" == amd64 ]]; then
    for lib in $(ldd "$program" | grep -oE '/[^ ]+' | grep -v "^$program\$"); do
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
    return 0
  fi
  local sysroot=/usr/aarch64-linux-gnu/lib interp
  interp="$(aarch64-linux-gnu-readelf -l "$program" | sed -n 's/.*interpreter: \(.*\)]/\1/p')"
  mkdir -p "$root$(dirname "$interp")" "$root/lib/aarch64-linux-gnu"
  cp -L "$sysroot/$(basename "$interp")" "$root$interp"
  for lib in $(aarch64-linux-gnu-readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    [[ -f "$sysroot/$lib" ]] || die "$lib (needed by $(basename "$program")) not in $sysroot"
    cp -L "$sysroot/$lib" "$root/lib/aarch64-linux-gnu/$lib"
  done
}

# initramfs ARCH BUSYBOX LAUNCHER_DIR CC OUT
initramfs() {
  local arch="$1" busybox="$2" bin="$3" cc="$4" out="$5" root="$work/root-$1"
  mkdir -p "$root"/{bin,usr/bin,etc,matrix,proc,sys,dev,tmp,work,home,srv}
  cp "$busybox" "$root/bin/busybox"
  cp "$bin/morvik-sandbox" "$bin/morvik-sandbox-explain" "$root/usr/bin/"
  copy_libraries "$arch" "$bin/morvik-sandbox" "$root"
  copy_libraries "$arch" "$bin/morvik-sandbox-explain" "$root"
  "$cc" -static -O2 -o "$root/usr/bin/mprobe" "$source_dir/tests/matrix/probe.c" ||
    die "the $arch probe does not build"
  cp "$source_dir/tests/matrix/init" "$root/init"
  cp "$source_dir/tests/matrix/suite.sh" "$root/matrix/suite.sh"
  printf 'root:x:0:0:root:/home/0:/bin/sh\nnobody:x:65534:65534:nobody:/home/65534:/bin/sh\n' >"$root/etc/passwd"
  printf 'root:x:0:\nnogroup:x:65534:\n' >"$root/etc/group"
  mknod "$root/dev/console" c 5 1 2>/dev/null || true # the kernel opens it for init
  (cd "$root" && find . | cpio -o -H newc --quiet) >"$out"
}

# --- what the launcher under test can do ------------------------------------

# Launcher features that later work adds, found by trying them on this
# machine's kernel; the guests' checks for a feature not found are reported
# as pending. (The ABI 9 and 10 rights cannot be tried here: the guests look
# them up in the explainer's output on their own kernels.)
detect_features() {
  local sandbox="$build_dir/morvik-sandbox" dir="$work/detect" found=() key
  mkdir -p "$dir/wt"
  printf '{"worktree_path": "%s", "git_dir": "%s", "agent_config_dirs": [], "tool_dirs": [],
 "user_allowed_paths": [], "allowed_domains": [], "env_passthrough": []%%s}\n' "$dir/wt" "$dir/wt" >"$dir/template"
  # shellcheck disable=SC2059 # the template is ours
  printf "$(cat "$dir/template")" "" >"$dir/p.json"
  if "$sandbox" --profile "$dir/p.json" -- grep -qE '^Seccomp:[[:space:]]+2' /proc/self/status 2>/dev/null; then
    found+=(seccomp)
  fi
  sleep 30 &
  local outside=$!
  # (A kernel below version 6 cannot show them: they then stay pending.)
  if ! "$sandbox" --profile "$dir/p.json" -- kill -0 "$outside" 2>/dev/null &&
    "$sandbox" --profile "$dir/p.json" -- sh -c 'kill -0 $$' 2>/dev/null; then
    found+=(scopes)
  fi
  kill "$outside"
  wait "$outside" 2>/dev/null || true
  if ((EUID == 0)) && "$sandbox" --profile "$dir/p.json" -- grep -qE '^CapEff:[[:space:]]+0+$' /proc/self/status 2>/dev/null; then
    found+=(capdrop)
  fi
  # A known key with a value of the wrong type is a parse error; an
  # unknown key is ignored whatever its value.
  for key in allow_udp keep_capabilities minimum_landlock_abi log_denials isolate_network; do
    # shellcheck disable=SC2059
    printf "$(cat "$dir/template")" ", \"$key\": \"wrong type\"" >"$dir/k.json"
    if [[ "$("$sandbox" --profile "$dir/k.json" -- true 2>&1)" == "Failed to parse profile"* ]]; then
      found+=("key_$key")
    fi
  done
  local IFS=,
  printf '%s\n' "${found[*]}"
}

# --- booting ---------------------------------------------------------------

# boot NAME ARCH IMAGE INITRD EXPECTED_ABI: one guest, its console and
# results in $work/NAME/.
boot() {
  local name="$1" arch="$2" image="$3" initrd="$4" abi="$5" dir="$work/$1"
  local append="panic=-1 mx_kernel=$name mx_abi=$abi mx_features=$features"
  local qemu=()
  if [[ "$arch" == amd64 ]]; then
    qemu=(qemu-system-x86_64 -accel tcg -cpu max -append "console=ttyS0 mx_out=ttyS1 $append"
      -serial "file:$dir/console.log" -serial "file:$dir/results.txt")
  else
    # shellcheck disable=SC2054 # QEMU's option values hold commas
    qemu=(qemu-system-aarch64 -M virt -cpu max -append "console=ttyAMA0 mx_out=hvc0 $append"
      -serial "file:$dir/console.log" -device virtio-serial-pci
      -chardev "file,id=results,path=$dir/results.txt" -device virtconsole,chardev=results)
  fi
  local start=$SECONDS status=0
  timeout "$timeout_s" "${qemu[@]}" -m 512M -nodefaults -no-user-config -display none -monitor none \
    -no-reboot -kernel "$image" -initrd "$initrd" </dev/null >"$dir/qemu.log" 2>&1 || status=$?
  echo "$status" >"$dir/status"
  echo $((SECONDS - start)) >"$dir/seconds"
}

# --- the run ---------------------------------------------------------------

echo "kernel matrix: cache $cache, ${timeout_s}s per kernel"
mkdir -p "$cache"

# Fetch in the background while the arm64 launcher builds.
for entry in "${kernels[@]}"; do
  IFS='|' read -r name suite arch regex pattern <<<"$entry"
  mkdir -p "$work/$name"
  (
    apt_lists "$suite" "$arch" 2>"$work/$name/error" &&
      deb="$(fetch_newest "$suite" "$arch" "$regex" 2>"$work/$name/error")" &&
      kernel_image "$deb" "$pattern" >"$work/$name/image" 2>"$work/$name/error" &&
      echo "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" >"$work/$name/package" &&
      rm "$work/$name/error"
  ) &
done
(
  apt_lists bookworm arm64 &&
    deb="$(fetch_newest bookworm arm64 'busybox-static')" &&
    dpkg-deb -x "$deb" "$work/busybox-deb" &&
    cp "$(find "$work/busybox-deb" -path '*bin/busybox' | head -n1)" "$work/busybox-arm64" &&
    dpkg-deb -f "$deb" Version >"$work/busybox-arm64.version"
) 2>"$work/busybox-arm64.error" &
busybox_fetch=$!

cross_build
wait
wait "$busybox_fetch" 2>/dev/null || true
[[ -s "$work/busybox-arm64" ]] || die "arm64 busybox-static: $(cat "$work/busybox-arm64.error")"
busybox_amd64="$(command -v busybox || true)"
ldd "$busybox_amd64" >/dev/null 2>&1 && busybox_amd64=""
[[ -n "$busybox_amd64" ]] || die "no static busybox on this machine (apt-get install busybox-static)"
chmod +x "$work/busybox-arm64"
echo "busybox: amd64 $(dpkg-query -W -f='${Version}' busybox-static 2>/dev/null), arm64 $(cat "$work/busybox-arm64.version")"

features="$(detect_features)"
echo "launcher features found: ${features:-none}"
initramfs amd64 "$busybox_amd64" "$build_dir" gcc "$work/initrd-amd64.cpio"
initramfs arm64 "$work/busybox-arm64" "$build_dir-matrix-aarch64" aarch64-linux-gnu-gcc "$work/initrd-arm64.cpio"

# The Landlock version each kernel must report (0: none).
declare -A expected_abi=([5.10]=0 [6.1]=2 [6.12]=6 [7.2]=10 [7.2-arm64]=10)

# Two guests at a time, the slowest (arm64) first.
running=0
for name in 7.2-arm64 7.2 6.12 6.1 5.10; do
  [[ -f "$work/$name/error" ]] && continue
  arch=amd64
  [[ "$name" == *arm64 ]] && arch=arm64
  if ((running == 2)); then
    wait -n || true
    running=$((running - 1))
  fi
  boot "$name" "$arch" "$(cat "$work/$name/image")" "$work/initrd-$arch.cpio" "${expected_abi[$name]}" &
  running=$((running + 1))
done
wait

# --- the summary -----------------------------------------------------------

failed=0
for entry in "${kernels[@]}"; do
  name="${entry%%|*}"
  dir="$work/$name"
  if [[ -f "$dir/error" ]]; then
    echo "FAIL kernel $name: cannot be fetched: $(tail -n1 "$dir/error")"
    failed=$((failed + 1))
    continue
  fi
  results="$(tr -d '\r' <"$dir/results.txt" 2>/dev/null || true)"
  [[ -n "$results" ]] && printf '%s\n' "$results"
  ok="$(grep -c '^ok ' <<<"$results" || true)"
  bad="$(grep -c '^FAIL ' <<<"$results" || true)"
  pending="$(grep -c '^pending ' <<<"$results" || true)"
  problem=""
  if [[ "$(cat "$dir/status")" == 124 ]]; then
    problem="no power-off within ${timeout_s}s"
  elif ! grep -q "^done $name root " <<<"$results" || ! grep -q "^done $name user " <<<"$results"; then
    problem="no complete result"
  elif ((bad > 0)); then
    problem="$bad checks failed"
  fi
  line="kernel $name ($(cat "$dir/package")): $ok ok, $bad failed, $pending pending, $(cat "$dir/seconds")s"
  if [[ -n "$problem" ]]; then
    echo "FAIL $line: $problem; last console lines:"
    { grep -m1 -B3 'Kernel panic' "$dir/console.log" && echo ...; } | tr -d '\r' | sed 's/^/  | /' || true
    tail -n 15 "$dir/console.log" | tr -d '\r' | sed 's/^/  | /'
    failed=$((failed + 1))
  else
    echo "$line"
  fi
done
echo "kernel matrix: $((${#kernels[@]} - failed)) passed, $failed failed ($((SECONDS - start_all))s)"
((failed == 0))
