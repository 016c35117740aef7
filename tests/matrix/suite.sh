#!/bin/sh
# The confinement suite run inside each matrix guest, once as root and once
# as an unprivileged user. Prints one line per check on standard output:
#   ok <kernel> <user>/<check>: <outcome seen, as expected>
#   FAIL <kernel> <user>/<check>: expected E, got G
#   pending <kernel> <user>/<check>: <launcher feature> not built yet
# and last "done <kernel> <user> <count>".
#
# Environment (from the kernel command line): mx_kernel (name), mx_abi (the
# Landlock version this kernel must report, 0 for none), mx_features (comma
# list of launcher features found on the host: seccomp, scopes, capdrop,
# key_<profile key>). The ABI 9 and 10 rights are looked up here, in the
# explainer's handled sets on this kernel.
PATH=/usr/bin:/bin
kernel="${mx_kernel:-unknown}"
uid="$(id -u)"
user=user
[ "$uid" = 0 ] && user=root
sandbox=/usr/bin/morvik-sandbox
probe=/usr/bin/mprobe
base="/srv/jobs/$uid"
export HOME="/home/$uid"
features=" $(echo "${mx_features:-}" | tr ',' ' ') "
count=0

# The Landlock version the kernel reports (0 without Landlock).
abi="$("$probe" abi | cut -d' ' -f1)"
explained=""
[ "$abi" -ge 9 ] 2>/dev/null && explained="$(morvik-sandbox-explain --profile "$base/p.json" 2>&1)"
echo "$explained" | grep -q '^handled fs:.*ResolveUnix' && features="$features resolve_unix "
echo "$explained" | grep -q '^handled net:.*Udp' && features="$features udp_rights "

has() { case "$features" in *" $1 "*) return 0 ;; esac; return 1; }

# result NAME EXPECTED GOT
result() {
  count=$((count + 1))
  if [ "$2" = "$3" ]; then
    echo "ok $kernel $user/$1: ${3:-(nothing)}"
  else
    echo "FAIL $kernel $user/$1: expected ${2:-(nothing)}, got ${3:-(nothing)}"
  fi
}

pending() {
  count=$((count + 1))
  echo "pending $kernel $user/$1: $2 not built yet"
}

# The outcome of the last run: exit status and standard output.
status() { echo "status $rc, output ${out:-none}"; }

# Replaces $err by "failure line" when it is exactly one line beginning
# with the launcher's Landlock failure prefix.
failure_line() {
  case "$err" in
  *"
"*) ;;
  "Failed to apply Landlock rules: "*) err="failure line" ;;
  esac
}

# run PROFILE COMMAND...: runs the command under the launcher; sets $out,
# $err (text) and $rc, and $word: the probe's word, or ok/refused by status.
run() {
  profile="$1"
  shift
  "$sandbox" --profile "$base/$profile" -- "$@" >"$base/out" 2>"$base/err"
  rc=$?
  out="$(cat "$base/out")"
  err="$(cat "$base/err")"
  word="$(head -n1 "$base/out")"
  case "$1" in
  "$probe") [ -n "$word" ] || word="status$rc" ;;
  *) if [ "$rc" = 0 ]; then word=ok; else word=refused; fi ;;
  esac
}

# probe_check NAME EXPECTED PROFILE PROBE-ARGS...
probe_check() {
  name="$1" expected="$2" profile="$3"
  shift 3
  run "$profile" "$probe" "$@"
  result "$name" "$expected" "$word"
}

# gated NAME FEATURE EXPECTED PROFILE PROBE-ARGS...: pending without FEATURE.
gated() {
  if has "$2"; then
    name="$1" expected="$3"
    shift 3
    probe_check "$name" "$expected" "$@"
  else
    pending "$1" "$2"
  fi
}

# by_abi MIN ABOVE BELOW: ABOVE when the kernel reports at least MIN.
by_abi() { if [ "$abi" -ge "$1" ]; then echo "$2"; else echo "$3"; fi; }

# --- outside servers (unconfined, owned by this user) -----------------------
servers=""
serve() { servers="$servers $("$probe" "$@")"; }
serve serve-tcp 3128
serve serve-tcp 5555
serve serve-abstract "mx-outside-$uid"
serve serve-unix "/tmp/mx-outside-$uid.sock"
serve serve-unix "/srv/out/mx-outside-$uid.sock"
serve serve-unix "$base/wt/mx-outside.sock"
serve serve-tcp 3128 127.0.0.2

