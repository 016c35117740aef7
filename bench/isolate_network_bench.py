#!/usr/bin/python3
"""What "isolate_network" costs on this machine, against the same profile
without it:
  - the launch of /bin/true, the two run alternately, round by round;
  - a 100 MB download with curl through a local proxy;
  - 200 connections open at once, each answered with 64 KiB, all checked.
The proxy is a small HTTP server on 127.0.0.1 that answers "GET .../N" with
N bytes. Nothing leaves loopback.
  isolate_network_bench.py LAUNCHER [rounds]
Run it as an unprivileged user too (setpriv --reuid=65534 --regid=65534
--clear-groups ...): only a launcher without CAP_SYS_ADMIN makes a user
namespace.
"""
import json
import os
import socket
import socketserver
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PATTERN = bytes(range(251)) * (1 << 12)  # about 1 MiB, not a multiple of a page

CLIENT = r"""
import socket, sys
port, count, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
socks = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
for s in socks:
    s.sendall(b"GET /%d HTTP/1.0\r\n\r\n" % size)
complete = 0
for s in socks:
    data = bytearray()
    while chunk := s.recv(1 << 16):
        data += chunk
    body = data[data.find(b"\r\n\r\n") + 4:]
    complete += len(body) == size and body[:251] == bytes(range(251))
print(complete)
"""


class Proxy(socketserver.ThreadingTCPServer):
    daemon_threads = True
    request_queue_size = 512


class Answer(socketserver.BaseRequestHandler):
    def handle(self):
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = self.request.recv(4096)
            if not chunk:
                return
            request += chunk
        size = int(request.split(b" ")[1].rsplit(b"/", 1)[1])
        self.request.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % size)
        view = memoryview(PATTERN)
        while size > 0:
            n = min(size, len(PATTERN) - len(PATTERN) % 251)
            self.request.sendall(view[:n])
            size -= n


def spawn(argv, env):
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env)
    _, status = os.waitpid(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv} failed: {status}")
    return (time.perf_counter() - start) * 1e6


def main():
    launcher = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    proxy = Proxy(("127.0.0.1", 0), Answer)
    threading.Thread(target=proxy.serve_forever, daemon=True).start()
    port = proxy.server_address[1]
    work = tempfile.mkdtemp(prefix="morvik-bench-", dir="/var/tmp")
    env = {"PATH": "/usr/bin:/bin", "HOME": work}
    profiles = {}
    for name, isolate, proxy_port in (("plain", False, port), ("isolated", True, port),
                                      ("isolated without a proxy port", True, None)):
        doc = {"worktree_path": work, "git_dir": work, "agent_config_dirs": [],
               "tool_dirs": [], "user_allowed_paths": [], "allowed_domains": [],
               "env_passthrough": [], "proxy_port": proxy_port, "isolate_network": isolate}
        profiles[name] = os.path.join(work, name + ".json")
        with open(profiles[name], "w") as f:
            json.dump(doc, f)

    def run(name, *command):
        return [launcher, "--profile", profiles[name], "--", *command]

    launch = {name: [] for name in profiles}
    for _ in range(rounds):
        for name in launch:
            launch[name].append(spawn(run(name, "/bin/true"), env))
    plain = statistics.median(launch["plain"])
    print(f"launch of /bin/true, median of {rounds}: without the key {plain:.0f} us")
    for name in ("isolated", "isolated without a proxy port"):
        median = statistics.median(launch[name])
        print(f"  {name}: {median:.0f} us, {median - plain:+.0f} us")

    size = 100 * 1000 * 1000
    curl = ["/usr/bin/curl", "-q", "-sS", "-o", "/dev/null", "-w", "%{size_download} %{time_total}",
            "-x", f"http://127.0.0.1:{port}", f"http://bench.invalid/{size}"]
    speeds = {"plain": [], "isolated": []}
    for _ in range(5):
        for name in speeds:
            out = subprocess.run(run(name, *curl), env=env, capture_output=True, text=True,
                                 check=True).stdout.split()
            if int(out[0]) != size:
                sys.exit(f"{name}: {out[0]} bytes")
            speeds[name].append(size / float(out[1]) / 1e6)
    plain, isolated = (statistics.median(speeds[n]) for n in ("plain", "isolated"))
    print(f"100 MB through the proxy, median of 5: without {plain:.0f} MB/s, "
          f"with {isolated:.0f} MB/s, ratio {isolated / plain:.2f}")

    for name in ("plain", "isolated"):
        out = subprocess.run(run(name, "/usr/bin/python3", "-c", CLIENT, str(port), "200",
                                 str(1 << 16)), env=env, capture_output=True, text=True)
        print(f"200 connections at once, {name}: {out.stdout.strip() or out.stderr.strip()} "
              "complete")
    proxy.shutdown()
    for name in profiles.values():
        os.unlink(name)
    os.rmdir(work)


if __name__ == "__main__":
    main()
