#!/usr/bin/python3
"""Runs one command in a work tree, confined by morvik-sandbox.

    supervisor.py [options] WORKTREE -- COMMAND [ARGS...]

Writes the profile (handed over in a memfd), gives the command a home, TMPDIR
and git configuration of its own in STATE (WORKTREE.sandbox), runs a CONNECT
proxy for the allowed domains, streams the output and ends every process of
the run when the command ends or the timeout passes. docs/supervisor.md
explains each step. Exit status: the command's (128+N when killed by signal
N); 124 after the timeout; 125 when the launcher failed.
"""
import argparse
import contextlib
import json
import os
import selectors
import signal
import socket
import subprocess
import sys
import threading
import time

CACHES = (".cache", ".config", ".local", ".npm", ".cargo")
GITCONFIG = "[user]\n\tname = agent\n\temail = agent@localhost\n[init]\n\tdefaultBranch = main\n"
GRACE = 2.0  # seconds to drain the output once the command has ended


def relay(src, dst):
    """Copies src to dst until end-of-file, then half-closes dst."""
    try:
        while data := src.recv(65536):
            dst.sendall(data)
        dst.shutdown(socket.SHUT_WR)
    except OSError:  # a reset on either side ends both directions
        for sock in (src, dst):
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)


class Proxy(threading.Thread):
    """CONNECT proxy on 127.0.0.1 for the allowed domains; names in
    `resolve` connect to the address given there (tests, local mirrors)."""

    def __init__(self, domains, resolve):
        super().__init__(daemon=True)
        self.domains, self.resolve = [d.lower() for d in domains], resolve
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]

    def allowed(self, host):
        return any(host == d or host.endswith("." + d) for d in self.domains)

    def run(self):
        while True:
            conn, _ = self.server.accept()
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        with conn:
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 16384:
                if not (chunk := conn.recv(4096)):
                    return
                head += chunk
            request, _, rest = head.partition(b"\r\n\r\n")
            method, target = (request.decode("latin-1").split(" ") + ["", ""])[:2]
            host, _, port = target.rpartition(":")
            host = host.strip("[]").lower()
            if method != "CONNECT" or not port.isdigit():
                return conn.sendall(b"HTTP/1.1 405 Only CONNECT\r\n\r\n")
            if not self.allowed(host):
                return conn.sendall(b"HTTP/1.1 403 Domain not allowed\r\n\r\n")
            try:
                upstream = socket.create_connection((self.resolve.get(host, host), int(port)), 10)
            except OSError:
                return conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\n\r\n")
            with upstream:
                upstream.settimeout(None)
                conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                upstream.sendall(rest)
                back = threading.Thread(target=relay, args=(upstream, conn))
                back.start()
                relay(conn, upstream)
                back.join()


def prepare(args, proxy_port):
    """Makes the state directories; returns the profile and the environment."""
    work = os.path.realpath(args.worktree)  # the launcher uses paths as written
    state = os.path.realpath(args.state or work + ".sandbox")
    home, tmp = os.path.join(state, "home"), os.path.join(state, "tmp")
    caches = [os.path.join(home, c) for c in CACHES]
    for d in [state, home, tmp] + caches:
        os.makedirs(d, mode=0o700 if d != state else 0o755, exist_ok=True)
        if args.run_as and d != state:  # the home must belong to the command's uid
            os.chown(d, *args.run_as)
    gitconfig = os.path.join(state, "gitconfig")  # the supervisor's: listed read-only
    with open(gitconfig, "w") as f:
        f.write(GITCONFIG)
    tools = [os.path.realpath(t) for t in args.tool_dir]
    profile = {
        "worktree_path": work,
        "git_dir": os.path.join(work, ".git"),
        "agent_config_dirs": [tmp] + caches,
        "tool_dirs": tools,
        "user_allowed_paths": [gitconfig] + [os.path.realpath(r) for r in args.read],
        "allowed_domains": args.allow_domain,
        "env_passthrough": args.env,
        "proxy_port": proxy_port,
    }
    if args.run_as:
        profile["run_as"] = {"uid": args.run_as[0], "gid": args.run_as[1]}
    elif os.geteuid() == 0:  # uid 0 gets a home beneath a place granted every right only
        profile["agent_config_dirs"].append(home)
    if args.isolate_network:
        profile["isolate_network"] = True
    proxy = f"http://127.0.0.1:{proxy_port}"
    env = {name: os.environ[name] for name in args.env if name in os.environ}
    env.update(HOME=home, TMPDIR=tmp, LANG="C.UTF-8", GIT_CONFIG_GLOBAL=gitconfig,
               PATH=":".join(tools + ["/usr/local/bin", "/usr/bin", "/bin"]),
               XDG_CACHE_HOME=caches[0], npm_config_cache=caches[3], CARGO_HOME=caches[4],
               http_proxy=proxy, https_proxy=proxy, HTTP_PROXY=proxy, HTTPS_PROXY=proxy)
    return work, profile, env


