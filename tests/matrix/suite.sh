#!/bin/sh
# The confinement suite run inside each matrix guest, once as root and once
# as uid 65534. Every expectation follows from the Landlock version that the
# kernel table gives this kernel (mx_abi on the kernel command line): the
# suite detects nothing, and a launcher that grants or refuses a right on the
# wrong version fails here. One line per check on standard output:
#   ok <kernel> <user>/<check>: <result>
#   FAIL <kernel> <user>/<check>: expected <result>, got <result>
# and last "done <kernel> <user> <number of checks>".
PATH=/usr/bin:/bin
kernel="${mx_kernel:?no kernel name on the kernel command line}"
version="${mx_abi:?no Landlock version on the kernel command line}"
: "${mx_arch:?no architecture on the kernel command line}"
uid="$(id -u)"
user=user
[ "$uid" = 0 ] && user=root
sandbox=/usr/bin/morvik-sandbox
probe=/usr/bin/mprobe
base="/srv/jobs/$uid"
export HOME="/home/$uid"
[ "$uid" = 0 ] && HOME=/root
warning="Warning: Landlock sandbox not enforced by kernel"
wrapper=""
count=0

# result NAME EXPECTED GOT
result() {
  count=$((count + 1))
  if [ "$2" = "$3" ]; then
    echo "ok $kernel $user/$1: $3"
  else
    echo "FAIL $kernel $user/$1: expected $2, got $3"
  fi
}

# attempt PROFILE ACTION [ARGS...]: the probe's action through the launcher
# (run by $wrapper when set). Prints the result: what the probe printed, on
# one line ("ok", an errno's name, ...), or "status N" for a silent run that
# failed; then " + warning" for the one warning line of a kernel without
# Landlock, " + failure" for one line of the launcher's Landlock failure, or
# " + stderr: ..." for anything else on standard error.
attempt() {
  profile="$1"
  shift
  $wrapper "$sandbox" --profile "$base/$profile" -- "$probe" "$@" >"$base/out" 2>"$base/err"
  render $?
}

# render STATUS: the result of a run from its status and $base/out, $base/err.
render() {
  rc=$1
  # Shell built-ins only: every program started costs under emulation.
  out=""
  while IFS= read -r line || [ -n "$line" ]; do out="${out:+$out }$line"; done <"$base/out"
  if [ -z "$out" ]; then
    out="status $rc"
    [ "$rc" = 0 ] && out=ok
  fi
  err="" more=""
  { IFS= read -r err || :; IFS= read -r more || :; } <"$base/err"
  if [ -n "$more" ]; then
    out="$out + stderr: $err|$more..."
  else
    case "$err" in
    "") ;;
    "$warning") out="$out + warning" ;;
    "Failed to apply Landlock rules: "*) out="$out + failure" ;;
    *) out="$out + stderr: $err" ;;
    esac
  fi
  echo "$out"
}

# reach_in PROFILE KIND: a server of KIND that the command makes (udp,
# tcp-unbound: a listen() without bind(), abstract), tried from outside while
# it waits. The result, as attempt prints it, is what the server saw:
# "reached" or "alone".
reach_in() {
  rm -f "$base/in"
  mkfifo "$base/in"
  : >"$base/served" # not the last run's port
  "$sandbox" --profile "$base/$1" -- "$probe" serve-until-stdin-ends "$2" \
    <"$base/in" >"$base/served" 2>"$base/err" &
  exec 3>"$base/in"
  where="" n=0
  while [ -z "$where" ] && [ "$n" -lt 300 ]; do # its port or name, first
    IFS= read -r where <"$base/served" || { where="" && sleep 0.1; }
    n=$((n + 1))
  done
  case "$2" in
  udp) "$probe" udp "$where" ;;
  tcp-unbound) "$probe" connect "$where" ;;
  abstract) "$probe" abstract-connect "$where" ;;
  esac >/dev/null
  exec 3>&-
  wait $!
  rc=$?
  seen=""
  { IFS= read -r _ && IFS= read -r seen; } <"$base/served"
  echo "$seen" >"$base/out"
  render "$rc"
}

