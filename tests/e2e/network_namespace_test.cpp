// "isolate_network": the command gets a network namespace of its own whose
// only way out is the caller's proxy, relayed by a forwarder that ends with
// the command. Each attempt runs with the key and without it, as root and as
// uid 65534. Outside servers are the probe's (web servers that answer with
// their address); 127.0.0.2 stands for another host.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

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
    // True once no forwarder is left (it ends right after the command).
    bool no_forwarder_left() const {
        for (int i = 0; i < 300 && !processes_with(launcher_).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return processes_with(launcher_).empty();
    }
    ProfileSpec isolated(int port) const {
        return {.proxy_port = port, .allow_udp = true, .isolate_network = true};
    }
    const int port_ = TcpListener().port(); // closed again: free
    const std::string proxy_ = std::to_string(port_);
};

TEST_P(NetworkTest, OnlyTheProxyIsReachableFromInside) {
    outside({"serve-tcp", proxy_});
    outside({"serve-tcp", proxy_, "127.0.0.2"});
    struct Attempt {
        std::string name;
        std::vector<std::string> command;
        std::string isolated, plain; // the outcome with the key, and without
    };
    const Attempt attempts[] = {
        {"curl through the proxy",
         {"/usr/bin/curl", "-qs", "-x", "http://127.0.0.1:" + proxy_, "http://example.invalid/"},
         "127.0.0.1",
         "127.0.0.1"},
        {"the proxy port on ::1",
         {"/usr/bin/curl", "-qs", "http://[::1]:" + proxy_},
         "127.0.0.1",
         "status 7"},
        {"the proxy port on another host",
         {"/usr/bin/curl", "-qs", "http://127.0.0.2:" + proxy_},
         "status 7",
         "127.0.0.2"},
    };
    std::vector<Row> rows;
    for (const Attempt& a : attempts) {
        rows.push_back({a.name + " (isolated)", a.command, a.isolated, "", isolated(port_)});
        rows.push_back({a.name, a.command, a.plain, "", {.proxy_port = port_}});
    }
    check(rows);
    EXPECT_TRUE(no_forwarder_left());
}

// Servers the command makes: reachable from outside without the key only.
TEST_P(NetworkTest, NothingOutsideReachesIn) {
    RunOptions as_user;
    if (nobody()) as_user.uid = 65534;
    const auto from_outside = [&](std::vector<std::string> attempt) {
        attempt.insert(attempt.begin(), probe_);
        return outcome(run_process(attempt, as_user));
    };
    const auto stop = [](const std::string& server) { // its pid first
        if (const pid_t pid = std::atoi(server.c_str()); pid > 0) ::kill(pid, SIGKILL);
    };
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const bool isolate : {true, false}) {
        const ProfileSpec profile = isolate ? isolated(port_) : ProfileSpec{.allow_udp = true};
        const std::string reached = isolate ? "ECONNREFUSED" : "ok";
        const std::string name = "morvik-e2e-" + std::to_string(::getpid());
        std::string server = launch({.command = {"serve-abstract", name}, .profile = profile}).out;
        EXPECT_EQ(from_outside({"abstract-connect", name}), reached) << "abstract socket";
        stop(server);
        server = launch({.command = {"serve-tcp", "-"}, .profile = profile}).out; // "PID PORT"
        EXPECT_EQ(from_outside({"connect", server.substr(server.find(' ') + 1)}), reached)
            << "listen() without bind()";
        stop(server);
        // A datagram every 10 ms while the command waits for one.
        std::atomic<bool> waiting = true;
        std::thread sender([&] {
            for (; waiting; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                ::sendto(udp, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        });
        EXPECT_EQ(outcome(launch({.command = {"udp-wait", proxy_}, .profile = profile})),
                  isolate ? "ETIMEDOUT" : "ok")
            << "UDP";
        waiting = false;
        sender.join();
    }
    ::close(udp);
}

TEST_P(NetworkTest, TheForwarderEndsWithTheCommandAndHoldsNothing) {
    const std::string streaming = std::to_string(TcpListener().port());
    outside({"serve-tcp", streaming, "127.0.0.1", "stream"});
    const std::string curl = "/usr/bin/curl -qs -m 5 -o /dev/null -x http://127.0.0.1:";
    check({
        {"the command ends while its child downloads: the download is reset",
         {"sh", "(" + curl + streaming + " http://x/; echo curl $?) & sleep 1"},
         "curl 56",
         "",
         isolated(std::atoi(streaming.c_str()))},
        {"a proxy that refuses: reset at once, not left hanging",
         {"sh", curl + proxy_ + " http://x/; [ $? != 28 ] && echo at once"},
         "at once",
         "",
         isolated(port_)},
    });
    EXPECT_TRUE(no_forwarder_left());

    // Killed from outside (it holds only /dev/null, sockets and the process
    // descriptor): the command runs on, cut off.
    outside({"serve-tcp", proxy_});
    auto command = std::async(std::launch::async, [&] {
        const std::string script =
            "touch $w/on; sleep 1; " + curl + proxy_ + " http://x/; echo on $?";
        return launch({.command = {"sh", script}, .profile = isolated(port_)});
    });
    // Once the command has started, the forwarder is the one process left
    // with the launcher's command line.
    while (::access(expand("$w/on").c_str(), F_OK) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<pid_t> forwarder = processes_with(launcher_);
    ASSERT_EQ(forwarder.size(), 1U);
    const std::string fds = "/proc/" + std::to_string(forwarder[0]) + "/fd";
    DIR* dir = ::opendir(fds.c_str());
    while (const dirent* e = dir != nullptr ? ::readdir(dir) : nullptr) {
        char target[256] = {};
        if (::readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1) < 0) continue;
        const std::string t = target;
        EXPECT_TRUE(std::atoi(e->d_name) < 3 ? t == "/dev/null"
                                             : t.starts_with("socket:") || t.ends_with("[pidfd]"))
            << e->d_name << " -> " << t;
    }
    if (dir != nullptr) ::closedir(dir);
    ::kill(forwarder[0], SIGKILL);
    EXPECT_EQ(outcome(command.get()), "on 7");
}

// A machine that refuses a step: one line, status 1, the command not run.
TEST_P(NetworkTest, RefusedStepsStopTheRun) {
    const std::string failed = "Failed to isolate the network: unshare: ";
    check({
        {.name = "unshare refused",
         .command = {"write", "$w/ran"},
         .expect = "status 1",
         .err = failed + "Operation not permitted (os error 1)\n",
         .profile = isolated(port_),
         .wrapper = {"$probe", "without", "unshare"}},
        {.name = "user namespaces turned off",
         .command = {"write", "$w/ran"},
         .expect = "status 1",
         .err = failed + "No space left on device (os error 28)\n",
         .profile = isolated(port_),
         .who = Who::nobody,
         .wrapper = {"$probe", "without", "user-namespaces"}},
        {"the command did not run", {"read", "$w/ran"}, "ENOENT"},
        {.name = "root needs no user namespace",
         .command = {"write", "$w/ran"},
         .profile = isolated(port_),
         .who = Who::root,
         .wrapper = {"$probe", "without", "user-namespaces"}},
    });
    EXPECT_TRUE(no_forwarder_left());
}

MORVIK_E2E_AS_ROOT_AND_NOBODY(NetworkTest);

} // namespace
} // namespace morvik::e2e
