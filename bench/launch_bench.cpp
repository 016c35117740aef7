// Launch cost: morvik-sandbox running /bin/true under a typical profile
// (about 20 existing paths and a port), against a minimal C launcher that
// makes the same system calls in the same order (reading the profile, the
// descriptor walk of every path, Landlock, capabilities, the filter), and against a bare
// /bin/true. The three are run alternately, round by round, so that drift in
// the machine's load hits them alike.
//   launch_bench [rounds]
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

double run_once(const std::vector<std::string>& argv) {
    std::vector<char*> c;
    for (const auto& a : argv)
        c.push_back(const_cast<char*>(a.c_str()));
    c.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, c[0], nullptr, nullptr, c.data(), environ) != 0) std::exit(1);
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed with status %d\n", c[0], status);
        std::exit(1);
    }
    return std::chrono::duration<double, std::micro>(end - start).count();
}

struct Stats {
    std::vector<double> samples;
    double median() {
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    }
    double mean() const {
        double sum = 0;
        for (double s : samples)
            sum += s;
        return sum / static_cast<double>(samples.size());
    }
};

std::string quote(const std::string& s) {
    return "\"" + s + "\"";
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
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
    std::printf("rounds: %d (paths in the rule table: %zu, plus a port rule)\n", rounds,
                (minimal.size() - 6) / 2);
    std::printf("%-28s %10s %10s\n", "per launch (us)", "median", "mean");
    std::printf("%-28s %10.1f %10.1f\n", "bare /bin/true", t.median(), t.mean());
    std::printf("%-28s %10.1f %10.1f\n", "minimal C launcher", c.median(), c.mean());
    std::printf("%-28s %10.1f %10.1f\n", "morvik-sandbox", ms.median(), ms.mean());
    std::printf("ratio morvik-sandbox / minimal C launcher: median %.3f, mean %.3f\n",
                ms.median() / c.median(), ms.mean() / c.mean());
    std::printf("ratio morvik-sandbox / bare /bin/true:     median %.3f, mean %.3f\n",
                ms.median() / t.median(), ms.mean() / t.mean());
    std::string cleanup = "rm -rf '" + root + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