def end_run(pgid, cgroup):
    """Kills every process of the run: the cgroup, else the process group."""
    if cgroup:
        with open(os.path.join(cgroup, "cgroup.kill"), "w") as f:
            f.write("1")
    with contextlib.suppress(ProcessLookupError):
        os.killpg(pgid, signal.SIGKILL)


def supervise(args):
    proxy = Proxy(args.allow_domain, dict(r.split("=", 1) for r in args.resolve))
    proxy.start()
    work, profile, env = prepare(args, proxy.port)
    profile_fd = os.memfd_create("profile")  # read with pread from offset 0
    os.write(profile_fd, json.dumps(profile).encode())
    status_r, status_w = os.pipe()
    argv = [args.launcher, "--profile-fd", str(profile_fd), "--status-fd", str(status_w),
            "--", *args.command]
    cgroup = None
    if args.cgroup:  # the launcher enters the cgroup before it starts anything
        cgroup = os.path.join(args.cgroup, f"run-{os.getpid()}")
        os.mkdir(cgroup)
        argv = ["/bin/sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', cgroup] + argv
    child = subprocess.Popen(argv, cwd=work, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             pass_fds=(profile_fd, status_w), start_new_session=True)
    os.close(profile_fd)
    os.close(status_w)  # or end-of-file never comes on the status pipe
    record = bytearray()  # the status pipe's bytes: one record line is expected
    sel = selectors.DefaultSelector()
    sel.register(child.stdout, selectors.EVENT_READ, sys.stdout.buffer)
    sel.register(child.stderr, selectors.EVENT_READ, sys.stderr.buffer)
    sel.register(status_r, selectors.EVENT_READ, record)
    sel.register(os.pidfd_open(child.pid), selectors.EVENT_READ, None)  # readable at exit
    open_pipes, ended, timed_out = 3, False, False
    deadline = time.monotonic() + args.timeout
    while open_pipes or not ended:
        left = deadline - time.monotonic()
        if left <= 0 and (ended or timed_out):
            break  # a process that left the group holds the output open
        if left <= 0:
            timed_out = True
            end_run(child.pid, cgroup)
            deadline = time.monotonic() + GRACE
            continue
        for key, _ in sel.select(left):
            if key.data is None:  # the command has ended: so does the rest of the run
                ended = True
                sel.unregister(key.fileobj)
                os.close(key.fd)
                end_run(child.pid, cgroup)
                deadline = min(deadline, time.monotonic() + GRACE)
            elif not (data := os.read(key.fd, 65536)):
                sel.unregister(key.fileobj)
                open_pipes -= 1
            elif key.data is record:
                record += data
            else:
                key.data.write(data)
                key.data.flush()
    code = child.wait()
    for _ in range(100) if cgroup else ():
        try:
            os.rmdir(cgroup)  # busy until the killed processes are gone
            break
        except OSError:
            time.sleep(0.05)
    lines = record.decode(errors="replace").splitlines()
    last = json.loads(lines[-1]) if lines else {"stage": "usage", "message": "see the line above"}
    if last.get("status") != "confined":
        print(f"supervisor: launcher failed at {last['stage']}: {last['message']}", file=sys.stderr)
        return 125
    if timed_out:
        print(f"supervisor: timed out after {args.timeout:g} s", file=sys.stderr)
        return 124
    return code if code >= 0 else 128 - code


def main():
    p = argparse.ArgumentParser(usage="%(prog)s [options] WORKTREE -- COMMAND [ARGS...]")
    p.add_argument("--launcher", default="morvik-sandbox")
    p.add_argument("--state", help="the command's home, TMPDIR and git config (WORKTREE.sandbox)")
    p.add_argument("--allow-domain", action="append", default=[], metavar="DOMAIN")
    p.add_argument("--resolve", action="append", default=[], metavar="NAME=ADDRESS")
    p.add_argument("--tool-dir", action="append", default=[], metavar="DIR")
    p.add_argument("--read", action="append", default=[], metavar="PATH")
    p.add_argument("--env", action="append", default=[], metavar="NAME")
    p.add_argument("--timeout", type=float, default=600)
    p.add_argument("--cgroup", metavar="DIR", help="a cgroup v2 directory to make the run's in")
    p.add_argument("--run-as", type=lambda s: tuple(map(int, s.split(":"))), metavar="UID:GID")
    p.add_argument("--isolate-network", action="store_true")
    p.add_argument("worktree")
    p.add_argument("command", nargs=argparse.REMAINDER)
    args = p.parse_args()
    args.command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not args.command:
        p.error("no command after WORKTREE --")
    sys.exit(supervise(args))


if __name__ == "__main__":
    main()
