"""examples/supervisor.py through the built launcher (MORVIK_SANDBOX_BIN),
against a local HTTP server. Names reach 127.0.0.1 through the supervisor's
--resolve: no traffic leaves loopback."""
import ctypes, functools, http.server, os, pathlib, shutil, subprocess, sys, tempfile, threading, unittest

SUPERVISOR = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "supervisor.py")
# GET / from NAME:PORT through a CONNECT tunnel to https_proxy, or "direct".
FETCH = """import http.client, os, sys
name, port = sys.argv[1], int(sys.argv[2])
proxy = int(os.environ["https_proxy"].split(":")[-1])
c = http.client.HTTPConnection("127.0.0.1", port if name == "direct" else proxy, timeout=5)
if name != "direct":
    c.set_tunnel(name, port)
try:
    c.request("GET", "/hello")
    print(c.getresponse().read().decode())
except OSError as e:
    print("refused:", e)
"""


class Supervisor(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(dir="/var/tmp")  # outside every granted place
        self.addCleanup(shutil.rmtree, self.base)
        os.mkdir(os.path.join(self.base, "w"))
        with open(os.path.join(self.base, "hello"), "w") as f:
            f.write("hello from the server")
        handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=self.base)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        self.port = str(server.server_address[1])

    def test_runs(self):
        abi = max(ctypes.CDLL(None).syscall(444, None, 0, 1), 0)  # asked unconfined
        mounts = [line.split() for line in pathlib.Path("/proc/self/mounts").read_text().splitlines()]
        cgroup2 = [m[1] for m in mounts if m[2] == "cgroup2" and os.access(m[1], os.W_OK)]
        fetch = ["/usr/bin/python3", "-c", FETCH]
        cases = [  # name, command, options, status, expected output, skip reason
            ("on the list: through the proxy", fetch + ["allowed.test", self.port], [], 0,
             "hello from the server", None),
            ("off the list: the proxy refuses", fetch + ["other.test", self.port], [], 0,
             "403 Domain not allowed", None),
            ("direct: the kernel refuses", fetch + ["direct", self.port], [], 0,
             "Permission denied", abi < 4 and f"Landlock ABI {abi}: TCP is not restricted"),
            ("the command's status 1 and a launcher-like line",
             ["sh", "-c", "echo 'Failed to exec x' >&2; exit 1"], [], 1, "Failed to exec x", None),
            ("launcher failure at exec", ["/nonexistent"], [], 125,
             "launcher failed at exec: Failed to exec /nonexistent", None),
            ("timeout: the process group ends", ["sh", "-c", "sleep 3101 & sleep 3102"],
             ["--timeout", "1"], 124, "timed out after 1 s", None),
            ("timeout: the cgroup ends a setsid child", ["sh", "-c", "setsid sleep 3103 & sleep 3104"],
             ["--timeout", "1", "--cgroup", "".join(cgroup2[:1])], 124, "timed out after 1 s",
             not cgroup2 and "no writable cgroup v2 mount"),
            ("launcher failure at confine: the work tree's .git leads to /", ["true"], ["link"],
             125, "launcher failed at confine: Failed to apply Landlock rules: ", None),
        ]
        for name, command, options, status, expected, skip in cases:
            with self.subTest(name):
                if skip:
                    self.skipTest(skip)
                work = os.path.join(self.base, "w")
                if options == ["link"]:  # the last case: the link stays
                    options = []
                    os.symlink("/", os.path.join(work, ".git"))
                run = subprocess.run(
                    [sys.executable, SUPERVISOR, "--launcher", os.environ["MORVIK_SANDBOX_BIN"],
                     "--allow-domain", "allowed.test", "--resolve", "allowed.test=127.0.0.1",
                     "--resolve", "other.test=127.0.0.1", *options, work, "--", *command],
                    capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(expected, run.stdout + run.stderr)
                left = subprocess.run(["pgrep", "-f", "sleep 310"], capture_output=True, text=True)
                self.assertEqual(left.stdout, "", "processes of the run left behind")


if __name__ == "__main__":
    unittest.main()
