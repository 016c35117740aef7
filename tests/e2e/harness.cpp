#include "e2e/harness.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace morvik::e2e {
namespace {

constexpr uid_t kNobody = 65534;

// Hands a tree to `uid`, depth-first, not following symbolic links.
void chown_tree(const std::string& root, uid_t uid) {
    std::vector<std::string> pending = {root};
    while (!pending.empty()) {
        const std::string p = pending.back();
        pending.pop_back();
        if (::lchown(p.c_str(), uid, static_cast<gid_t>(uid)) != 0) {
            throw std::runtime_error("lchown " + p);
        }
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        DIR* dir = ::opendir(p.c_str());
        if (dir == nullptr) continue;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") pending.push_back(p + "/" + name);
        }
        ::closedir(dir);
    }
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (auto pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

RunResult run_process(const std::vector<std::string>& argv_in, const RunOptions& options) {
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.stdin_data && ::pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv = argv_in;
    std::vector<std::string> env;
    if (options.env) env = *options.env;
    auto argv_c = c_strings(argv);
    auto env_c = c_strings(env);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        if (options.close_stdin) {
            ::close(0);
        } else if (options.stdin_data) {
            ::dup2(in_pipe[0], 0);
        }
        // Start from a clean slate: only 0-2 and the descriptor the test
        // hands over survive, whatever the test runner itself inherited.
        if (options.keep_fd >= 3) {
            ::fcntl(options.keep_fd, F_SETFD, 0);
            ::close_range(3, static_cast<unsigned>(options.keep_fd) - 1, 0);
            ::close_range(static_cast<unsigned>(options.keep_fd) + 1, ~0U, 0);
        } else {
            ::close_range(3, ~0U, 0);
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(120);
        ::signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        if (options.memory_limit) {
            const rlimit limit{*options.memory_limit, *options.memory_limit};
            if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(123);
        }
        if (options.uid) {
            const gid_t gid = static_cast<gid_t>(*options.uid);
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(*options.uid) != 0) {
                ::_exit(121);
            }
        }
        const char* path = options.exec_path.empty() ? argv_c[0] : options.exec_path.c_str();
        ::execve(path, argv_c.data(), options.env ? env_c.data() : environ);
        ::_exit(122);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (options.stdin_data) {
        ::close(in_pipe[0]);
        const std::string& data = *options.stdin_data;
        [[maybe_unused]] ssize_t n = ::write(in_pipe[1], data.data(), data.size());
        ::close(in_pipe[1]);
    }
    RunResult result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

RunResult run_sandboxed(const std::string& profile, const std::vector<std::string>& command,
                        const RunOptions& options) {
    std::vector<std::string> argv = {options.launcher, "--profile", profile, "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    return run_process(argv, options);
}

ScratchDir::ScratchDir(const std::string& parent) {
    std::string tmpl = parent + "/morvik-e2e-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp in " + parent);
    ::chmod(tmpl.c_str(), 0755);
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    ::nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int type, FTW*) {
            // chmod follows links: a link a test planted (to "/", say) must
            // not have its target's mode changed.
            if (type != FTW_SL && type != FTW_SLN) ::chmod(p, 0700);
            return ::remove(p) == 0 ? 0 : 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string ScratchDir::make_dir(const std::string& name, mode_t mode) const {
    const std::string p = path_ + "/" + name;
    if (::mkdir(p.c_str(), mode) != 0 && errno != EEXIST) throw std::runtime_error("mkdir " + p);
    ::chmod(p.c_str(), mode);
    return p;
}

std::string ScratchDir::write_file(const std::string& name, const std::string& content) const {
    const std::string p = path_ + "/" + name;
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("open " + p);
    [[maybe_unused]] ssize_t n = ::write(fd, content.data(), content.size());
    ::close(fd);
    return p;
}

std::string ScratchDir::copy_file(const std::string& source, const std::string& name,
                                  mode_t mode) const {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw std::runtime_error("open " + source);
    std::string content;
    char buf[65536];
    for (ssize_t n; (n = ::read(in, buf, sizeof buf)) > 0;)
        content.append(buf, static_cast<std::size_t>(n));
    ::close(in);
    const std::string p = write_file(name, content);
    ::chmod(p.c_str(), mode);
    return p;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

TcpListener::TcpListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

TcpListener::~TcpListener() {
    ::close(fd_);
}

std::string profile_json(const ProfileSpec& spec) {
    const auto list = [](const std::vector<std::string>& items) {
        std::string out = "[";
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (i) out += ", ";
            out += json_string(items[i]);
        }
        return out + "]";
    };
    std::string out = "{\n";
    out += "  \"worktree_path\": " + json_string(spec.worktree_path) + ",\n";
    out += "  \"git_dir\": " + json_string(spec.git_dir) + ",\n";
    out += "  \"agent_config_dirs\": " + list(spec.agent_config_dirs) + ",\n";
    out += "  \"tool_dirs\": " + list(spec.tool_dirs) + ",\n";
    out += "  \"user_allowed_paths\": " + list(spec.user_allowed_paths) + ",\n";
    out += "  \"allowed_domains\": [],\n  \"env_passthrough\": []";
    if (spec.proxy_port && *spec.proxy_port >= 0)
        out += ",\n  \"proxy_port\": " + std::to_string(*spec.proxy_port);
    if (spec.allow_udp) out += ",\n  \"allow_udp\": true";
    if (spec.keep_capabilities) out += ",\n  \"keep_capabilities\": true";
    if (spec.minimum_landlock_abi) {
        out += ",\n  \"minimum_landlock_abi\": " + std::to_string(*spec.minimum_landlock_abi);
    }
    if (spec.log_denials) out += ",\n  \"log_denials\": true";
    if (spec.isolate_network) out += ",\n  \"isolate_network\": true";
    if (spec.run_as) {
        out += ",\n  \"run_as\": {\"uid\": " + std::to_string(spec.run_as->uid) +
               ", \"gid\": " + std::to_string(spec.run_as->gid) + "}";
    }
    return out + "\n}\n";
}

int landlock_version() {
    const long v = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U); // the version query
    return v < 0 ? 0 : static_cast<int>(v);
}

std::string outcome(const RunResult& r) {
    if (r.status > 128) return std::string("SIG") + ::sigabbrev_np(r.status - 128);
    std::string text;
    for (const char c : r.out)
        if (c != '\r') text += c;
    if (text.ends_with('\n')) text.pop_back();
    const bool errno_name =
        text.size() > 1 && text[0] == 'E' &&
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") == std::string::npos;
    if (r.status == 0) return text.empty() ? "ok" : text;
    if (r.status == 1 && errno_name) return text;
    return "status " + std::to_string(r.status) + (text.empty() ? "" : ": " + text);
}

void Confined::SetUp() {
    if (nobody() && ::geteuid() != 0) GTEST_SKIP() << "needs root to run as uid 65534";
    if (abi_ == 0) GTEST_SKIP() << "this kernel has no Landlock (its version query fails)";
    work_ = scratch_.make_dir("w");
    scratch_.make_dir("w/.git");
    scratch_.make_dir("tools");
    home_ = scratch_.make_dir("home");
    probe_ = scratch_.copy_file(kProbe, "tools/probe", 0755);
    launcher_ = scratch_.copy_file(kLauncher, "launcher", 0755);
}

void Confined::TearDown() {
    for (const pid_t pid : servers_)
        ::kill(pid, SIGKILL);
}

std::string Confined::expand(std::string text) const {
    replace_all(text, "$probe", probe_);
    replace_all(text, "$port", std::to_string(proxy_.port()));
    replace_all(text, "$s", scratch_.path());
    replace_all(text, "$w", work_);
    replace_all(text, "$h", home_);
    return text;
}

void Confined::hand_over(const std::string& tree) const {
    if (nobody()) chown_tree(tree, kNobody);
}

std::string Confined::profile(const ProfileSpec& settings) {
    ProfileSpec spec = settings;
    if (spec.worktree_path.empty()) spec.worktree_path = work_;
    if (spec.git_dir.empty()) spec.git_dir = work_ + "/.git";
    if (spec.tool_dirs.empty()) spec.tool_dirs = {scratch_ / "tools"};
    if (!spec.proxy_port) spec.proxy_port = proxy_.port();
    // A command that runs as uid 0 gets a home directory only at "/root" or
    // beneath a place it may write: a root supervisor lists the home it
    // gives the command among the agent config dirs.
    if (!nobody()) spec.agent_config_dirs.push_back(home_);
    for (std::vector<std::string>* list :
         {&spec.agent_config_dirs, &spec.tool_dirs, &spec.user_allowed_paths})
        for (std::string& path : *list)
            path = expand(path);
    spec.worktree_path = expand(spec.worktree_path);
    spec.git_dir = expand(spec.git_dir);
    const std::string text = profile_json(spec);
    auto [it, added] = profiles_.try_emplace(text);
    if (added) {
        it->second =
            scratch_.write_file("profile-" + std::to_string(profiles_.size()) + ".json", text);
    }
    return it->second;
}

RunOptions Confined::options(const Row& row) const {
    RunOptions o{.env =
                     std::vector<std::string>{"HOME=" + expand(row.home.empty() ? "$h" : row.home),
                                              "PATH=/usr/bin:/bin"},
                 .cwd = work_};
    if (nobody()) o.uid = kNobody;
    return o;
}

std::vector<std::string> Confined::command(const Row& row) const {
    std::vector<std::string> argv;
    if (row.command.empty() ||
        !(row.command[0].starts_with('/') || row.command[0].starts_with('$')))
        argv.push_back(probe_);
    for (const std::string& a : row.command)
        argv.push_back(expand(a));
    return argv;
}

RunResult Confined::launch(const Row& row) {
    std::vector<std::string> argv;
    for (const std::string& w : row.wrapper)
        argv.push_back(expand(w));
    argv.insert(argv.end(), {launcher_, "--profile", profile(row.profile), "--"});
    for (std::string& a : command(row))
        argv.push_back(std::move(a));
    return run_process(argv, options(row));
}

pid_t Confined::outside(const std::vector<std::string>& serve) {
    hand_over(scratch_.path());
    const RunResult r = run_process(command({.command = serve}), options({}));
    const pid_t pid = static_cast<pid_t>(std::atoi(r.out.c_str()));
    if (r.status != 0 || pid <= 0) {
        ADD_FAILURE() << "outside server " << serve[0] << ": " << r.out;
        return -1;
    }
    servers_.push_back(pid);
    return pid;
}

void Confined::check(const std::vector<Row>& rows) {
    hand_over(scratch_.path());
    std::string skipped;
    for (const Row& row : rows) {
        if (row.who != Who::both && row.who != GetParam()) continue;
        SCOPED_TRACE(row.name);
        if (row.host) {
            auto [it, added] = hosts_.try_emplace(row.host->lacks);
            if (added)
                it->second =
                    outcome(run_process(command({.command = row.host->probe}), options({})));
            const std::string& alone = it->second;
            if (std::ranges::find(row.host->refusals, alone) != row.host->refusals.end()) {
                skipped +=
                    "\n  " + row.name + ": " + row.host->lacks + " (unconfined: " + alone + ")";
                continue;
            }
            if (alone != "ok" && alone != "EPERM" && alone != "EACCES") {
                ADD_FAILURE() << "unconfined, the host probe gave " << alone
                              << ": neither the feature nor " << row.host->lacks;
                continue;
            }
        }
        const RunResult r = launch(row);
        EXPECT_EQ(outcome(r), abi_ < row.abi ? "ok" : expand(row.expect)) << r.err;
        EXPECT_EQ(r.err, expand(row.err));
    }
    if (!skipped.empty()) GTEST_SKIP() << "this host lacks what these rows try:" << skipped;
}

} // namespace morvik::e2e