# --- the kernel and the warning ---------------------------------------------
result abi "${mx_abi:-?}" "$abi"

run p.json echo hi
warning="Warning: Landlock sandbox not enforced by kernel"
result runs "status 0, output hi" "$(status)"
result warning-line "$(by_abi 1 "" "$warning")" "$err"

if has key_minimum_landlock_abi; then
  run p-min1.json echo hi
  if [ "$abi" -ge 1 ]; then
    result minimum-abi-met "status 0, output hi" "$(status)"
  else
    failure_line
    result minimum-abi-unmet "status 1, output none, failure line" "$(status), $err"
  fi
  # One above what this kernel reports: refused on every kernel.
  sed "s/\"minimum_landlock_abi\": 1/\"minimum_landlock_abi\": $((abi + 1))/" "$base/p-min1.json" >"$base/p-above.json"
  run p-above.json echo hi
  failure_line
  result minimum-abi-above "status 1, output none, failure line" "$(status), $err"
else
  pending minimum-abi key_minimum_landlock_abi
fi
if has key_log_denials; then
  run p-log.json echo hi
  result log-denials-runs "status 0, output hi" "$(status)"
else
  pending log-denials-runs key_log_denials
fi

# --- files ------------------------------------------------------------------
run p.json sh -c "echo x > $base/wt/f && cat $base/wt/f"
result write-worktree ok "$word"
run p.json sh -c "echo x > /srv/out/new-$uid"
result write-outside "$(by_abi 1 refused ok)" "$word"
run p.json cat /etc/passwd
result read-etc ok "$word"
run p.json /srv/bin/mprobe abi
result exec-outside "$(by_abi 1 refused ok)" "$word"
run p.json sh -c "echo x > $HOME/f && cat $HOME/f"
result home-write ok "$word"
run p.json ls "$HOME"
result home-list "$(by_abi 1 refused ok)" "$word"
# truncate(2) by path: a Landlock right only from version 3.
probe_check truncate-outside "$(by_abi 3 EACCES ok)" p.json truncate "/srv/out/t-$uid"

# --- TCP --------------------------------------------------------------------
probe_check tcp-proxy-port ok p.json tcp-connect 3128
probe_check tcp-other-port "$(by_abi 4 EACCES ok)" p.json tcp-connect 5555
probe_check tcp-bind "$(by_abi 4 EACCES ok)" p.json tcp-bind 6000
if [ "$abi" -ge 4 ]; then
  probe_check tcp-without-proxy EACCES p-noproxy.json tcp-connect 3128
else
  gated tcp-without-proxy seccomp EACCES p-noproxy.json tcp-connect 3128
fi

# --- the system-call filter -------------------------------------------------
gated mptcp seccomp EPROTONOSUPPORT p.json mptcp-connect 3128
gated udp-socket seccomp EACCES p.json udp-socket
if has key_allow_udp; then
  gated udp-socket-allowed seccomp ok p-udp.json udp-socket
else
  pending udp-socket-allowed key_allow_udp
fi
gated raw-socket seccomp EACCES p.json raw-socket
gated packet-socket seccomp EAFNOSUPPORT p.json packet-socket
gated io-uring seccomp ENOSYS p.json io-uring
gated tiocsti seccomp EPERM p.json tiocsti /dev/ptmx
gated tiocsti-high-bits seccomp EPERM p.json tiocsti-high /dev/ptmx

# --- scopes -----------------------------------------------------------------
probe_check signal-own-child ok p.json signal-child
probe_check abstract-own ok p.json abstract-self "mx-own-$uid"
if [ "$abi" -ge 6 ]; then
  gated signal-outside scopes EPERM p.json signal-parent
  gated abstract-outside scopes EPERM p.json abstract-connect "mx-outside-$uid"
else
  probe_check signal-outside ok p.json signal-parent
  probe_check abstract-outside ok p.json abstract-connect "mx-outside-$uid"
fi

# --- root's capabilities ----------------------------------------------------
if [ "$uid" = 0 ]; then
  run p.json sh -c "echo > /dev/null"
  result dev-null ok "$word"
  if has capdrop; then
    run p.json grep CapEff /proc/self/status
    result no-capabilities "CapEff:	0000000000000000" "$out"
    run p.json mknod "/tmp/blk-$uid" b 7 0
    result mknod-block refused "$word"
    # uid 0 still owns /dev/kmsg: only the narrowed /dev rule refuses it.
    run p.json sh -c "echo matrix > /dev/kmsg"
    result kmsg-write "$(by_abi 1 refused ok)" "$word"
  else
    pending no-capabilities capdrop
    pending mknod-block capdrop
    pending kmsg-write capdrop
  fi
  if has key_keep_capabilities; then
    run p-keep.json mknod "/tmp/blk-kept-$uid" b 7 0
    result mknod-block-kept ok "$word"
  else
    pending mknod-block-kept key_keep_capabilities
  fi
