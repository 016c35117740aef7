// The descriptor walk and the home directory's fitness, through the policy,
// against the fake kernel's tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/fake_kernel.hpp"

namespace morvik::sandbox {
namespace {

using testing::FakeKernel;
using K = testing::FakeCall::Kind;
using Rules = std::vector<std::pair<std::string, std::uint64_t>>;

constexpr std::uint64_t kFull = 0xFFFF, kRead = 0xD, kHome = 0x4126;
const std::string kRefusedTail = "\" lies in a writable place and leads outside every writable "
                                 "place; refusing \"";

// (path the descriptor was opened on, rights) of every path rule.
Rules added_rules(const FakeKernel& k) {
    Rules out;
    std::map<int, std::string> opened;
    for (const auto& c : k.calls) {
        if (c.kind == K::OpenAt) opened[c.opened] = c.text;
        if (c.kind == K::OpenNoLinks) opened[c.opened] = c.reached;
        if (c.kind == K::AddPathRule) out.emplace_back(opened.at(c.parent_fd), c.access);
    }
    return out;
}

bool has_rule(const FakeKernel& k, const std::string& path, std::uint64_t access) {
    const Rules rules = added_rules(k);
    return std::ranges::find(rules, std::pair{path, access}) != rules.end();
}

FakeKernel machine() {
    FakeKernel k;
    k.set_version(6);
    k.add_system_dirs();
    k.add_dir("/p/w");
    k.add_dir("/home/u/.ssh");
    k.env["HOME"] = "/home/u";
    return k;
}

profile::SandboxProfile profile_with(std::string worktree, std::string git,
                                     std::vector<std::string> agents = {},
                                     std::vector<std::string> tools = {}) {
    profile::SandboxProfile p;
    p.worktree_path = std::move(worktree);
    p.git_dir = std::move(git);
    p.agent_config_dirs = std::move(agents);
    p.tool_dirs = std::move(tools);
    return p;
}

struct LinkCase {
    const char* name;
    std::function<void(FakeKernel&)> tree;
    profile::SandboxProfile profile;
    std::string error{};  // empty: the run goes on
    std::string target{}; // a rule expected on this path (when it goes on)
    std::uint64_t access = kFull;
};

TEST(PathWalk, LinksBeneathWritablePlacesLeadOnlyBeneathThem) {
    const LinkCase cases[] = {
        {"git dir is a plain directory", [](FakeKernel& k) { k.add_dir("/p/w/.git"); },
         profile_with("/p/w", "/p/w/.git"), "", "/p/w/.git"},
        {"git dir through a link inside the work tree",
         [](FakeKernel& k) {
             k.add_dir("/p/w/.repo/projects/x.git");
             k.add_link("/p/w/.git", ".repo/projects/x.git");
         },
         profile_with("/p/w", "/p/w/.git"), "", "/p/w/.repo/projects/x.git"},
        {"git dir replaced by a link to the root",
         [](FakeKernel& k) { k.add_link("/p/w/.git", "/"); }, profile_with("/p/w", "/p/w/.git"),
         "symbolic link \"/p/w/.git\" -> \"/" + kRefusedTail + "/p/w/.git\""},
        {"git dir replaced by a link to the root through /proc",
         [](FakeKernel& k) {
             k.add_link("/proc/self", "4242");
             k.add_link("/proc/4242/root", "/");
             k.add_link("/p/w/.git", "/proc/self/root");
         },
         profile_with("/p/w", "/p/w/.git"),
         "symbolic link \"/p/w/.git\" -> \"/proc/self/root" + kRefusedTail + "/p/w/.git\""},
        {"two planted links cannot vouch for each other",
         [](FakeKernel& k) {
             k.add_link("/p/w/.git", "/");
             k.add_link("/p/w/.cfg", "/..");
         },
         profile_with("/p/w", "/p/w/.git", {"/p/w/.cfg"}),
         "symbolic link \"/p/w/.git\" -> \"/" + kRefusedTail + "/p/w/.git\""},
        {"agent config dir replaced by a link to ~/.ssh",
         [](FakeKernel& k) { k.add_link("/p/w/.agent", "/home/u/.ssh"); },
         profile_with("/p/w", "", {"/p/w/.agent"}),
         "symbolic link \"/p/w/.agent\" -> \"/home/u/.ssh" + kRefusedTail + "/p/w/.agent\""},
        {"work tree under /tmp renamed and linked within /tmp",
         [](FakeKernel& k) {
             k.add_dir("/tmp/real-w");
             k.add_link("/tmp/w", "real-w");
         },
         profile_with("/tmp/w", "/tmp/w/.git"), "", "/tmp/real-w"},
        {"work tree under /tmp replaced by a link elsewhere",
         [](FakeKernel& k) { k.add_link("/tmp/w", "/p/w"); }, profile_with("/tmp/w", ""),
         "symbolic link \"/tmp/w\" -> \"/p/w" + kRefusedTail + "/tmp/w\""},
        {"a parent that is a link inside a writable place",
         [](FakeKernel& k) { k.add_link("/p/w/sub", "/home"); },
         profile_with("/p/w", "", {}, {"/p/w/sub/u/.ssh"}),
         "symbolic link \"/p/w/sub\" -> \"/home" + kRefusedTail + "/p/w/sub/u/.ssh\""},
        {"order and nesting do not matter",
         [](FakeKernel& k) {
             k.add_dir("/p/w/.cfg/git");
             k.add_link("/p/w/.git", "/p/w/.cfg/git");
         },
         profile_with("/p/w/.git", "/p/w", {"/p/w/.cfg"}), "", "/p/w/.cfg/git"},
        {"a tool dir through a link in /opt",
         [](FakeKernel& k) {
             k.add_dir("/opt/tool-1.2");
             k.add_link("/opt/tool", "tool-1.2");
         },
         profile_with("/p/w", "", {}, {"/opt/tool"}), "", "/opt/tool-1.2", kRead},
        {"a link at the root to a versioned dir",
         [](FakeKernel& k) {
             k.files.erase("/bin");
             k.add_link("/bin", "usr/bin");
             k.add_dir("/usr/bin");
         },
         profile_with("/p/w", ""), "", "/usr/bin", kRead},
        {"relative path with .. from the working directory", [](FakeKernel& k) { k.cwd = "/p"; },
         profile_with("w/../w/./", ""), "", "/p/w"},
        {"\"..\" after a link to /tmp leaves it",
         [](FakeKernel& k) {
             k.add_dir("/target");
             k.add_link("/p/w/.git", "/tmp");
         },
         profile_with("/p/w", "/p/w/.git/../../target"),
         "symbolic link \"/p/w/.git\" -> \"/tmp" + kRefusedTail + "/p/w/.git/../../target\""},
        {"a link loop is absent",
         [](FakeKernel& k) {
             k.add_link("/p/w/a", "b");
             k.add_link("/p/w/b", "a");
         },
         profile_with("/p/w", "/p/w/a"), "", "/p/w"},
        {"a path with a NUL byte is absent", [](FakeKernel&) {},
         profile_with("/p/w", std::string("/p/w\0/x", 7)), "", "/p/w"},
        {"home under /tmp replaced by a link to /etc",
         [](FakeKernel& k) {
             k.add_link("/tmp/home", "/etc");
             k.env["HOME"] = "/tmp/home";
         },
         profile_with("/p/w", ""),
         "symbolic link \"/tmp/home\" -> \"/etc" + kRefusedTail + "/tmp/home\""},
    };
    // The same verdicts whether link-free paths open in one call or, on a
    // kernel without openat2, component by component.
    for (const bool openat2 : {true, false})
        for (const LinkCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (openat2 ? "" : " (no openat2)"));
            FakeKernel k = machine();
            k.no_openat2 = !openat2;
            c.tree(k);
            const std::string failure = testing::confine(c.profile, k).failure;
            if (c.error.empty()) {
                ASSERT_EQ(failure, "");
                EXPECT_TRUE(has_rule(k, c.target, c.access));
                EXPECT_EQ(k.of(K::RestrictSelf).size(), 1U);
            } else {
                EXPECT_EQ(failure, "Failed to apply Landlock rules: " + c.error);
                EXPECT_TRUE(k.of(K::RestrictSelf).empty());
            }
            EXPECT_EQ(k.open_fds(), 0U);
            EXPECT_TRUE(k.bad_closes.empty());
        }
}

// A /dev narrowed to its pseudo-devices (a launcher running as root) is
// narrow for link targets too.
TEST(PathWalk, NarrowedDevVouchesOnlyForItsDevices) {
    for (const bool narrow : {false, true}) {
        SCOPED_TRACE(narrow);
        const auto root_machine = [narrow] {
            FakeKernel k = machine();
            if (narrow) k.uid = 0;
            k.add_file("/dev/sda");
            k.add_dir("/dev/shm/x");
            k.add_link("/p/w/disk", "/dev/sda");
            k.add_link("/p/w/shm", "/dev/shm/x");
            return k;
        };
        FakeKernel k = root_machine();
        EXPECT_EQ(testing::confine(profile_with("/p/w", "/p/w/shm"), k).failure, "");
        EXPECT_TRUE(has_rule(k, "/dev/shm/x", kFull));
        k = root_machine();
        EXPECT_EQ(testing::confine(profile_with("/p/w", "", {"/p/w/disk"}), k).failure.empty(),
                  !narrow);
        EXPECT_EQ(k.open_fds(), 0U);
    }
}

// Merged-/usr links: the walk up from the links' directory (the root) and
// from their targets opens each directory's ".." once, and never the root's,
// which is its own parent.
TEST(PathWalk, WalksUpFromEachDirectoryOnce) {
    FakeKernel k = machine();
    for (const std::string name : {"bin", "lib", "sbin"}) {
        k.files.erase("/" + name);
        k.add_dir("/usr/" + name);
        k.add_link("/" + name, "usr/" + name);
    }
    ASSERT_EQ(testing::confine(profile_with("/p/w", ""), k).failure, "");
    for (const char* target : {"/usr/bin", "/usr/lib", "/usr/sbin"})
        EXPECT_TRUE(has_rule(k, target, kRead)) << target;
    EXPECT_TRUE(has_rule(k, "/home/u", kHome));
    std::map<int, std::string> opened;
    std::map<std::string, int> walked_up_from;
    for (const auto& c : k.calls) {
        if (c.kind == K::OpenAt && c.fd != kCurrentDirectory &&
            c.text.size() <= opened.at(c.fd).size()) // ".." (no "." is opened here)
            ++walked_up_from[opened.at(c.fd)];
        if (c.kind == K::OpenAt) opened[c.opened] = c.text;
        if (c.kind == K::OpenNoLinks) opened[c.opened] = c.reached;
    }
    const std::map<std::string, int> want = {{"/usr/bin", 1}, {"/usr/lib", 1}, {"/usr/sbin", 1},
                                             {"/usr", 1},     {"/home/u", 1},  {"/home", 1}};
    EXPECT_EQ(walked_up_from, want);
}

struct HomeCase {
    const char* name;
    std::function<void(FakeKernel&)> setup;
    std::string warning{}; // empty: granted, or absent when `granted` is false
    bool granted = false;
    std::string target = "/home/u";
    std::optional<profile::RunAs> run_as{}; // the command's uid, when not the launcher's
};

TEST(HomeRule, GrantedOnlyWhenItOpensNothingElse) {
    const auto home = [](std::string h) { return [h](FakeKernel& k) { k.env["HOME"] = h; }; };
    const std::string w = "Warning: home directory ";
    const HomeCase cases[] = {
        {"a home directory of the user", home("/home/u"), "", true},
        {"through a link elsewhere",
         [](FakeKernel& k) {
             k.add_link("/home/v", "u");
             k.env["HOME"] = "/home/v";
         },
         "", true},
        {"/root, owned by root",
         [](FakeKernel& k) {
             k.uid = 0;
             k.add_dir("/root");
             k.files.at("/root").owner = 0;
             k.env["HOME"] = "/root/";
         },
         "", true, "/root"},
        {"uid 0 running the command as uid 1000", [](FakeKernel& k) { k.uid = 0; }, "", true,
         "/home/u", profile::RunAs{1000, 1000}},
        {"uid 0 running the command as uid 1001: its password entry, its home",
         [](FakeKernel& k) {
             k.uid = 0;
             k.env.erase("HOME");
             k.passwd = FakeKernel::PasswdEntry{1001, "/home/v"};
             k.add_dir("/home/v");
             k.files.at("/home/v").owner = 1001;
         },
         "", true, "/home/v", profile::RunAs{1001, 1001}},
        {"uid 0 running the command as uid 1001: not its home", [](FakeKernel& k) { k.uid = 0; },
         w + "/home/u not granted: owned by uid 1000, not by the real user (uid 1001)\n", false,
         "/home/u", profile::RunAs{1001, 1001}},
        {"missing", home("/nonexistent"), ""},
        {"the root", home("/"), w + "/ not granted: the root directory\n"},
        {"the root by password database",
         [](FakeKernel& k) {
             k.env.erase("HOME");
             k.passwd = FakeKernel::PasswdEntry{1000, "/"};
         },
         w + "/ not granted: the root directory\n"},
        {"a top-level directory", home("/home"), w + "/home not granted: a top-level directory\n"},
        {"a system directory", home("/usr"), w + "/usr not granted: a top-level directory\n"},
        {"beneath a system directory",
         [](FakeKernel& k) {
             k.add_dir("/etc/cron.d");
             k.env["HOME"] = "/etc/cron.d";
         },
         w + "/etc/cron.d not granted: beneath the system directory /etc\n"},
        {"above a system directory",
         [](FakeKernel& k) {
             k.files.erase("/etc");
             k.add_dir("/data/sys/etc");
             k.add_link("/etc", "data/sys/etc");
             k.env["HOME"] = "/data/sys";
         },
         w + "/data/sys not granted: holds the system directory /etc\n"},
        {"relative", home("home/u"), w + "home/u not granted: not an absolute path\n"},
        {"a file",
         [](FakeKernel& k) {
             k.add_file("/home/u/f");
             k.env["HOME"] = "/home/u/f";
         },
         w + "/home/u/f not granted: not a directory\n"},
        {"owned by another user", [](FakeKernel& k) { k.files.at("/home/u").owner = 1001; },
         w + "/home/u not granted: owned by uid 1001, not by the real user (uid 1000)\n"},
        {"another user's, not searchable",
         [](FakeKernel& k) {
             k.files.at("/home/u").owner = 0;
             k.files.at("/home").open_error = EACCES;
         },
         w + "/home/u not granted: owned by uid 0, not by the real user (uid 1000)\n"},
        {"the user's own, not searchable",
         [](FakeKernel& k) { k.files.at("/home").open_error = EACCES; },
         w + "/home/u not granted: cannot be examined: Permission denied\n"},
        {"a name that would forge a line", home("/x\nWarning: y"), ""},
        {"a line feed in a relative name", home("x\ny"),
         w + "x\\ny not granted: not an absolute path\n"},
    };
    for (const HomeCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel k = machine();
        c.setup(k);
        // Capabilities kept: "/dev" stays one rule for root too.
        auto p = profile_with("/p/w", "");
        p.keep_capabilities = true;
        p.run_as = c.run_as;
        const auto r = testing::confine(p, k);
        ASSERT_EQ(r.failure, "");
        std::string warnings;
        for (const auto& w : r.warnings)
            warnings += w + "\n";
        EXPECT_EQ(warnings, c.warning);
        EXPECT_EQ(has_rule(k, c.target, kHome), c.granted);
        EXPECT_EQ(added_rules(k).size(), c.granted ? 13U : 12U);
        EXPECT_EQ(k.open_fds(), 0U);
    }
}

} // namespace
} // namespace morvik::sandbox
