// What the confined command may and may not do, on this machine's kernel,
// as root and as an unprivileged user (the launcher needs no privileges).
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

class ConfinementTest : public Confined {};

TEST_P(ConfinementTest, FileAccessFollowsTheRules) {
    for (const char* dir : {"git", "agent", "extra", "outside"})
        scratch_.make_dir(dir);
    scratch_.copy_file(kProbe, "outside/probe", 0755);
    for (const char* file : {"extra/file", "outside/file", "home/file"})
        scratch_.write_file(file, "data");
    ASSERT_EQ(::symlink((scratch_ / "tools").c_str(), (scratch_ / "tools-link").c_str()), 0);
    const std::string tmp_file = "/tmp/morvik-e2e-" + std::to_string(::getpid());
    const TcpListener listener;
    const std::string other = std::to_string(listener.port());
    std::vector<Row> rows = {
        {"write in the work tree", {"write", "$w/f"}},
        {"make a directory in the work tree", {"mkdir", "$w/d"}},
        {"write in the git dir", {"write", "$s/git/f"}},
        {"write in an agent config dir", {"write", "$s/agent/f"}},
        {"write in /tmp", {"write", tmp_file}},
        {"write to /dev/null", {"write", "/dev/null"}},
        {"read a tool dir file", {"read", "$s/tools/probe"}},
        {"write in a tool dir", {"write", "$s/tools/f"}, "EACCES"},
        {"read an extra path", {"read", "$s/extra/file"}},
        {"list an extra path", {"list", "$s/extra"}},
        {"write in an extra path", {"write", "$s/extra/f"}, "EACCES"},
        {"read a system file", {"read", "/etc/passwd"}},
        {"write in a system dir", {"write", "/etc/morvik-e2e-probe"}, "EACCES"},
        {"write in /usr", {"write", "/usr/morvik-e2e-probe"}, "EACCES"},
        {"read outside", {"read", "$s/outside/file"}, "EACCES"},
        {"write outside", {"write", "$s/outside/f"}, "EACCES"},
        {"list outside", {"list", "$s/outside"}, "EACCES"},
        {"list /var/tmp", {"list", "/var/tmp"}, "EACCES"},
        {"exec from a tool dir", {"exec", "$s/tools/probe", "nnp"}, "1"},
        {"exec from outside", {"exec", "$s/outside/probe", "nnp"}, "EACCES"},
        {"exec a system binary", {"exec", "/bin/true"}},
        {"home: write a file", {"write", "$h/new"}},
        {"home: read a file", {"read", "$h/file"}},
        {"home: truncate a file", {"truncate", "$h/file"}},
        // As root the home is an agent config dir (see Confined).
        {.name = "home: list the directory",
         .command = {"list", "$h"},
         .expect = "EACCES",
         .who = Who::nobody},
        {.name = "home: make a directory",
         .command = {"mkdir", "$h/d"},
         .expect = "EACCES",
         .who = Who::nobody},
        {"home: remove a file", {"unlink", "$h/file"}},
        {"command outside every grant",
         {"$s/outside/probe", "nnp"},
         "status 1",
         "Failed to exec $s/outside/probe: couldn't exec process: Permission denied\n"},
        {"no new privileges", {"nnp"}, "1"},
        {"no leaked descriptors", {"fds"}, "0\n1\n2"},
        {"TCP to the proxy port", {"connect", "$port"}},
        {.name = "TCP to another port",
         .command = {"connect", other},
         .expect = "EACCES",
         .abi = 4},
        {.name = "bind a kernel-chosen port",
         .command = {"bind", "0"},
         .expect = "EACCES",
         .abi = 4},
        {.name = "bind another port",
         .command = {"bind", std::to_string(proxy_.port() + 1)},
         .expect = "EACCES",
         .abi = 4},
    };
    for (Row& row : rows) {
        row.profile = {.git_dir = "$s/git",
                       .agent_config_dirs = {"$s/agent", "$s/absent"},
                       .tool_dirs = {"$s/tools-link", "$s/dangling"},
                       .user_allowed_paths = {"$s/extra", "relative/absent"}};
    }
    check(rows);
    ::unlink(tmp_file.c_str());
}

MORVIK_E2E_AS_ROOT_AND_NOBODY(ConfinementTest);

} // namespace
} // namespace morvik::e2e
