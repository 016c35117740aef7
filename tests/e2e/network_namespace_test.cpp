// "isolate_network": the command gets a network namespace of its own whose
// only way out is the caller's proxy, relayed by a forwarder that ends with
// the command. Run as root and as an unprivileged user; where the point is
// the difference, each case runs with the key and without it. All traffic
// stays on loopback (127.0.0.2 stands for another host).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

constexpr uid_t kNobody = 65534;

sockaddr_in loopback(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// Stands for the caller's proxy, or for another host on the same port:
// answers every request with its name; "/half-close" only once the client
// has half-closed, "/stream" with bytes until the client is gone.
class FakeServer {
  public:
    FakeServer(const char* address, int port, std::string name) : name_(std::move(name)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(address, port);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0) << address;
        ::listen(fd_, 64);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~FakeServer() {
        stop_ = true;
        acceptor_.join();
        ::close(fd_);
        for (auto& t : handlers_)
            t.join();
    }
    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] int streams_ended() const { return streams_ended_; }

  private:
    void accept_loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            const timeval limit{10, 0};
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            handlers_.emplace_back([this, c] { answer(c); });
        }
    }
    void answer(int c) {
        std::string request;
        char buf[65536] = {};
        ssize_t n;
        while (request.find("\r\n\r\n") == std::string::npos && (n = ::read(c, buf, 4096)) > 0)
            request.append(buf, static_cast<std::size_t>(n));
        std::string body = name_ + "\n";
        if (request.find("/half-close") != std::string::npos) {
            while (::read(c, buf, 4096) > 0) {
            }
            body = name_ + " half-closed\n";
        }
        if (request.find("/stream") != std::string::npos) {
            (void)::send(c, "HTTP/1.0 200 OK\r\n\r\n", 19, MSG_NOSIGNAL);
            while (::send(c, buf, sizeof buf, MSG_NOSIGNAL) > 0) {
            }
            ++streams_ended_;
        } else {
            const std::string reply =
                "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                body;
            (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        ::close(c);
    }

    std::string name_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> streams_ended_{0};
    std::thread acceptor_;
    std::vector<std::thread> handlers_; // the acceptor's alone until it is joined
};

// Processes whose command line holds `needle`: the forwarder keeps the
// launcher's, which names the profile.
std::vector<pid_t> processes_with(const std::string& needle) {
    std::vector<pid_t> out;
    DIR* proc = ::opendir("/proc");
    while (const dirent* e = proc != nullptr ? ::readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(e->d_name);
        std::ifstream in("/proc/" + std::string(e->d_name) + "/cmdline");
        std::stringstream text;
        text << in.rdbuf();
        if (pid > 0 && text.str().find(needle) != std::string::npos) out.push_back(pid);
    }
    if (proc != nullptr) ::closedir(proc);
    return out;
}

// True once no such process is left (the forwarder ends right after the
// command; give it a moment).
bool none_left(const std::string& profile) {
    for (int i = 0; i < 200 && !processes_with(profile).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return processes_with(profile).empty();
}

class NetworkTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (GetParam() && ::geteuid() != 0) GTEST_SKIP() << "needs root to switch user";
        work_ = scratch_.make_dir("work");
        probe_ = scratch_.copy_file(kProbe, "work/probe", 0755);
        const auto write = [&](const char* name, ProfileSpec spec) {
            spec.worktree_path = spec.git_dir = work_;
            spec.allow_udp = true;
            return scratch_.write_file(name, profile_json(spec));
        };
        isolated_ = write("isolated.json", {.proxy_port = proxy_.port(), .isolate_network = true});
        plain_ = write("plain.json", {.proxy_port = proxy_.port()});
        no_port_ = write("no-port.json", {.isolate_network = true});
        if (GetParam()) scratch_.chown_all(kNobody);
    }

    RunOptions options() const {
        RunOptions o{.env = std::vector<std::string>{"PATH=/usr/bin:/bin", "HOME=" + work_}};
        if (GetParam()) o.uid = kNobody;
        return o;
    }
    RunResult run(const std::string& profile, const std::vector<std::string>& command) {
        RunResult r = run_sandboxed(profile, command, options());
        EXPECT_TRUE(none_left(profile)) << "a forwarder outlived the command";
        return r;
    }
    std::vector<std::string> sandboxed(const std::string& profile,
                                       const std::vector<std::string>& command) const {
        std::vector<std::string> argv = {kLauncher, "--profile", profile, "--"};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    }

    ScratchDir scratch_;
    FakeServer proxy_{"127.0.0.1", 0, "proxy"};
    FakeServer other_host_{"127.0.0.2", proxy_.port(), "other host"};
    std::string work_, probe_, isolated_, plain_, no_port_;
};

