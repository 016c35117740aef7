#!/usr/bin/python3
"""Checks docs/profile.schema.json: it is a valid draft 2020-12 schema, every
example profile validates, and it refuses what the launcher refuses for type
and range reasons; then docs/explain.schema.json against the explainer's
output. Usage: check_schema.py SOURCE_DIR EXPLAIN_BIN"""
import glob
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

source = sys.argv[1]
with open(os.path.join(source, "docs", "profile.schema.json")) as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)

BASE = {
    "worktree_path": "w", "git_dir": "g", "agent_config_dirs": [], "tool_dirs": [],
    "user_allowed_paths": [], "allowed_domains": [], "env_passthrough": [],
}
ARRAY = ["w", "g", [], [], [], [], []]


def variant(**changes):
    doc = dict(BASE)
    for key, value in changes.items():
        if value is KeyError:
            del doc[key]
        else:
            doc[key] = value
    return doc


accepted = {
    "minimal object": BASE,
    "port 0": variant(proxy_port=0),
    "port 65535": variant(proxy_port=65535),
    "null port": variant(proxy_port=None),
    "unknown key with any value": variant(Worktree_path=[{"x": [1, None]}]),
    "empty and relative paths": variant(worktree_path="", git_dir="rel/dir"),
    "array with seven elements": ARRAY,
    "array with eight elements": ARRAY + [3128],
    "security keys": variant(allow_udp=True, keep_capabilities=False,
                             minimum_landlock_abi=7, log_denials=True),
    "null minimum ABI": variant(minimum_landlock_abi=None),
    "run_as and isolate_network": variant(run_as={"uid": 1000, "gid": 1000},
                                          isolate_network=True, proxy_port=3128),
    "run_as root": variant(run_as={"uid": 0, "gid": 0}, keep_capabilities=False),
}
refused = {
    "not an object or array": 5,
    "null document": None,
    "missing worktree_path": variant(worktree_path=KeyError),
    "missing env_passthrough": variant(env_passthrough=KeyError),
    "path not a string": variant(worktree_path=[]),
    "null path": variant(git_dir=None),
    "list not an array": variant(tool_dirs="bin"),
    "null list": variant(agent_config_dirs=None),
    "number in a path list": variant(user_allowed_paths=[1]),
    "null in a string list": variant(allowed_domains=[None]),
    "port too large": variant(proxy_port=65536),
    "negative port": variant(proxy_port=-1),
    "fractional port": variant(proxy_port=80.5),
    "port as string": variant(proxy_port="8080"),
    "boolean port": variant(proxy_port=True),
    "array too short": ARRAY[:6],
    "array too long": ARRAY + [1, 2],
    "array element of wrong type": [1] + ARRAY[1:],
    "allow_udp as string": variant(allow_udp="yes"),
    "keep_capabilities as number": variant(keep_capabilities=1),
    "null log_denials": variant(log_denials=None),
    "minimum ABI 0": variant(minimum_landlock_abi=0),
    "minimum ABI too large": variant(minimum_landlock_abi=4294967296),
    "minimum ABI as string": variant(minimum_landlock_abi="6"),
    "run_as without gid": variant(run_as={"uid": 1}),
    "run_as unchanged id": variant(run_as={"uid": 4294967295, "gid": 1}),
    "run_as unknown member": variant(run_as={"uid": 1, "gid": 1, "groups": []}),
    "run_as gid 0": variant(run_as={"uid": 1, "gid": 0}),
    "run_as with keep_capabilities": variant(run_as={"uid": 0, "gid": 0}, keep_capabilities=True),
    "null isolate_network": variant(isolate_network=None),
    "isolate_network with port 0": variant(isolate_network=True, proxy_port=0),
}

failures = []
for name, doc in accepted.items():
    errors = list(validator.iter_errors(doc))
    if errors:
        failures.append(f"accepted case '{name}' refused: {errors[0].message}")
for name, doc in refused.items():
    if validator.is_valid(doc):
        failures.append(f"refused case '{name}' validates")
examples = sorted(glob.glob(os.path.join(source, "examples", "*.json")))
if not examples:
    failures.append("no example profiles found")
for path in examples:
    with open(path) as f:
        errors = list(validator.iter_errors(json.load(f)))
    if errors:
        failures.append(f"{os.path.basename(path)}: {errors[0].message}")

total = len(accepted) + len(refused) + len(examples)


def explain_case(path, status, check, scratch, env):
    """The --json document (the same with --json first or last) validates,
    has the text output's warnings and passes the row's own check."""
    text, first, last = [subprocess.run([sys.argv[2]] + args, cwd=scratch, env=env, text=True,
                                        capture_output=True)
                         for args in (["--profile", path], ["--json", "--profile", path],
                                      ["--profile", path, "--json"])]
    if {text.returncode, first.returncode} != {status} or first.stdout != last.stdout:
        return f"status {text.returncode}/{first.returncode}, {first.stderr!r}"
    doc = json.loads(first.stdout)
    error = jsonschema.exceptions.best_match(explainer.iter_errors(doc))
    if error:
        return f"{error.message[:200]} at {list(error.absolute_path)}"
    if [l[9:] for l in text.stdout.splitlines() if l.startswith("warning: ")] != \
            [w["message"] for w in doc["warnings"] if w["source"] == "lint"]:
        return "the text and the JSON warnings differ"
    return None if check(doc) else f"unexpected document {first.stdout[:300]}"


with open(os.path.join(source, "docs", "explain.schema.json")) as f:
    explainer = jsonschema.Draft202012Validator(json.load(f))
explainer.check_schema(explainer.schema)
homes = lambda d: [r["verdict"] for r in d["rules"] if r["origin"] == "home"]
table = {  # the example profiles, then name: (profile, status, check of the document)
    os.path.basename(p): (p, 0, lambda d: True) for p in examples} | {
    # A link loop cannot be looked up: the launcher warns, the lint does not.
    "lint": (variant(worktree_path="/", git_dir="home", agent_config_dirs=["/etc"],
                     tool_dirs=["absent", "loop/x"], log_denial=True), 0,
             lambda d: [w.get("kind") for w in d["warnings"]] ==
             [None, "unknown_key", "root", "home", "system_directory", "absent"] and
             d["rules"][4]["verdict"] == "lookup_failed"),
    # Planned for uid 65534: the home directory's owner is someone else.
    "run_as": (variant(worktree_path="work", proxy_port=3128, run_as={"uid": 65534, "gid": 65534}),
               0, lambda d: homes(d) == ["not_granted"] and d["run_as"]["uid"] == 65534),
    "failure": (variant(minimum_landlock_abi=4294967294), 1, lambda d: "failure" in d),
}
with tempfile.TemporaryDirectory(dir="/var/tmp") as scratch:  # the examples' relative paths
    for d in ["work/.git", "worktree", "toolchain/bin", "tools", "agent-config", "home"]:
        os.makedirs(os.path.join(scratch, d))
    os.symlink("loop", os.path.join(scratch, "loop"))
    env = dict(os.environ, HOME=os.path.join(scratch, "home"))
    for name, (doc, status, check) in table.items():
        path = os.path.abspath(doc) if isinstance(doc, str) else os.path.join(scratch, name)
        if not isinstance(doc, str):
            with open(path, "w") as f:
                json.dump(doc, f)
        if problem := explain_case(path, status, check, scratch, env):
            failures.append(f"{name}: {problem}")
total += len(table)
for failure in failures:
    print("FAIL:", failure)
print(f"schema: {total - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
