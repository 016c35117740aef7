// Unix sockets that a program outside the sandbox listens on. From Landlock
// version 9 the command reaches only those beneath the work tree (and the git
// and agent config dirs), not those in /tmp or anywhere else; the sockets it
// creates itself stay reachable. Below version 9 the kernel cannot tell, and
// nothing changes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

// A stream socket listening at `path`, made by the test (outside the sandbox).
class UnixListener {
  public:
    explicit UnixListener(std::string path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        ::unlink(path_.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path_;
        EXPECT_EQ(::listen(fd_, 4), 0);
    }
    ~UnixListener() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;

  private:
    std::string path_;
    int fd_ = -1;
};

unsigned abi_version() {
    std::ifstream in("/sys/kernel/security/landlock/abi_version");
    unsigned v = 0;
    in >> v;
    return v;
}

TEST(UnixSocketTest, OutsideListenersOnlyBeneathTheWorkTreeFromVersion9) {
    ScratchDir scratch;
    const std::string work = scratch.make_dir("work");
    const std::string tools = scratch.make_dir("tools");
    const std::string elsewhere = scratch.make_dir("elsewhere");
    const std::string probe = scratch.copy_file(kProbe, "tools/probe", 0755);
    const std::string profile = scratch.write_file(
        "p.json", profile_json({.worktree_path = work, .git_dir = work, .tool_dirs = {tools}}));
    const std::string tag = std::to_string(::getpid());
    const std::string in_tmp = "/tmp/morvik-e2e-" + tag + ".sock";
    const UnixListener work_server(work + "/s.sock");
    const UnixListener tmp_server(in_tmp);
    const UnixListener elsewhere_server(elsewhere + "/s.sock");

    const int outside = abi_version() >= 9 ? 13 : 0; // refused from version 9
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int expected;
    };
    const Case cases[] = {
        {"outside listener in the work tree", {"unix-connect", work + "/s.sock"}, 0},
        {"outside listener in /tmp", {"unix-connect", in_tmp}, outside},
        {"outside listener elsewhere", {"unix-connect", elsewhere + "/s.sock"}, outside},
        {"own listener in /tmp", {"unix-own", "/tmp/morvik-e2e-own-" + tag + ".sock"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {probe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult r = run_sandboxed(profile, argv);
        EXPECT_EQ(r.status, c.expected) << c.what << ": " << r.out << r.err;
    }
}

} // namespace
} // namespace morvik::e2e
