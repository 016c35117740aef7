// "isolate_network": the command gets a network namespace of its own whose
// only way out is the caller's proxy, relayed by a forwarder that ends with
// the command. As root and as an unprivileged user; where the difference is
// the point, each attempt runs with the key and without it. All traffic
// stays on loopback (127.0.0.2 stands for another host).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

sockaddr_in address(const char* ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// Stands for the caller's proxy, or for another host on the same port:
// answers every request with its name; "/half-close" only once the client
// has half-closed, "/stream" with bytes until the client is gone.
class FakeServer {
  public:
    FakeServer(const char* ip, int port, std::string name) : name_(std::move(name)) {
        sockaddr_in a = address(ip, port);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0) << ip;
        ::listen(fd_, 64);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { accept_all(); });
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
    void accept_all() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            const timeval limit{10, 0};
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            if (c >= 0) handlers_.emplace_back([this, c] { answer(c); });
        }
    }
    void answer(int c) {
        std::string request;
        char buf[65536] = {};
        for (ssize_t n = 1; request.find("\r\n\r\n") == std::string::npos && n > 0;)
            if ((n = ::read(c, buf, 4096)) > 0) request.append(buf, static_cast<std::size_t>(n));
        std::string body = name_ + "\n";
        if (request.find("/half-close") != std::string::npos) {
            while (::read(c, buf, 4096) > 0) {
            }
            body = name_ + " half-closed\n";
        }
        if (request.find("/stream") != std::string::npos) {
            while (::send(c, buf, sizeof buf, MSG_NOSIGNAL) > 0) {
            }
            ++streams_ended_;
        }
        const std::string reply =
            "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(c);
    }

    std::string name_;
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> streams_ended_{0};
    std::thread acceptor_;
    std::vector<std::thread> handlers_; // the acceptor's alone until it is joined
};

