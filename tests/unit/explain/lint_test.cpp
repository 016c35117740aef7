// Profile lint against the fake kernel's file tree: one table, each row a
// profile change and the warning lines it must give (and nothing else).
#include "explain/lint.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/fake_kernel.hpp"

namespace morvik::explain {
namespace {

using testing::FakeKernel;

struct LintCase {
    const char* name;
    std::function<void(profile::SandboxProfile&, FakeKernel&)> change;
    std::vector<std::string> unknown_keys;
    std::vector<std::string> expected;
    std::optional<std::string> home = "/home/u";
    friend void PrintTo(const LintCase& c, std::ostream* os) { *os << c.name; }
};

void set_worktree(profile::SandboxProfile& p, const char* path) {
    p.worktree_path = path;
}

const LintCase kCases[] = {
    {"Clean", [](auto&, auto&) {}, {}, {}},
    {"UnknownKeysOnceEachWithTheNearest",
     [](auto&, auto&) {},
     {"log_denial", "comment", "log_denial", "Worktree_path", "tools", std::string(300, 'x')},
     {"unknown key `log_denial` (did you mean `log_denials`?)", "unknown key `comment`",
      "unknown key `Worktree_path` (did you mean `worktree_path`?)",
      "unknown key `tools` (did you mean `tool_dirs`?)",
      "unknown key `" + std::string(300, 'x') + "`"}},
    {"Root",
     [](auto& p, auto&) { set_worktree(p, "/"); },
     {},
     {"worktree_path \"/\": writable, and it is the root directory"}},
    {"RootThroughDotDotAndALink",
     [](auto& p, auto& k) {
         p.git_dir = "/w/..";
         k.add_link("/w/up", "../..");
         p.agent_config_dirs = {"/w/up"};
     },
     {},
     {"git_dir \"/w/..\": writable, and it is the root directory",
      "agent_config_dirs \"/w/up\": writable, and it is the root directory"}},
    {"HomeAndItsParent",
     [](auto& p, auto&) {
         p.git_dir = "/home/u";
         p.agent_config_dirs = {"/home"};
     },
     {},
     {"git_dir \"/home/u\": writable, and it is the home directory",
      "agent_config_dirs \"/home\": writable, and it holds the home directory \"/home/u\""}},
    {"RelativeHome",
     [](auto& p, auto& k) {
         k.cwd = "/home/u";
         set_worktree(p, ".");
     },
     {},
     {"worktree_path \".\": writable, and it is the home directory"}},
    {"SystemTreesAndDirectories",
     [](auto& p, auto& k) {
         k.add_dir("/usr/lib/x");
         k.add_dir("/var/lib/ci");
         set_worktree(p, "/usr/lib/x");
         p.git_dir = "/etc";
         p.agent_config_dirs = {"/var", "/var/lib/ci"};
     },
     {},
     {"worktree_path \"/usr/lib/x\": writable, and it lies in the system directory /usr",
      "git_dir \"/etc\": writable, and it is the system directory /etc",
      "agent_config_dirs \"/var\": writable, and it is the system directory /var"}},
    {"WithoutAHomeItsParentIsASystemDirectory",
     [](auto& p, auto&) { p.agent_config_dirs = {"/home"}; },
     {},
     {"agent_config_dirs \"/home\": writable, and it is the system directory /home"},
     std::nullopt},
    {"WorkTreeInTmp",
     [](auto& p, auto& k) {
         k.add_dir("/tmp/w");
         set_worktree(p, "/tmp/w");
         p.git_dir = "/tmp";
     },
     {},
     {"worktree_path \"/tmp/w\": the work tree lies in /tmp, which every run may write"}},
    {"AbsentPathsButNotUnreadableOrEmptyOnes",
     [](auto& p, auto& k) {
         k.add_file("/w/file");
         k.files["/locked"].open_error = EACCES;
         p.git_dir = "/w/.git/none";
         p.tool_dirs = {"/opt/absent", "/usr"};
         p.user_allowed_paths = {"/w/file/x", "", "/locked"};
     },
     {},
     {"git_dir \"/w/.git/none\": does not exist", "tool_dirs \"/opt/absent\": does not exist",
      "user_allowed_paths \"/w/file/x\": does not exist"}},
    {"ReadOnlyPathsMayBeAnywhere",
     [](auto& p, auto&) {
         p.tool_dirs = {"/", "/usr"};
         p.user_allowed_paths = {"/home"};
     },
     {},
     {}},
};

class LintTest : public ::testing::TestWithParam<LintCase> {};

TEST_P(LintTest, WarnsOfWhatTheLauncherAcceptsInSilence) {
    const LintCase& c = GetParam();
    FakeKernel k;
    k.add_system_dirs();
    k.add_dir("/w/.git");
    k.add_dir("/home/u");
    k.add_dir("/var");
    profile::SandboxProfile p;
    p.worktree_path = "/w";
    p.git_dir = "/w/.git";
    c.change(p, k);
    std::vector<std::string> messages;
    for (const LintWarning& w : lint(p, c.unknown_keys, c.home, k))
        messages.push_back(w.message);
    EXPECT_EQ(messages, c.expected);
    EXPECT_EQ(k.open_fds(), 0U);
}

INSTANTIATE_TEST_SUITE_P(Cases, LintTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace morvik::explain
