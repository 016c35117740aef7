#!/usr/bin/env python3
"""Boots the launcher on real Debian kernels, from one without Landlock to the
newest, on x86-64 and arm64, under QEMU (TCG), and runs the confinement suite
of tests/matrix/ inside each as root and as an unprivileged user.

    scripts/kernel-matrix.py BUILD_DIR

BUILD_DIR holds the x86-64 build (morvik-sandbox). The arm64 launcher is
cross-built into BUILD_DIR-matrix-aarch64; the probe (tests/e2e/probe) is
built static for both. Kernel and busybox packages are fetched with a private
apt configuration (the archive address is read from this machine's apt
sources) and kept in MORVIK_MATRIX_CACHE (default /var/cache/morvik-matrix);
the package lists are refreshed when older than a week. Each guest has
MORVIK_MATRIX_TIMEOUT seconds (default 150; the arm64 guest takes about 80
under emulation on a busy machine) to power off with its results.
MORVIK_SKIP_KERNEL_MATRIX=1 skips the whole matrix (machines that cannot
reach the archive).

Each kernel's row names the Landlock version it must report; the guests take
every expectation from that number. A kernel passes only when its guest
powered off in time, both users' suites ran to their end with the same checks
as on every other kernel, and no check failed.
"""
import concurrent.futures
import dataclasses
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclasses.dataclass(frozen=True)
class Kernel:
    name: str
    suite: str
    arch: str
    package: str  # the package name, as an extended regex
    image: str  # the kernel image inside the package
    version: int  # the Landlock version the kernel must report (0: none)


KERNELS = [
    Kernel("5.10", "bullseye", "amd64", r"linux-image-5\.10\.0-[0-9]+-cloud-amd64",
           "boot/vmlinuz-*", 0),
    Kernel("6.1", "bookworm", "amd64", r"linux-image-6\.1\.0-[0-9]+-cloud-amd64",
           "boot/vmlinuz-*", 2),
    Kernel("6.12", "trixie", "amd64", r"linux-image-6\.12\.[0-9.+~a-z-]*-cloud-amd64",
           "boot/vmlinuz-*", 6),
    Kernel("7.2", "sid", "amd64", r"linux-binary-7\.2\.[0-9.+~a-z-]*-cloud-amd64",
           "usr/lib/modules/*/vmlinuz", 10),
    Kernel("7.2-arm64", "sid", "arm64", r"linux-binary-7\.2\.[0-9.+~a-z-]*-cloud-arm64",
           "usr/lib/modules/*/vmlinuz", 10),
]
BOOT_ORDER = ["7.2-arm64", "7.2", "6.12", "6.1", "5.10"]  # the slowest first, two at a time
USERS = ["root", "user"]


@dataclasses.dataclass
class Guest:
    """One guest's result record."""
    kernel: Kernel
    image: str = ""
    package: str = ""
    seconds: int = 0
    lines: list = dataclasses.field(default_factory=list)  # the suite's output
    checks: dict = dataclasses.field(default_factory=dict)  # user -> check names
    failed: list = dataclasses.field(default_factory=list)  # the FAIL lines
    problems: list = dataclasses.field(default_factory=list)
    console: str = ""


class MatrixError(Exception):
    pass


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


# --- fetching -------------------------------------------------------------

def archive_uris():
    """The main and security archive addresses from this machine's apt sources."""
    uris = []
    files = glob.glob("/etc/apt/sources.list.d/*.sources") + glob.glob("/etc/apt/sources.list") + \
        glob.glob("/etc/apt/sources.list.d/*.list")
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("URIs:"):
                    uris += line.split()[1:]
                elif line.startswith("deb "):
                    words = re.sub(r"^deb +(\[[^]]*\] +)?", "", line).split()
                    uris += words[:1]
    uris = sorted({u.rstrip("/") for u in uris if re.match(r"https?://", u)})
    main = next((u for u in uris if not u.endswith("-security")), None)
    security = next((u for u in uris if u.endswith("-security")), None)
    return main, security