TEST_P(NetworkTest, OnlyTheProxyIsReachableFromInside) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a = loopback("127.0.0.1", 0);
    socklen_t len = sizeof a;
    ::bind(udp, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string port = std::to_string(proxy_.port());
    const std::string refused = "errno 111\n";
    struct Case {
        const char* what;
        std::vector<std::string> command;
        std::string isolated, plain; // what the command printed (and "datagram" when one came)
    };
    const Case cases[] = {
        {"the proxy", {probe_, "fetch", "127.0.0.1", port, "/"}, "proxy\n", "proxy\n"},
        {"the proxy, half-closed",
         {probe_, "fetch", "127.0.0.1", port, "/half-close"},
         "proxy half-closed\n",
         "proxy half-closed\n"},
        {"curl through the proxy",
         {"curl", "-q", "-sS", "-x", "http://127.0.0.1:" + port, "http://example.invalid/"},
         "proxy\n",
         "proxy\n"},
        {"the proxy port on ::1", {probe_, "fetch", "::1", port, "/"}, "proxy\n", refused},
        {"the proxy port on another host",
         {probe_, "fetch", "127.0.0.2", port, "/"},
         refused,
         "other host\n"},
        {"UDP to 127.0.0.1", {probe_, "udp", std::to_string(ntohs(a.sin_port))}, "", "datagram\n"},
    };
    for (const Case& c : cases) {
        for (const bool isolated : {true, false}) {
            RunResult r = run(isolated ? isolated_ : plain_, c.command);
            char byte;
            if (::recv(udp, &byte, 1, 0) == 1) r.out += "datagram\n";
            EXPECT_EQ(r.out, isolated ? c.isolated : c.plain)
                << c.what << (isolated ? " (isolated)" : "") << ": " << r.err;
        }
    }
    // Without a proxy port: loopback alone inside, and no forwarder at all.
    const RunResult r = run_sandboxed(no_port_, cases[5].command, options());
    char byte;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(::recv(udp, &byte, 1, 0), -1);
    EXPECT_TRUE(processes_with(no_port_).empty());
    ::close(udp);
}