fi

# --- unix sockets of outside servers (version 9) -----------------------------
probe_check unix-own-tmp ok p.json unix-self "/tmp/mx-own-$uid.sock"
probe_check unix-outside-worktree ok p.json unix-connect "$base/wt/mx-outside.sock"
if [ "$abi" -ge 9 ]; then
  gated unix-outside-tmp resolve_unix EACCES p.json unix-connect "/tmp/mx-outside-$uid.sock"
  gated unix-outside-unlisted resolve_unix EACCES p.json unix-connect "/srv/out/mx-outside-$uid.sock"
else
  probe_check unix-outside-tmp ok p.json unix-connect "/tmp/mx-outside-$uid.sock"
  probe_check unix-outside-unlisted ok p.json unix-connect "/srv/out/mx-outside-$uid.sock"
fi

# --- UDP on an inherited socket (version 10) ---------------------------------
# The socket is made before the launcher runs, so no filter on socket() can
# refuse it: only the kernel's UDP rules can refuse the send.
if [ "$abi" -ge 10 ]; then
  if has udp_rights; then
    "$probe" with-udp 3 "$sandbox" --profile "$base/p.json" -- "$probe" udp-send 3 5353 >"$base/out" 2>"$base/err"
    result udp-inherited EACCES "$(head -n1 "$base/out")"
  else
    pending udp-inherited udp_rights
  fi
else
  "$probe" with-udp 3 "$sandbox" --profile "$base/p.json" -- "$probe" udp-send 3 5353 >"$base/out" 2>"$base/err"
  result udp-inherited ok "$(head -n1 "$base/out")"
fi
if has key_allow_udp; then
  "$probe" with-udp 3 "$sandbox" --profile "$base/p-udp.json" -- "$probe" udp-send 3 5353 >"$base/out" 2>"$base/err"
  result udp-inherited-allowed ok "$(head -n1 "$base/out")"
else
  pending udp-inherited-allowed key_allow_udp
fi

# --- a network of its own (isolate_network) ----------------------------------
# Launchers still running: with the key, the forwarder outlives the exec
# until the command ends.
launchers() {
  n=0
  for f in /proc/[0-9]*/cmdline; do
    case "$(tr '\0' ' ' <"$f" 2>/dev/null)" in "$sandbox "*) n=$((n + 1)) ;; esac
  done
  echo "$n"
}
if has key_isolate_network; then
  # The outside server at 3128 accepts and closes: its end of file comes
  # back through the forwarder (a connection it could not relay is reset).
  probe_check iso-proxy-relayed ok p-iso.json tcp-read 127.0.0.1 3128
  probe_check proxy-port-other-host ok p.json tcp-read 127.0.0.2 3128
  probe_check iso-proxy-port-other-host ECONNREFUSED p-iso.json tcp-read 127.0.0.2 3128
  probe_check iso-other-port "$(by_abi 4 EACCES ECONNREFUSED)" p-iso.json tcp-read 127.0.0.1 5555
  n=0
  while [ "$(launchers)" != 0 ] && [ "$n" -lt 20 ]; do sleep 0.1; n=$((n + 1)); done
  result iso-no-forwarder-left 0 "$(launchers)"
  # User namespaces turned off: one line, the command not run (the
  # unprivileged launcher needs one; root unshares the network alone).
  if [ "$uid" = 0 ]; then
    limit="$(cat /proc/sys/user/max_user_namespaces)"
    echo 0 >/proc/sys/user/max_user_namespaces
    "$probe" as-user 65534 "$sandbox" --profile /srv/jobs/65534/p-iso.json -- true >"$base/out" 2>"$base/err"
    rc=$?
    err="$(cat "$base/err")"
    result iso-userns-off "status 1: Failed to isolate the network: unshare: No space left on device (os error 28)" \
      "status $rc: $err"
    run p-iso.json echo hi
    result iso-root-runs-without-userns "status 0, output hi" "$(status)"
    echo "$limit" >/proc/sys/user/max_user_namespaces
  fi
else
  pending isolate-network key_isolate_network
fi

for pid in $servers; do kill "$pid" 2>/dev/null; done
echo "done $kernel $user $count"