# check NAME PROFILE EXPECTATION ACTION [ARGS...]
#   EXPECTATION is a result, or RESULT@V/BELOW: RESULT from Landlock version
#   V on, BELOW on older kernels. "failure" is a run stopped by one Landlock
#   failure line, "status 1 + stderr: LINE" one stopped by another failure
#   line; on a kernel without Landlock every other run also prints the
#   warning line (a run that fails prints its failure alone). The run is
#   $runner's: attempt, or reach_in.
runner=attempt
check() {
  name="$1" profile="$2" expect="$3"
  shift 3
  case "$expect" in
  *@*)
    from="${expect#*@}"
    if [ "$version" -ge "${from%%/*}" ]; then expect="${expect%%@*}"; else expect="${from#*/}"; fi
    ;;
  esac
  case "$expect" in
  failure) expect="status 1 + failure" ;;
  "status 1 + stderr: "*) ;;
  *) [ "$version" = 0 ] && expect="$expect + warning" ;;
  esac
  result "$name" "$expect" "$($runner "$profile" "$@")"
}

# --- the kernel reports the table's version -----------------------------------
expected_version="$version"
[ "$version" = 0 ] && expected_version=ENOSYS
result landlock-version "$expected_version" "$("$probe" abi)"

# --- outside servers and a process to signal (unconfined, this user's) ---------
servers=""
serve() { servers="$servers $("$probe" "$@")"; }
# The caller's proxy on 127.0.0.1:3128, and another host on the same port
# (127.0.0.2 stands for one): each answers with its name.
for server in proxy:127.0.0.1 other:127.0.0.2; do
  busybox httpd -f -p "${server#*:}:3128" -h "/srv/www/${server%:*}" &
  servers="$servers $!"
done
for address in 127.0.0.1 127.0.0.2; do
  n=0
  until "$probe" fetch "$address" 3128 / >/dev/null || [ "$n" -ge 50 ]; do
    sleep 0.1
    n=$((n + 1))
  done
done
serve serve-tcp 5555
serve serve-abstract "mx-outside-$uid"
serve serve-unix "/tmp/mx-outside-$uid.sock"
serve serve-unix "/srv/out/mx-outside-$uid.sock"
serve serve-unix "$base/wt/mx-outside.sock"
sleep 600 &
outside=$!

#     name                   profile         expectation            probe action and arguments
check no-new-privileges      p.json          1                      nnp
check descriptors            p.json          "0 1 2"                fds
check minimum-version-met    p-min1.json     ok@1/failure           write "$base/wt/m"
check minimum-version-above  p-above.json    failure                write "$base/wt/m"
check log-denials            p-log.json      ok                     write "$base/wt/l"
# files
check write-worktree         p.json          ok                     write "$base/wt/f"
check write-outside          p.json          EACCES@1/ok            write "/srv/out/new-$uid"
check read-etc               p.json          ok                     read /etc/passwd
check exec-outside           p.json          EACCES@1/1             exec /srv/bin/mprobe nnp
check home-write             p.json          ok                     write "$HOME/f"
check home-list              p.json          EACCES@1/ok            list "$HOME"
check truncate-outside       p.json          EACCES@3/ok            truncate "/srv/out/t-$uid"
# TCP: Landlock from version 4; the filter refuses TCP without a proxy port below
check tcp-proxy-port         p.json          ok                     connect 3128
check tcp-other-port         p.json          EACCES@4/ok            connect 5555
check tcp-bind               p.json          EACCES@4/ok            bind 6000
check tcp-without-proxy      p-noproxy.json  EACCES                 connect 3128
# the system-call filter
check mptcp                  p.json          EPROTONOSUPPORT        socket 2 1 262
check udp-socket             p.json          EACCES                 socket 2 2 0
check udp-socket-allowed     p-udp.json      ok                     socket 2 2 0
check raw-socket             p.json          EACCES                 socket 2 3 1
check packet-socket          p.json          EAFNOSUPPORT           socket 17 3 0
check io-uring               p.json          ENOSYS                 io-uring-setup
check tiocsti                p.json          EPERM                  tiocsti /dev/ptmx
check tiocsti-high-bits      p.json          EPERM                  tiocsti-high /dev/ptmx
# scopes (version 6)
check signal-own-child       p.json          ok                     kill-child
check abstract-own           p.json          ok                     abstract-self "mx-own-$uid"
check signal-outside         p.json          EPERM@6/ok             kill "$outside"
check abstract-outside       p.json          EPERM@6/ok             abstract-connect "mx-outside-$uid"
# unix sockets of outside servers (version 9)
check unix-own-tmp           p.json          ok                     unix-self "/tmp/mx-own-$uid.sock"
check unix-outside-worktree  p.json          ok                     unix-connect "$base/wt/mx-outside.sock"
check unix-outside-tmp       p.json          EACCES@9/ok            unix-connect "/tmp/mx-outside-$uid.sock"
check unix-outside-unlisted  p.json          EACCES@9/ok            unix-connect "/srv/out/mx-outside-$uid.sock"
# UDP on a socket made before the launcher runs, so that no filter on socket()
# can refuse it: only the kernel's UDP rules (version 10) refuse the send
wrapper="$probe with-udp 3"
check udp-inherited          p.json          EACCES@10/ok           udp 5353 3
check udp-inherited-allowed  p-udp.json      ok                     udp 5353 3
wrapper=""
# the i386 entry of an x86-64 kernel (Debian's kernels have no x32 entry):
# open unconfined, refused confined
entry=ENOSYS
[ "$mx_arch" = amd64 ] && entry=ok
result i386-entry-unconfined "$entry" "$("$probe" foreign-socket int80)"
check i386-entry             p.json          ENOSYS                 foreign-socket int80
# capabilities: root's are dropped, /dev narrowed; an unprivileged launcher
# keeps the bounding set it was given
if [ "$uid" = 0 ]; then
  check capabilities         p.json          none                   caps
  check dev-null             p.json          ok                     write /dev/null
  check mknod-block          p.json          EPERM                  mknod-block "/tmp/blk-$uid"
  check kmsg-write           p.json          EACCES@1/ok            write /dev/kmsg
  check capabilities-kept    p-keep.json     "CapPrm CapEff CapBnd" caps
  check mknod-block-kept     p-keep.json     ok                     mknod-block "/tmp/blk-kept-$uid"