// A UDP socket on 127.0.0.1 that counts what reached it.
struct UdpCatcher {
    UdpCatcher() {
        sockaddr_in a = address("127.0.0.1", 0);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = std::to_string(ntohs(a.sin_port));
    }
    ~UdpCatcher() { ::close(fd); }
    bool caught() const {
        char byte;
        return ::recv(fd, &byte, 1, 0) == 1;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    std::string port;
};

// Processes whose command line holds `needle`: the forwarder keeps the
// launcher's, which names the fixture's own copy of the launcher.
std::vector<pid_t> processes_with(const std::string& needle) {
    std::vector<pid_t> out;
    DIR* proc = ::opendir("/proc");
    while (const dirent* e = proc != nullptr ? ::readdir(proc) : nullptr) {
        std::stringstream text;
        text << std::ifstream("/proc/" + std::string(e->d_name) + "/cmdline").rdbuf();
        if (std::atoi(e->d_name) > 0 && text.str().find(needle) != std::string::npos)
            out.push_back(std::atoi(e->d_name));
    }
    if (proc != nullptr) ::closedir(proc);
    return out;
}

class NetworkTest : public Confined {
  protected:
    [[nodiscard]] ProfileSpec isolated() const {
        return {.proxy_port = proxy_server_.port(), .allow_udp = true, .isolate_network = true};
    }
    [[nodiscard]] ProfileSpec plain() const {
        return {.proxy_port = proxy_server_.port(), .allow_udp = true};
    }
    // True once no forwarder is left (it ends right after the command).
    [[nodiscard]] bool no_forwarder_left() const {
        for (int i = 0; i < 300 && !processes_with(launcher_).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return processes_with(launcher_).empty();
    }
    std::unique_ptr<Started> start(const Row& row) {
        hand_over(scratch_.path());
        RunOptions o = options(row);
        o.stdin_pipe = true;
        return std::make_unique<Started>(argv(row), o);
    }

    FakeServer proxy_server_{"127.0.0.1", 0, "proxy"};
    FakeServer other_host_{"127.0.0.2", proxy_server_.port(), "other host"};
    std::string port_ = std::to_string(proxy_server_.port());
};

TEST_P(NetworkTest, OnlyTheProxyIsReachableFromInside) {
    const UdpCatcher isolated_udp, plain_udp;
    struct Attempt {
        std::string name;
        std::vector<std::string> command;
        std::string isolated, plain; // the outcome with the key, and without
    };
    const Attempt attempts[] = {
        {"the proxy", {"fetch", "127.0.0.1", port_, "/"}, "proxy", "proxy"},
        {"the proxy, half-closed",
         {"fetch", "127.0.0.1", port_, "/half-close"},
         "proxy half-closed",
         "proxy half-closed"},
        {"curl through the proxy",
         {"/usr/bin/curl", "-q", "-sS", "-x", "http://127.0.0.1:" + port_,
          "http://example.invalid/"},
         "proxy",
         "proxy"},
        {"the proxy port on ::1", {"fetch", "::1", port_, "/"}, "proxy", "ECONNREFUSED"},
        {"the proxy port on another host",
         {"fetch", "127.0.0.2", port_, "/"},
         "ECONNREFUSED",
         "other host"},
    };
    std::vector<Row> rows;
    for (const Attempt& a : attempts) {
        rows.push_back({a.name + " (isolated)", a.command, a.isolated, "", isolated()});
        rows.push_back({a.name, a.command, a.plain, "", plain()});
    }
    rows.push_back({"UDP out (isolated)", {"udp", isolated_udp.port}, "ok", "", isolated()});
    rows.push_back({"UDP out", {"udp", plain_udp.port}, "ok", "", plain()});
    rows.push_back({"UDP out, loopback alone without a proxy port",
                    {"udp", isolated_udp.port},
                    "ok",
                    "",
                    {.proxy_port = -1, .allow_udp = true, .isolate_network = true}});
    check(rows);
    EXPECT_FALSE(isolated_udp.caught());
    EXPECT_TRUE(plain_udp.caught());
    EXPECT_TRUE(no_forwarder_left());
}

// Servers the command makes: reachable from outside without the key only.
TEST_P(NetworkTest, NothingOutsideReachesIn) {
    for (const char* kind : {"udp", "tcp-unbound", "abstract"}) {
        for (const bool isolate : {true, false}) {
            const auto command = start({.command = {"serve-until-stdin-ends", kind},
                                        .profile = isolate ? isolated() : plain()});
            const std::string where = command->read_line().value_or("");
            const bool unix = kind[0] == 'a';
            const int fd =
                ::socket(unix ? AF_UNIX : AF_INET, (kind[0] == 'u' ? SOCK_DGRAM : SOCK_STREAM), 0);
            sockaddr_un u{.sun_family = AF_UNIX, .sun_path = {}};
            std::memcpy(u.sun_path + 1, where.data(),
                        std::min(where.size(), sizeof u.sun_path - 1));
            const sockaddr_in in = address("127.0.0.1", std::atoi(where.c_str()));
            (void)::connect(fd,
                            unix ? reinterpret_cast<const sockaddr*>(&u)
                                 : reinterpret_cast<const sockaddr*>(&in),
                            unix ? static_cast<socklen_t>(sizeof(sa_family_t) + 1 + where.size())
                                 : sizeof in);
            (void)::send(fd, "x", 1, MSG_NOSIGNAL);
            command->close_stdin();
            const RunResult r = command->wait();
            ::close(fd);
            EXPECT_EQ(r.out, isolate ? "alone\n" : "reached\n")
                << kind << (isolate ? " (isolated)" : "") << ": " << r.err;
        }
    }
}

TEST_P(NetworkTest, TheForwarderEndsWithTheCommandAndHoldsNothingUp) {
    const int refusing = TcpListener().port(); // closed again: nothing listens there
    check({
        // The command ends while its child downloads: the forwarder resets
        // the download and ends.
        {"a download the command leaves",
         {"download-and-leave", "127.0.0.1", port_},
         "download ended: ECONNRESET",
         "",
         isolated()},
        {"a proxy that refuses: reset at once",
         {"fetch", "127.0.0.1", std::to_string(refusing), "/"},
         "ECONNRESET",
         "",
         {.proxy_port = refusing, .isolate_network = true}},
    });
    EXPECT_TRUE(no_forwarder_left());
    for (int i = 0; i < 300 && proxy_server_.streams_ended() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(proxy_server_.streams_ended(), 1);

    // A supervisor reading the command's output to its end is not held up
    // while the command runs on without it.
    const auto quiet = start({.command = {"sh", "exec >&- 2>&-; sleep 3"}, .profile = isolated()});
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_TRUE(quiet->read_to_eof(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
    EXPECT_EQ(quiet->wait().status, 0);

    // The forwarder killed from outside: the command runs on, cut off.
    const std::string fetch = expand("$probe fetch 127.0.0.1 ") + port_ + " /";
    const auto command = start(
        {.command = {"sh", fetch + "; read x; " + fetch + "; echo on"}, .profile = isolated()});
    EXPECT_EQ(command->read_line().value_or(""), "proxy");
    const std::vector<pid_t> forwarders = processes_with(launcher_);
    ASSERT_EQ(forwarders.size(), 1U);
    ::kill(forwarders[0], SIGKILL);
    EXPECT_TRUE(no_forwarder_left());
    command->close_stdin();
    const RunResult r = command->wait();
    EXPECT_EQ(r.out, "ECONNREFUSED\non\n") << r.err;
    EXPECT_EQ(r.status, 0);
}

// A machine that refuses a step: one line, status 1, the command not run.
TEST_P(NetworkTest, RefusedStepsStopTheRun) {
    const std::string failed = "Failed to isolate the network: unshare: ";
    check({
        {.name = "unshare refused",
         .command = {"write", "$w/ran"},
         .expect = "status 1",
         .err = failed + "Operation not permitted (os error 1)\n",
         .profile = isolated(),
         .wrapper = {"$probe", "without-unshare"}},
        {.name = "user namespaces turned off",
         .command = {"write", "$w/ran"},
         .expect = "status 1",
         .err = failed + "No space left on device (os error 28)\n",
         .profile = isolated(),
         .who = Who::nobody,
         .wrapper = {"$probe", "without-user-namespaces"}},
        {"the command did not run", {"read", "$w/ran"}, "ENOENT"},
        {.name = "root needs no user namespace",
         .command = {"write", "$w/ran"},
         .profile = isolated(),
         .who = Who::root,
         .wrapper = {"$probe", "without-user-namespaces"}},
    });
    EXPECT_TRUE(no_forwarder_left());
}

MORVIK_E2E_AS_ROOT_AND_NOBODY(NetworkTest);

} // namespace
} // namespace morvik::e2e
