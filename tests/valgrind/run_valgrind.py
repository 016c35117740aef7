#!/usr/bin/python3
"""Runs the launcher under valgrind (memcheck) for a representative set of
runs: every failure line, a successful run, and a closed standard input.
Fails on any memcheck error, any leak (the C++ runtime's emergency exception
pool stays reachable by design and is not one), and any descriptor other than 0-2 open
at exit. valgrind does not know the Landlock system calls, so under it the
launcher meets a kernel without Landlock (the warning path).
Usage: run_valgrind.py LAUNCHER SCRATCH_DIR"""
import os
import re
import subprocess
import sys
import tempfile

launcher = sys.argv[1]
scratch = tempfile.mkdtemp(prefix="morvik-vg-", dir=sys.argv[2] if len(sys.argv) > 2 else None)
os.makedirs(os.path.join(scratch, "work"))


def write(name, content):
    path = os.path.join(scratch, name)
    with open(path, "wb") as f:
        f.write(content)
    return path


valid = write("valid.json", b'{"worktree_path": "work", "git_dir": "work", "agent_config_dirs": [],'
              b' "tool_dirs": ["/opt/none"], "user_allowed_paths": [], "allowed_domains": [],'
              b' "env_passthrough": [], "proxy_port": 3128, "x": [[{"y": 1e400}]]}')
cases = {
    "usage": [],
    "no command": ["--profile", valid, "--"],
    "missing profile": ["--profile", os.path.join(scratch, "missing.json"), "--", "true"],
    "directory": ["--profile", scratch, "--", "true"],
    "invalid UTF-8": ["--profile", write("u.json", b'{"a": "\xff"}'), "--", "true"],
    "parse error": ["--profile", write("p.json", b'{"worktree_path": "a", "worktree_path"'), "--", "true"],
    "wrong type": ["--profile", write("t.json", b'["a", "b", [], [], [], [], [], 8080.5]'), "--", "true"],
    "exec failure": ["--profile", valid, "--", "no-such-program-morvik"],
    "successful run": ["--profile", valid, "--", "/bin/true"],
}
failures = []
for name, args in cases.items():
    for stdin in (None, subprocess.DEVNULL):
        cmd = ["valgrind", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
               "--errors-for-leak-kinds=definite,indirect,possible", "--track-fds=yes", launcher] + args
        r = subprocess.run(cmd, stdin=stdin, capture_output=True, cwd=scratch, close_fds=True)
        err = r.stderr.decode(errors="replace")
        problems = []
        if r.returncode == 99:
            problems.append("memcheck errors")
        m = re.search(r"FILE DESCRIPTORS: (\d+) open \((\d+) std\) at exit", err)
        if m and m.group(1) != m.group(2):
            problems.append("descriptor open at exit")
        if re.search(r"(definitely|indirectly|possibly) lost: [1-9]", err):
            problems.append("leak")
        if problems:
            failures.append(f"{name}: {', '.join(problems)}\n{err}")
total = 2 * len(cases)
for f in failures:
    print("FAIL:", f)
print(f"valgrind: {total - len(failures)} passed, {len(failures)} failed")
subprocess.run(["rm", "-rf", scratch])
sys.exit(1 if failures else 0)