else
  check capabilities         p.json          CapBnd                 caps
fi

# a network of its own: loopback alone, whose proxy port leads to the caller's
# proxy through the forwarder. User namespaces exist on every kernel of the
# table, so it works on all of them, with Landlock or without.
check iso-proxy              p-iso.json      proxy                  fetch 127.0.0.1 3128 /
check proxy-other-host       p.json          "other host"           fetch 127.0.0.2 3128 /
check iso-proxy-other-host   p-iso.json      ECONNREFUSED           fetch 127.0.0.2 3128 /
check iso-other-port         p-iso.json      EACCES@4/ECONNREFUSED  connect 5555
# servers the command makes: out of reach from outside with the key only
runner=reach_in
for kind in udp tcp-unbound abstract; do
  check "reach-in-$kind"     p-udp.json      reached                "$kind"
  check "iso-reach-in-$kind" p-iso.json      alone                  "$kind"
done
runner=attempt
# a machine that refuses a step: its one line, the command not run; root
# needs no user namespace (it unshares the network alone)
failed="status 1 + stderr: Failed to isolate the network: unshare:"
wrapper="$probe without unshare"
check iso-unshare-refused    p-iso.json      "$failed Operation not permitted (os error 1)" write "$base/wt/ran"
wrapper="$probe without user-namespaces"
if [ "$uid" = 0 ]; then
  check iso-without-userns   p-iso.json      ok                     write "$base/wt/ran"
else
  check iso-without-userns   p-iso.json      "$failed No space left on device (os error 28)" write "$base/wt/ran"
fi
wrapper=""
# no forwarder outlives its command (it keeps the launcher's command line)
launchers() {
  n=0
  for f in /proc/[0-9]*/cmdline; do
    case "$(tr '\0' ' ' <"$f" 2>/dev/null)" in "$sandbox "*) n=$((n + 1)) ;; esac
  done
  echo "$n"
}
n=0
while [ "$(launchers)" != 0 ] && [ "$n" -lt 50 ]; do
  sleep 0.1
  n=$((n + 1))
done
result iso-no-forwarder-left 0 "$(launchers)"

# shellcheck disable=SC2086 # one word per server
kill "$outside" $servers 2>/dev/null
wait # the next user's servers take the same ports
echo "done $kernel $user $count"
