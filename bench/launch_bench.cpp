// Launch cost: morvik-sandbox running /bin/true under a typical profile
// (about 20 existing paths and a port), against a minimal C launcher that
// makes the same system calls in the same order (reading the profile, the
// descriptor walk of every path, Landlock, capabilities, a filter with the
// same refusals), and against a bare /bin/true. The three are run in turn,
// round by round, so that drift in the machine's load hits them alike; each
// reports the median and the interquartile range. Started as root, it
// measures as root and then as uid 65534; otherwise as the caller. Then the
// cost of installing the filter, in fresh children, against a no-op.
//   launch_bench [rounds]   (default 600 per side)
#include <grp.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sandbox/syscall_filter.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double run_once(const std::vector<std::string>& argv) {
    std::vector<char*> c;
    for (const auto& a : argv)
        c.push_back(const_cast<char*>(a.c_str()));
    c.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, c[0], nullptr, nullptr, c.data(), environ) != 0) std::exit(1);
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = Clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed with status %d\n", c[0], status);
        std::exit(1);
    }
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// Microseconds per sample: best, quartiles.
struct Stats {
    std::vector<double> samples;
    double at(double q) {
        std::sort(samples.begin(), samples.end());
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    }
    void print(const char* name) {
        std::printf("  %-22s %9.1f %9.1f %9.1f %9.1f %9.1f\n", name, at(0), at(0.25), at(0.5),
                    at(0.75), at(0.75) - at(0.25));
    }
};

void header(const char* unit) {
    std::printf("  %-22s %9s %9s %9s %9s %9s\n", unit, "best", "q1", "median", "q3", "IQR");
}

std::string quote(const std::string& s) {
    return "\"" + s + "\"";
}

// Launches as the calling user.
void measure_launches(int rounds, const char* identity) {
    char tmpl[] = "/var/tmp/morvik-bench-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    const auto dir = [&](const std::string& name) {
        const std::string p = root + "/" + name;
        mkdir(p.c_str(), 0755);
        return p;
    };
    const std::string work = dir("work"), git = dir("git");
    const std::vector<std::string> agents = {dir("agent1"), dir("agent2")};
    const std::vector<std::string> tools = {dir("tool1"), dir("tool2"), "/usr/local/bin"};
    const std::vector<std::string> extra = {dir("extra1")};
    const std::string home = dir("home");
    const int port = 3128;

    const auto list = [](const std::vector<std::string>& v) {
        std::string out = "[";
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ',';
            out += quote(v[i]);
        }
        return out + "]";
    };
    const std::string profile = root + "/profile.json";
    std::ofstream(profile) << "{\"worktree_path\":" << quote(work) << ",\"git_dir\":" << quote(git)
                           << ",\"agent_config_dirs\":" << list(agents)
                           << ",\"tool_dirs\":" << list(tools)
                           << ",\"user_allowed_paths\":" << list(extra)
                           << ",\"allowed_domains\":[\"example.invalid\"],\"env_passthrough\":[]"
                           << ",\"proxy_port\":" << port << "}\n";

    // The same rule table for the C baseline, at this kernel's level (6),
    // each access prefixed with how the launcher walks the path: 'p' and
    // 'w' writable places (opened first), 's' system directories, 'h' the
    // home directory, 'r' the rest.
    std::vector<std::string> minimal = {MORVIK_MINIMAL_BIN, profile, "ffff", std::to_string(port)};
    const auto add = [&](const char* access, const std::string& path) {
        minimal.push_back(access);
        minimal.push_back(path);
    };
    add("wffff", work);
    add("wffff", git);
    for (const auto& a : agents)
        add("wffff", a);
    for (const auto& t : tools)
        add("rd", t);
    for (const auto& e : extra)
        add("rd", e);
    for (const char* s : {"/usr", "/bin", "/lib", "/lib64", "/etc", "/sbin", "/run", "/sys"})
        add("sd", s);
    add("pffff", "/tmp");
    add("sd", "/proc");
    // Run as root, the launcher narrows /dev to its pseudo-devices.
    if (geteuid() == 0) {
        for (const char* d : {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
                              "/dev/tty", "/dev/ptmx", "/dev/pts/", "/dev/shm/"})
            add("pffff", d);
    } else {
        add("pffff", "/dev");
    }
    add("h4126", home);
    minimal.insert(minimal.end(), {"--", "/bin/true"});

    setenv("HOME", home.c_str(), 1);
    const std::vector<std::string> launcher = {MORVIK_SANDBOX_BIN, "--profile", profile, "--",
                                               "/bin/true"};
    const std::vector<std::string> bare = {"/bin/true"};

    for (int i = 0; i < 50; ++i) { // warm-up
        run_once(launcher);
        run_once(minimal);
        run_once(bare);
    }
    Stats ms, c, t;
    for (int i = 0; i < rounds; ++i) {
        ms.samples.push_back(run_once(launcher));
        c.samples.push_back(run_once(minimal));
        t.samples.push_back(run_once(bare));
    }
    std::printf("as %s (uid %d): %d launches of /bin/true per side, interleaved; %zu paths in "
                "the rule table and a port rule\n",
                identity, static_cast<int>(geteuid()), rounds, (minimal.size() - 6) / 2);
    header("per launch (us)");
    t.print("bare /bin/true");
    c.print("C reference");
    ms.print("morvik-sandbox");
    std::printf("  ratio morvik-sandbox / C reference: median %.3f\n\n", ms.at(0.5) / c.at(0.5));
    const std::string cleanup = "rm -rf '" + root + "'";
    if (std::system(cleanup.c_str()) != 0) std::exit(1);
}

// Nanoseconds a fresh child takes to install `filter` (or nothing).
double install_once(const morvik::sandbox::SyscallFilter* filter) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        double ns = -1;
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) {
            const auto start = Clock::now();
            const int rc = filter ? morvik::sandbox::install_syscall_filter(*filter) : 0;
            const auto end = Clock::now();
            if (rc == 0) ns = std::chrono::duration<double, std::nano>(end - start).count();
        }
        _exit(write(fds[1], &ns, sizeof ns) == sizeof ns ? 0 : 1);
    }
    double ns = -1;
    if (pid < 0 || read(fds[0], &ns, sizeof ns) != sizeof ns || ns < 0) std::exit(1);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    return ns;
}

void measure_install(int rounds) {
    const morvik::sandbox::SyscallFilter unprivileged{true, false, false};
    const morvik::sandbox::SyscallFilter dropped{true, false, true};
    Stats none, plain, set_id;
    for (int i = 0; i < rounds; ++i) {
        none.samples.push_back(install_once(nullptr) / 1000);
        plain.samples.push_back(install_once(&unprivileged) / 1000);
        set_id.samples.push_back(install_once(&dropped) / 1000);
    }
    std::printf("filter install in a fresh child: %d rounds, interleaved\n", rounds);
    header("per install (us)");
    none.print("no-op");
    plain.print("filter (TCP)");
    set_id.print("filter (TCP, set-ID)");
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 600;
    if (geteuid() != 0) {
        measure_launches(rounds, "the caller");
    } else {
        measure_launches(rounds, "root");
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            const gid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                setresuid(nobody, nobody, nobody) != 0)
                _exit(1);
            measure_launches(rounds, "nobody");
            _exit(std::fflush(stdout) == 0 ? 0 : 1);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) return 1;
    }
    measure_install(rounds);
    return 0;
}