class Apt:
    """A private apt configuration for one suite and architecture: its own
    sources list, lists, cache and (empty) dpkg status; the machine's own
    configuration is not touched. The archive may be a frozen snapshot whose
    Release files are past their Valid-Until date: signatures are still
    checked against the machine's keyring, only that date is not."""

    def __init__(self, cache, suite, arch):
        self.cache, self.suite, self.arch = cache, suite, arch
        self.dir = os.path.join(cache, "apt", f"{suite}-{arch}")
        for sub in ("empty", "state/lists/partial", "cache/archives/partial"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        open(os.path.join(self.dir, "status"), "a").close()

    def command(self, program, *args):
        d = self.dir
        options = {
            "Dir::Etc::SourceList": f"{d}/sources.list", "Dir::Etc::SourceParts": f"{d}/empty",
            "Dir::Etc::Preferences": f"{d}/empty/none", "Dir::Etc::PreferencesParts": f"{d}/empty",
            "Dir::State": f"{d}/state", "Dir::State::status": f"{d}/status",
            "Dir::Cache": f"{d}/cache", "APT::Architecture": self.arch,
            "APT::Architectures::": self.arch, "Acquire::Languages": "none",
            "Acquire::Check-Valid-Until": "false", "APT::Sandbox::User": "root",
            "Debug::NoLocking": "1",
        }
        flags = [f"-o{key}={value}" for key, value in options.items()]
        return [program, *flags, *args]

    def update(self, main, security):
        """Refreshes the lists when missing or older than a week. A suite the
        security archive does not serve is tried without it; when the archive
        cannot be reached, lists fetched earlier are kept."""
        stamp = os.path.join(self.dir, "updated")
        if os.path.exists(stamp) and time.time() - os.path.getmtime(stamp) < 7 * 86400:
            return
        if not main:
            raise MatrixError("no Debian archive address in /etc/apt/sources.list*")
        keyring = "/usr/share/keyrings/debian-archive-keyring.gpg"
        main_line = f"deb [signed-by={keyring}] {main} {self.suite} main\n"
        attempts = [main_line]
        if security and self.suite != "sid":
            attempts.insert(0, main_line +
                            f"deb [signed-by={keyring}] {security} {self.suite}-security main\n")
        message = ""
        for sources in attempts:
            with open(os.path.join(self.dir, "sources.list"), "w") as f:
                f.write(sources)
            r = run(self.command("apt-get", "update"))
            problems = [line for line in (r.stdout + r.stderr).splitlines()
                        if re.match(r"(W|E): ", line)]
            if r.returncode == 0 and not problems:
                open(stamp, "w").close()
                os.utime(stamp)
                return
            message = problems[0] if problems else r.stderr.strip()
        if not os.path.exists(stamp):
            raise MatrixError(f"{self.suite} ({self.arch}): the package lists cannot be fetched: "
                              f"{message}")

    def fetch_newest(self, regex):
        """Downloads (once) the newest package whose name matches the regex and
        returns the path of the .deb; older packages of that kind leave the cache.
        The answer is kept until the lists are refreshed (asking apt costs
        seconds per suite)."""
        memo = os.path.join(self.dir, "newest-" + hashlib.sha1(regex.encode()).hexdigest()[:12])
        if os.path.exists(memo) and os.path.getmtime(memo) >= os.path.getmtime(
                os.path.join(self.dir, "updated")):
            with open(memo) as f:
                path = f.read().strip()
            if os.path.exists(path):
                return path
        prefix = re.split(r"[\\\[]", regex)[0]
        names = run(self.command("apt-cache", "pkgnames", prefix)).stdout.split()
        names = [n for n in names if re.fullmatch(regex, n)]
        if not names:
            raise MatrixError(f"no package matches {regex} in {self.suite} ({self.arch})")
        name = max(names, key=lambda n: [int(p) if p.isdigit() else p
                                         for p in re.split(r"(\d+)", n)])
        policy = run(self.command("apt-cache", "policy", name)).stdout
        version = re.search(r"^ *Candidate: (\S+)", policy, re.M).group(1)
        debs = os.path.join(self.cache, "debs")
        os.makedirs(debs, exist_ok=True)
        path = os.path.join(debs, f"{name}_{version.replace(':', '%3a')}_{self.arch}.deb")
        if not os.path.exists(path):
            r = run(self.command("apt-get", "download", f"{name}={version}"), cwd=debs)
            if not os.path.exists(path):
                last = (r.stdout + r.stderr).strip().splitlines()[-1:]
                raise MatrixError(f"{name} {version} cannot be downloaded: {' '.join(last)}")
        for other in glob.glob(os.path.join(debs, f"*_{self.arch}.deb")):
            base = os.path.basename(other)[:-4]
            if other != path and re.fullmatch(regex, base.split("_")[0]):
                os.remove(other)
                shutil.rmtree(os.path.join(self.cache, "unpacked", base), ignore_errors=True)
        with open(memo, "w") as f:
            f.write(path + "\n")
        return path


def kernel_image(cache, deb, pattern):
    """Unpacks a kernel package (once); returns the kernel image's path."""
    target = os.path.join(cache, "unpacked", os.path.basename(deb)[:-4])
    if not os.path.isdir(target):
        shutil.rmtree(target + ".tmp", ignore_errors=True)
        subprocess.run(["dpkg-deb", "-x", deb, target + ".tmp"], check=True)
        os.rename(target + ".tmp", target)
    images = sorted(glob.glob(os.path.join(target, pattern)))
    if not images:
        raise MatrixError(f"no kernel image ({pattern}) in {os.path.basename(deb)}")
    return images[0]


def deb_field(deb, field):
    return run(["dpkg-deb", "-f", deb, field]).stdout.strip()


def fetch_kernel(cache, uris, kernel, guest):
    apt = Apt(cache, kernel.suite, kernel.arch)
    apt.update(*uris)
    deb = apt.fetch_newest(kernel.package)
    guest.image = kernel_image(cache, deb, kernel.image)
    guest.package = f"{deb_field(deb, 'Package')} {deb_field(deb, 'Version')}"


def fetch_busybox_arm64(cache, uris, work):
    apt = Apt(cache, "bookworm", "arm64")
    apt.update(*uris)
    deb = apt.fetch_newest("busybox-static")
    unpacked = os.path.join(work, "busybox-deb")
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    found = glob.glob(os.path.join(unpacked, "*bin/busybox")) + \
        glob.glob(os.path.join(unpacked, "usr/*bin/busybox"))
    if not found:
        raise MatrixError("no busybox in " + os.path.basename(deb))
    return found[0], deb_field(deb, "Version")


# --- the guests' programs -------------------------------------------------

def cross_build(build_dir, log):
    """The arm64 launcher, cross-built beside the given build directory."""
    target = build_dir + "-matrix-aarch64"
    steps = [
        ["cmake", "-S", SOURCE, "-B", target, "-DCMAKE_SYSTEM_NAME=Linux",
         "-DCMAKE_SYSTEM_PROCESSOR=aarch64", "-DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc",
         "-DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++", "-DMORVIK_BUILD_TESTS=OFF",
         "-DMORVIK_BUILD_BENCH=OFF"],
        ["cmake", "--build", target, "-j2", "--target", "morvik-sandbox"],
    ]
    with open(log, "w") as f:
        for step in steps:
            if subprocess.run(step, stdout=f, stderr=subprocess.STDOUT).returncode != 0:
                raise MatrixError("the aarch64 cross-build failed; see the end of " + log)
    return target


def build_probe(compiler, out):
    source = os.path.join(SOURCE, "tests/e2e/probe/main.cpp")
    r = run([compiler, "-std=c++20", "-static", "-O2", "-o", out, source])
    if r.returncode != 0:
        raise MatrixError(f"the probe does not build with {compiler}: {r.stderr.strip()}")


def copy_libraries(arch, program, root):
    """Copies a dynamically linked program's libraries and loader into root:
    the paths ldd names (x86-64), or the NEEDED entries and the interpreter
    from the cross toolchain's libraries (arm64)."""
    def copy(source, dest):
        os.makedirs(os.path.dirname(root + dest), exist_ok=True)
        shutil.copy(source, root + dest)

    if arch == "amd64":
        for lib in re.findall(r"(/\S+)", run(["ldd", program]).stdout):
            if lib != program:
                copy(lib, lib)
        return
    sysroot = "/usr/aarch64-linux-gnu/lib"
    headers = run(["aarch64-linux-gnu-readelf", "-l", "-d", program]).stdout
    interp = re.search(r"interpreter: (\S+)\]", headers).group(1)
    copy(os.path.join(sysroot, os.path.basename(interp)), interp)
    for lib in re.findall(r"Shared library: \[(.+?)\]", headers):
        if not os.path.exists(os.path.join(sysroot, lib)):
            raise MatrixError(f"{lib} (needed by {os.path.basename(program)}) not in {sysroot}")
        copy(os.path.join(sysroot, lib), "/lib/aarch64-linux-gnu/" + lib)


def initramfs(arch, busybox, launcher_dir, probe, work):
    root = os.path.join(work, "root-" + arch)
    for d in ("bin", "usr/bin", "etc", "matrix", "proc", "sys", "dev", "tmp", "work", "home",
              "srv"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy(busybox, os.path.join(root, "bin/busybox"))
    launcher = os.path.join(launcher_dir, "morvik-sandbox")
    shutil.copy(launcher, os.path.join(root, "usr/bin/"))
    copy_libraries(arch, launcher, root)
    shutil.copy(probe, os.path.join(root, "usr/bin/mprobe"))
    shutil.copy(os.path.join(SOURCE, "tests/matrix/init"), os.path.join(root, "init"))
    shutil.copy(os.path.join(SOURCE, "tests/matrix/suite.sh"), os.path.join(root, "matrix"))
    with open(os.path.join(root, "etc/passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/home/65534:/bin/sh\n")
    with open(os.path.join(root, "etc/group"), "w") as f:
        f.write("root:x:0:\nnogroup:x:65534:\n")
    console = os.path.join(root, "dev/console")  # the kernel opens it for init
    if not os.path.exists(console):
        os.mknod(console, 0o600 | 0o020000, os.makedev(5, 1))
    out = os.path.join(work, f"initrd-{arch}.cpio")
    names = run(["find", "."], cwd=root).stdout
    with open(out, "wb") as f:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=names.encode(),
                       stdout=f, check=True)
    return out


# --- booting and judging ----------------------------------------------------

def boot(guest, initrd, work, timeout):
    kernel = guest.kernel
    d = os.path.join(work, kernel.name)
    os.makedirs(d, exist_ok=True)
    console, results = os.path.join(d, "console.log"), os.path.join(d, "results.txt")
    append = f"panic=-1 mx_kernel={kernel.name} mx_abi={kernel.version} mx_arch={kernel.arch}"
    if kernel.arch == "amd64":
        qemu = ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "max",
                "-append", f"console=ttyS0 mx_out=ttyS1 {append}",
                "-serial", f"file:{console}", "-serial", f"file:{results}"]
    else:
        qemu = ["qemu-system-aarch64", "-M", "virt", "-cpu", "max",
                "-append", f"console=ttyAMA0 mx_out=hvc0 {append}",
                "-serial", f"file:{console}", "-device", "virtio-serial-pci",
                "-chardev", f"file,id=results,path={results}",
                "-device", "virtconsole,chardev=results"]
    qemu += ["-m", "512M", "-nodefaults", "-no-user-config", "-display", "none", "-monitor",
             "none", "-no-reboot", "-kernel", guest.image, "-initrd", initrd]
    start = time.monotonic()
    try:
        r = run(qemu, stdin=subprocess.DEVNULL, timeout=timeout)
        if r.returncode != 0:
            said = (r.stdout + r.stderr).strip().splitlines()[-1:]
            guest.problems.append(f"QEMU exited with status {r.returncode}: {' '.join(said)}")
    except subprocess.TimeoutExpired:
        guest.problems.append(f"no power-off within {timeout}s")
    guest.seconds = round(time.monotonic() - start)
    for path, field in ((results, "lines"), (console, "console")):
        if os.path.exists(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read().replace("\r", "")
            setattr(guest, field, text.splitlines() if field == "lines" else text)


def judge(guest):
    """Reads the suite's lines into the record: every check of both users, each
    user's suite to its end, nothing else on the results device."""
    name = guest.kernel.name
    line_form = re.compile(rf"(ok|FAIL) {re.escape(name)} (root|user)/(\S+): .*")
    done_form = re.compile(rf"done {re.escape(name)} (root|user) (\d+)")
    counted = {}
    for line in guest.lines:
        if m := line_form.fullmatch(line):
            guest.checks.setdefault(m[2], []).append(m[3])
            if m[1] == "FAIL":
                guest.failed.append(line)
        elif m := done_form.fullmatch(line):
            counted[m[1]] = int(m[2])
        else:
            guest.problems.append(f"unexpected output: {line!r}")
    for user in USERS:
        ran = len(guest.checks.get(user, []))
        if user not in counted:
            guest.problems.append(f"the {user} suite did not finish ({ran} checks)")
        elif counted[user] != ran:
            guest.problems.append(f"the {user} suite counted {counted[user]} checks, printed {ran}")
    if guest.failed:
        guest.problems.append(f"{len(guest.failed)} checks failed")


def compare_checks(guests):
    """Every kernel runs the same checks for each user: a guest that ran fewer
    (or others) fails."""
    for user in USERS:
        sets = [set(g.checks.get(user, [])) for g in guests if g.lines]
        if not sets:
            continue
        everything = set().union(*sets)
        for g in guests:
            missing = everything - set(g.checks.get(user, []))
            if g.lines and missing:
                g.problems.append(f"{user} checks not run: {', '.join(sorted(missing))}")


def main():
    if os.environ.get("MORVIK_SKIP_KERNEL_MATRIX") == "1":
        print("kernel matrix skipped (MORVIK_SKIP_KERNEL_MATRIX=1)")
        return 0
    if len(sys.argv) != 2 or not os.access(os.path.join(sys.argv[1], "morvik-sandbox"), os.X_OK):
        print(f"usage: {sys.argv[0]} BUILD_DIR (a build directory holding morvik-sandbox)",
              file=sys.stderr)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    cache = os.environ.get("MORVIK_MATRIX_CACHE", "/var/cache/morvik-matrix")
    timeout = int(os.environ.get("MORVIK_MATRIX_TIMEOUT", "150"))
    start = time.monotonic()
    print(f"kernel matrix: cache {cache}, {timeout}s per kernel", flush=True)
    os.makedirs(cache, exist_ok=True)
    guests = {k.name: Guest(k) for k in KERNELS}
    with tempfile.TemporaryDirectory(prefix="morvik-matrix.") as work, \
            concurrent.futures.ThreadPoolExecutor(max_workers=len(KERNELS) + 3) as pool:
        # Fetch, cross-build and build the probes side by side.
        uris = archive_uris()
        fetches = {name: pool.submit(fetch_kernel, cache, uris, g.kernel, g)
                   for name, g in guests.items()}
        busybox_arm64 = pool.submit(fetch_busybox_arm64, cache, uris, work)
        probes = {arch: os.path.join(work, f"probe-{arch}") for arch in ("amd64", "arm64")}
        probe_builds = [pool.submit(build_probe, cc, probes[arch])
                        for arch, cc in (("amd64", "g++"), ("arm64", "aarch64-linux-gnu-g++"))]
        try:
            arm64_dir = cross_build(build_dir, os.path.join(work, "cross-build.log"))
            for b in probe_builds:
                b.result()
            busybox, busybox_version = busybox_arm64.result()
        except (MatrixError, subprocess.CalledProcessError) as e:
            log = os.path.join(work, "cross-build.log")
            if os.path.exists(log):
                print("".join(open(log).readlines()[-20:]), file=sys.stderr)
            print(f"kernel matrix: {e}", file=sys.stderr)
            return 1
        busybox_amd64 = shutil.which("busybox")
        if not busybox_amd64 or run(["ldd", busybox_amd64]).returncode == 0:
            print("kernel matrix: no static busybox on this machine "
                  "(apt-get install busybox-static)", file=sys.stderr)
            return 1
        amd64_version = run(["dpkg-query", "-W", "-f=${Version}", "busybox-static"]).stdout
        print(f"busybox: amd64 {amd64_version}, arm64 {busybox_version}", flush=True)
        initrds = {
            "amd64": initramfs("amd64", busybox_amd64, build_dir, probes["amd64"], work),
            "arm64": initramfs("arm64", busybox, arm64_dir, probes["arm64"], work),
        }
        for name, fetch in fetches.items():
            try:
                fetch.result()
            except (MatrixError, subprocess.CalledProcessError) as e:
                guests[name].problems.append(f"cannot be fetched: {e}")
        print(f"kernel matrix: booting after {round(time.monotonic() - start)}s", flush=True)
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as boots:
            for name in BOOT_ORDER:
                g = guests[name]
                if g.image:
                    boots.submit(boot, g, initrds[g.kernel.arch], work, timeout)
    for g in guests.values():
        if g.image:
            judge(g)
    compare_checks(list(guests.values()))

    failed = 0
    for g in guests.values():
        for line in g.lines:
            print(line)
        checks = sum(len(c) for c in g.checks.values())
        line = (f"kernel {g.kernel.name} ({g.package or 'not fetched'}, Landlock version "
                f"{g.kernel.version}): {checks - len(g.failed)} ok, {len(g.failed)} failed, "
                f"{g.seconds}s")
        if g.problems:
            failed += 1
            print(f"FAIL {line}: {'; '.join(g.problems)}")
            if g.image and len(g.problems) > bool(g.failed):  # more than failed checks
                print("  last console lines:")
                for console_line in g.console.splitlines()[-15:]:
                    print("  | " + console_line)
        else:
            print(line)
    print(f"kernel matrix: {len(KERNELS) - failed} passed, {failed} failed "
          f"({round(time.monotonic() - start)}s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