// Servers the command makes: reachable from outside without the key only.
TEST_P(NetworkTest, NothingOutsideReachesIn) {
    for (const char* kind : {"udp", "tcp-unbound", "abstract"}) {
        for (const bool isolated : {true, false}) {
            RunOptions o = options();
            o.stdin_pipe = true;
            Started command(sandboxed(isolated ? isolated_ : plain_, {probe_, "serve", kind}), o);
            const std::string where = command.read_line().value_or("");
            const int fd = ::socket(kind[0] == 'a' ? AF_UNIX : AF_INET,
                                    (kind[0] == 'u' ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
            if (kind[0] == 'a') {
                sockaddr_un u{.sun_family = AF_UNIX, .sun_path = {}};
                std::memcpy(u.sun_path + 1, where.data(), where.size());
                (void)::connect(fd, reinterpret_cast<sockaddr*>(&u),
                                static_cast<socklen_t>(sizeof(sa_family_t) + 1 + where.size()));
            } else { // a datagram, or a connection
                const sockaddr_in to = loopback("127.0.0.1", std::atoi(where.c_str()));
                (void)::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
                (void)::send(fd, "x", 1, MSG_NOSIGNAL);
            }
            command.close_stdin();
            const RunResult r = command.wait();
            ::close(fd);
            EXPECT_EQ(r.out, isolated ? "alone\n" : "reached\n")
                << kind << (isolated ? " (isolated)" : "") << ": " << r.err;
        }
    }
}

TEST_P(NetworkTest, TheForwarderEndsWithTheCommandAndNeverHoldsItUp) {
    const std::string port = std::to_string(proxy_.port());
    // The command ends in the middle of a download its child goes on with:
    // the forwarder resets it and ends.
    RunResult r = run(isolated_, {probe_, "download-and-leave", "127.0.0.1", port});
    EXPECT_EQ(r.out, "download ended: Connection reset by peer\n") << r.err;
    for (int i = 0; i < 200 && proxy_.streams_ended() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(proxy_.streams_ended(), 1);

    // A supervisor reading the command's output to its end is not held up
    // while the command runs on without it.
    Started quiet(sandboxed(isolated_, {"sh", "-c", "exec >&- 2>&-; sleep 3"}), options());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(quiet.read_to_eof(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(quiet.wait().status, 0);

    // The forwarder killed from outside: the command runs on, cut off.
    RunOptions o = options();
    o.stdin_pipe = true;
    const std::string fetch = probe_ + " fetch 127.0.0.1 " + port + " /";
    Started command(
        sandboxed(isolated_, {"sh", "-c", fetch + "; read x; " + fetch + "; echo still running"}),
        o);
    EXPECT_EQ(command.read_line().value_or(""), "proxy");
    const std::vector<pid_t> forwarders = processes_with(isolated_);
    ASSERT_EQ(forwarders.size(), 1U);
    ::kill(forwarders[0], SIGKILL);
    EXPECT_TRUE(none_left(isolated_));
    command.close_stdin();
    r = command.wait();
    EXPECT_EQ(r.out, "errno 111\nstill running\n") << r.err;
    EXPECT_EQ(r.status, 0);
}

// The caller's proxy not listening: the command's connection is reset at
// once, never left hanging.
TEST_P(NetworkTest, ARefusingProxyResetsAtOnce) {
    const int free_port = TcpListener().port(); // closed again: nothing listens there
    const std::string profile =
        scratch_.write_file("refusing.json", profile_json({.worktree_path = work_,
                                                           .git_dir = work_,
                                                           .proxy_port = free_port,
                                                           .isolate_network = true}));
    if (GetParam()) scratch_.chown_all(kNobody);
    const auto start = std::chrono::steady_clock::now();
    const RunResult r =
        run(profile, {probe_, "fetch", "127.0.0.1", std::to_string(free_port), "/"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("errno ", 0), 0U) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Users, NetworkTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Nobody" : "Root"; });

#ifdef MORVIK_SECCOMP_RUN_BIN
// A machine that refuses a step: one line, status 1, the command not run.
TEST(NetworkRefusedTest, OneLineAndTheCommandNotRun) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch user";
    const std::string prefix = "Failed to isolate the network: unshare: ";
    struct Case {
        const char* machine; // seccomp-run's mode
        bool nobody;
        std::string err; // empty: the command runs
    };
    const Case cases[] = {
        {"no-unshare", false, prefix + "Operation not permitted (os error 1)\n"},
        {"no-unshare", true, prefix + "Operation not permitted (os error 1)\n"},
        {"no-userns", true, prefix + "No space left on device (os error 28)\n"},
        {"no-userns", false, ""}, // root needs no user namespace
    };
    for (const Case& c : cases) {
        ScratchDir scratch;
        const std::string work = scratch.make_dir("work");
        const std::string profile =
            scratch.write_file("p.json", profile_json({.worktree_path = work,
                                                       .git_dir = work,
                                                       .proxy_port = 3128,
                                                       .isolate_network = true}));
        const std::string probe = scratch.copy_file(kProbe, "work/probe", 0755);
        if (c.nobody) scratch.chown_all(kNobody);
        RunOptions o;
        if (c.nobody) o.uid = kNobody;
        const RunResult r = run_process({MORVIK_SECCOMP_RUN_BIN, c.machine, kLauncher, "--profile",
                                         profile, "--", probe, "write", work + "/ran"},
                                        o);
        EXPECT_EQ(r.err, c.err) << c.machine << (c.nobody ? " as nobody" : " as root");
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(::access((work + "/ran").c_str(), F_OK) == 0, c.err.empty());
        EXPECT_TRUE(none_left(profile));
    }
}
#endif

} // namespace
} // namespace morvik::e2e
