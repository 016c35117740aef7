// Profile lint against the fake kernel's file tree: one table, each row a
// profile and the warning lines it must give (and nothing else).
#include "explain/lint.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_kernel.hpp"

namespace morvik::explain {
namespace {

struct LintCase {
    const char* name;
    std::vector<std::string> writable;  // worktree_path, git_dir, then agent_config_dirs
    std::vector<std::string> read_only; // tool_dirs
    std::vector<std::string> expected;
    std::vector<std::string> unknown_keys = {};
    friend void PrintTo(const LintCase& c, std::ostream* os) { *os << c.name; }
};

const std::string kLong(300, 'x');

const LintCase kCases[] = {
    {"Clean", {"/w", "/w/.git", "/var/lib/ci", ""}, {"/", "/usr", "/home"}, {}},
    {"UnknownKeysOnceEachWithTheNearest",
     {"/w", "/w"},
     {},
     {"unknown key `log_denial` (did you mean `log_denials`?)", "unknown key `comment`",
      "unknown key `Worktree_path` (did you mean `worktree_path`?)",
      "unknown key `tools` (did you mean `tool_dirs`?)", "unknown key `" + kLong + "`"},
     {"log_denial", "comment", "log_denial", "Worktree_path", "tools", kLong}},
    {"RootHomeAndSystemByIdentity",
     {".", "/w/..", "/w/up", "/home", "/usr/lib/x", "/etc", "/var"},
     {},
     {"worktree_path \".\": writable, and it is the home directory",
      "git_dir \"/w/..\": writable, and it is the root directory",
      "agent_config_dirs \"/w/up\": writable, and it is the root directory", // a link to ../..
      "agent_config_dirs \"/home\": writable, and it holds the home directory \"/home/u\"",
      "agent_config_dirs \"/usr/lib/x\": writable, and it lies in the system directory /usr",
      "agent_config_dirs \"/etc\": writable, and it is the system directory /etc",
      "agent_config_dirs \"/var\": writable, and it is the system directory /var"}},
    {"WorkTreeInTmp",
     {"/tmp/w", "/tmp"},
     {},
     {"worktree_path \"/tmp/w\": the work tree lies in /tmp, which every run may write"}},
    {"AbsentButNotUnreadableOrEmpty",
     {"/w", "/w/.git/none"},
     {"/opt/absent", "/w/f/x", "/locked"},
     {"git_dir \"/w/.git/none\": does not exist", "tool_dirs \"/opt/absent\": does not exist",
      "tool_dirs \"/w/f/x\": does not exist"}},
};

class LintTest : public ::testing::TestWithParam<LintCase> {};

TEST_P(LintTest, WarnsOfWhatTheLauncherAcceptsInSilence) {
    const LintCase& c = GetParam();
    testing::FakeKernel k;
    k.add_system_dirs();
    for (const char* dir : {"/w/.git", "/home/u", "/var/lib/ci", "/usr/lib/x", "/tmp/w"})
        k.add_dir(dir);
    k.add_file("/w/f");
    k.add_link("/w/up", "../..");
    k.files["/locked"].open_error = EACCES;
    k.cwd = "/home/u";
    profile::SandboxProfile p;
    p.worktree_path = c.writable[0];
    p.git_dir = c.writable[1];
    p.agent_config_dirs.assign(c.writable.begin() + 2, c.writable.end());
    p.tool_dirs = c.read_only;
    std::vector<std::string> messages;
    for (const LintWarning& w : lint(p, c.unknown_keys, "/home/u", k))
        messages.push_back(w.message);
    EXPECT_EQ(messages, c.expected);
    EXPECT_EQ(k.open_fds(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Cases, LintTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace morvik::explain
