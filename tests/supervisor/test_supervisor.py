"""The example supervisor through the built launcher (MORVIK_SANDBOX_BIN),
against a local HTTP server. Domain names reach 127.0.0.1 through the
supervisor's --resolve: no traffic leaves loopback."""
import ctypes
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

SUPERVISOR = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "supervisor.py")
# Through the proxy named in https_proxy with a CONNECT tunnel, or "direct".
FETCH = """import http.client, os, sys
name, port = sys.argv[1], int(sys.argv[2])
proxy = int(os.environ["https_proxy"].rsplit(":", 1)[1])
c = http.client.HTTPConnection("127.0.0.1", port if name == "direct" else proxy, timeout=5)
name == "direct" or c.set_tunnel(name, port)
try:
    c.request("GET", "/")
    print(c.getresponse().read().decode())
except OSError as e:
    print("refused:", e)
"""


class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = ("hello " + self.headers["Host"].split(":")[0]).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *_):
        pass


def writable_cgroup2():
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            path, kind = line.split()[1:3]
            if kind == "cgroup2" and os.access(path, os.W_OK):
                return path
    return None


def left_running(tag):
    """Processes whose command line holds tag (the run's sleeps)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                found += [pid] if tag.encode() in f.read() else []
        except OSError:
            pass
    return found


class Supervisor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hello)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.port = str(cls.server.server_address[1])
        # The kernel's own Landlock version, asked unconfined (0: none).
        cls.abi = max(ctypes.CDLL(None).syscall(444, None, 0, 1), 0)

    def run_supervisor(self, command, options):
        base = tempfile.mkdtemp(dir="/var/tmp")  # outside every granted place
        self.addCleanup(shutil.rmtree, base)
        os.mkdir(work := os.path.join(base, "w"))
        if "link_git" in options:  # a link in the work tree leading outside it
            os.symlink("/", os.path.join(work, ".git"))
        options = [o for o in options if o != "link_git"]
        argv = [sys.executable, SUPERVISOR, "--launcher", os.environ["MORVIK_SANDBOX_BIN"],
                "--allow-domain", "allowed.test", *options, work, "--", *command]
        for name in ("allowed.test", "api.allowed.test", "other.test"):
            argv[2:2] = ["--resolve", name + "=127.0.0.1"]
        return subprocess.run(argv, capture_output=True, text=True, timeout=60)

    def test_runs(self):
        fetch = ["/usr/bin/python3", "-c", FETCH]
        cgroup = writable_cgroup2()
        cases = [  # name, command, options, status, expected in the output, skip reason
            ("allowed domain through the proxy", fetch + ["allowed.test", self.port], (), 0,
             "hello allowed.test", None),
            ("subdomain of an allowed domain", fetch + ["api.allowed.test", self.port], (), 0,
             "hello api.allowed.test", None),
            ("domain off the list: the proxy refuses", fetch + ["other.test", self.port], (), 0,
             "403 Domain not allowed", None),
            ("direct connection: the kernel refuses", fetch + ["direct", self.port], (), 0,
             "Permission denied", self.abi < 4 and
             f"Landlock ABI {self.abi}: no TCP rules, so TCP to any port is allowed with a proxy_port"),
            ("the command's own status 1 and a launcher-like line",
             ["sh", "-c", "echo 'Failed to exec x' >&2; exit 1"], (), 1, "Failed to exec x", None),
            ("launcher failure at exec", ["/nonexistent/cmd"], (), 125,
             "launcher failed at exec: Failed to exec /nonexistent/cmd", None),
            ("launcher failure at confine", ["true"], ("link_git",), 125,
             "launcher failed at confine: Failed to apply Landlock rules: ", None),
            ("timeout ends the process group", ["sh", "-c", "sleep 3101 & exec sleep 3102"],
             ("--timeout", "1"), 124, "timed out after 1 s", None),
            ("setsid leaves the group: the cgroup ends it",
             ["sh", "-c", "setsid sleep 3103 & exec sleep 3104"],
             ("--timeout", "1", "--cgroup", cgroup or ""), 124, "timed out after 1 s",
             not cgroup and "no writable cgroup v2 mount"),
        ]
        for name, command, options, status, expected, skip in cases:
            with self.subTest(name):
                if skip:
                    self.skipTest(skip)
                run = self.run_supervisor(command, options)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(expected, run.stdout + run.stderr)
                self.assertEqual(left_running("sleep\0" + "310"), [])


if __name__ == "__main__":
    unittest.main()
