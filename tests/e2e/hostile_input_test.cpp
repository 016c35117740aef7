// What a confined command, its environment or odd input can do to the next
// run or to the user: each attack through the built launcher, next to the
// same profile's legitimate use still working.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

constexpr uid_t kNobody = 65534;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
const std::string kRefused =
    "\" lies in a writable place and leads outside every writable place; refusing \"";

struct Identity {
    const char* name;
    bool unprivileged;
};

class HostileInputTest : public ::testing::TestWithParam<Identity> {
  protected:
    void SetUp() override {
        if (GetParam().unprivileged && ::geteuid() != 0) GTEST_SKIP() << "needs root";
        work_ = scratch_.make_dir("w");
        scratch_.make_dir("w/.git");
        home_ = scratch_.make_dir("home");
        secret_ = scratch_.write_file("secret", "top secret\n");
        launcher_ = scratch_.copy_file(kLauncher, "launcher", 0755);
        profile_ =
            write_profile("profile.json", {.worktree_path = work_, .git_dir = work_ + "/.git"});
        tmp_ = "/tmp/morvik-e2e-" + std::to_string(::getpid());
        std::filesystem::remove_all(tmp_);
    }
    void TearDown() override { std::filesystem::remove_all(tmp_); }

    std::string write_profile(const std::string& name, const ProfileSpec& spec) {
        return scratch_.write_file(name, profile_json(spec));
    }
    // Hands the scratch tree (and `tmp_`, when it exists) to the user who runs.
    void hand_over() {
        if (!GetParam().unprivileged) return;
        scratch_.chown_all(kNobody);
        if (std::filesystem::exists(tmp_)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(tmp_))
                EXPECT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0);
            EXPECT_EQ(::lchown(tmp_.c_str(), kNobody, kNobody), 0);
        }
    }
    RunResult sh(const std::string& script, const std::string& home = {},
                 const std::string& profile = {}) {
        RunOptions o{.env = std::vector<std::string>{"HOME=" + (home.empty() ? home_ : home),
                                                     "PATH=/usr/bin:/bin"},
                     .cwd = work_,
                     .launcher = launcher_};
        if (GetParam().unprivileged) o.uid = kNobody;
        return run_sandboxed(profile.empty() ? profile_ : profile, {"/bin/sh", "-c", script}, o);
    }

    ScratchDir scratch_;
    std::string work_, home_, secret_, launcher_, profile_, tmp_;
};

// A link planted by one confined run does not open the file system to the
// next one; links the user made inside the same places still work.
TEST_P(HostileInputTest, PlantedLinkCannotWidenTheNextRun) {
    hand_over();
    auto r = sh("echo ok > .git/f && cat .git/f");
    EXPECT_EQ(r.out, "ok\n") << r.err;

    r = sh("rm -rf .git && mkdir -p .repo/x.git && ln -s .repo/x.git .git");
    ASSERT_EQ(r.status, 0) << r.err;
    r = sh("echo ok > .git/f && cat .repo/x.git/f");
    EXPECT_EQ(r.out, "ok\n") << r.err;
    EXPECT_EQ(r.err, "");

    r = sh("rm -rf .git && ln -s / .git");
    ASSERT_EQ(r.status, 0) << r.err;
    r = sh("cat " + secret_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to apply Landlock rules: symbolic link \"" + work_ + "/.git\" -> \"/" +
                         kRefused + work_ + "/.git\"\n");

    // The root reached through the links in /proc: the line names the planted one.
    const std::string git = work_ + "/.git";
    ASSERT_EQ(::unlink(git.c_str()), 0);
    ASSERT_EQ(::symlink("/proc/self/root", git.c_str()), 0);
    r = sh("cat " + secret_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to apply Landlock rules: symbolic link \"" + git +
                         "\" -> \"/proc/self/root" + kRefused + git + "\"\n");
}

// A work tree or home directory under /tmp: renamed within /tmp and linked
// is followed; replaced by a link elsewhere is refused.
TEST_P(HostileInputTest, LinksUnderTmpLeadOnlyWithinTmp) {
    ASSERT_EQ(::mkdir(tmp_.c_str(), 0755), 0);
    const std::string w = tmp_ + "/w", home = tmp_ + "/home";
    ASSERT_EQ(::mkdir(w.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
    const std::string profile = write_profile("tmp.json", {.worktree_path = w, .git_dir = ""});
    hand_over();

    auto r = sh("mv " + w + " " + w + "-real && ln -s " + w + "-real " + w, home, profile);
    ASSERT_EQ(r.status, 0) << r.err;
    r = sh("echo ok > " + w + "/f && cat " + w + "-real/f", home, profile);
    EXPECT_EQ(r.out, "ok\n") << r.err;

    r = sh("rm " + w + " && ln -s " + work_ + " " + w, home, profile);
    ASSERT_EQ(r.status, 0) << r.err;
    r = sh("echo ok > " + w + "/f", home, profile);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to apply Landlock rules: symbolic link \"" + w + "\" -> \"" + work_ +
                         kRefused + w + "\"\n");

    r = sh("rm -rf " + home + " && ln -s /etc " + home, home, profile_);
    ASSERT_EQ(r.status, 0) << r.err;
    r = sh("true", home, profile_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to apply Landlock rules: symbolic link \"" + home + "\" -> \"/etc" +
                         kRefused + home + "\"\n");
}

// A tool dir reached through a link in /opt is followed as before.
TEST_P(HostileInputTest, ToolDirThroughALinkElsewhereIsFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to write /opt";
    const std::string opt = "/opt/morvik-e2e-" + std::to_string(::getpid());
    std::filesystem::remove_all(opt + "-1.2");
    std::filesystem::remove(opt);
    ASSERT_EQ(::mkdir((opt + "-1.2").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((opt + "-1.2").c_str(), opt.c_str()), 0);
    std::filesystem::copy_file("/bin/true", opt + "-1.2/tool");
    const std::string profile =
        write_profile("opt.json", {.worktree_path = work_, .git_dir = "", .tool_dirs = {opt}});
    hand_over();
    const auto r = sh(opt + "/tool && echo ran", "", profile);
    EXPECT_EQ(r.out, "ran\n") << r.err;
    std::filesystem::remove(opt);
    std::filesystem::remove_all(opt + "-1.2");
}

// HOME that would open the system is not granted, with one warning line.
TEST_P(HostileInputTest, HomeThatWouldOpenTheSystemIsNotGranted) {
    hand_over();
    const std::string warn = "Warning: home directory ";
    struct Case {
        std::string home, probe, warning;
    };
    const std::vector<Case> cases = {
        {home_, home_ + "/f", ""},
        {"/", secret_, warn + "/ not granted: the root directory\n"},
        {"/usr", "/usr/morvik-e2e", warn + "/usr not granted: a top-level directory\n"},
        {"/home", "/home/morvik-e2e", warn + "/home not granted: a top-level directory\n"},
        {"/etc/cron.d", "/etc/cron.d/morvik-e2e",
         warn + "/etc/cron.d not granted: beneath the system directory /etc\n"},
        {"relative", secret_, warn + "relative not granted: not an absolute path\n"},
        {"/etc/passwd", "/etc/passwd", warn + "/etc/passwd not granted: not a directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.home);
        // "true >>" opens for appending and writes nothing, so a regression
        // cannot damage the file.
        const auto r =
            sh("{ true >> " + c.probe + "; } 2>/dev/null && echo wrote || echo refused", c.home);
        EXPECT_EQ(r.out, c.warning.empty() ? "wrote\n" : "refused\n");
        EXPECT_EQ(r.err, c.warning);
        EXPECT_EQ(r.status, 0);
    }
    ::unlink((home_ + "/f").c_str());
}

// Programs that replace a file atomically or take a lock file work in the
// home directory and leave nothing behind; directories stay out of reach.
TEST_P(HostileInputTest, AtomicReplacementWorksInTheHome) {
    scratch_.write_file("home/.bashrc", "x=1\n");
    hand_over();
    const auto r = sh("git config --global a.b c && sed -i s/x/y/ ~/.bashrc && "
                      "git config --global a.b && cat ~/.bashrc && "
                      "{ mkdir ~/d || rm ~/.bashrc; } 2>/dev/null");
    EXPECT_EQ(r.out, "c\ny=1\n") << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home_))
        names.push_back(e.path().filename());
    std::ranges::sort(names);
    EXPECT_EQ(names, (std::vector<std::string>{".gitconfig"})); // no lock or temporary file
}

INSTANTIATE_TEST_SUITE_P(Users, HostileInputTest,
                         ::testing::Values(Identity{"root", false}, Identity{"nobody", true}),
                         [](const auto& info) { return std::string(info.param.name); });

class InputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        work_ = scratch_.make_dir("w");
        profile_ = scratch_.write_file("p.json", profile_json({.worktree_path = work_}));
    }
    ScratchDir scratch_;
    std::string work_, profile_;
};

// A profile that never ends, or does not fit, is refused with one line.
TEST_F(InputTest, ProfileReadIsBounded) {
    const std::string sparse = scratch_ / "sparse.json";
    ASSERT_EQ(::truncate(scratch_.write_file("sparse.json", "").c_str(), 100LL << 30), 0);
    struct Case {
        std::string path;
        std::optional<unsigned long> memory;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"/dev/zero", {}, "larger than 64 MiB"},
        {"/dev/urandom", {}, "larger than 64 MiB"},
        {sparse, {}, "larger than 64 MiB"},
        {"/dev/zero", 48UL << 20, "Cannot allocate memory (os error 12)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.memory && kSanitized) continue; // the sanitizers reserve more address space
        const auto start = std::chrono::steady_clock::now();
        const auto r = run_sandboxed(c.path, {"true"}, {.memory_limit = c.memory});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(r.err, "Failed to read profile " + c.path + ": " + c.reason + "\n");
        EXPECT_EQ(r.status, 1);
    }
    // The same memory limit leaves room for a real profile.
    if (kSanitized) return;
    const auto r = run_sandboxed(profile_, {"true"}, {.memory_limit = 48UL << 20});
    EXPECT_EQ(r.status, 0) << r.err;
}

// A profile handed over through a pipe, out of the command's reach.
TEST_F(InputTest, ProfileThroughAPipe) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const std::string text = profile_json({.worktree_path = work_});
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fds[1]);
    const auto r =
        run_sandboxed("/dev/fd/" + std::to_string(fds[0]), {"true"}, {.keep_fd = fds[0]});
    ::close(fds[0]);
    EXPECT_EQ(r.status, 0) << r.err;
}

// The command ends on a closed pipe like any program, unless its caller
// ignores SIGPIPE on purpose.
TEST_F(InputTest, CommandGetsTheCallersSigpipe) {
    const std::string run = "timeout 10 " + kLauncher + " --profile " + profile_ + " -- ";
    struct Case {
        std::string command, out;
    };
    const std::vector<Case> cases = {
        {"yes", "y\nstatus 141\n"},
        {"sh -c 'while :; do echo; done'", "\nstatus 141\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const auto r = run_process(
            {"/bin/bash", "-c", run + c.command + " | head -1; echo status ${PIPESTATUS[0]}"});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
    const auto r =
        run_process({"/bin/bash", "-c", run + "yes | head -1"}, {.ignore_sigpipe = true});
    EXPECT_EQ(r.out, "y\n");
    EXPECT_EQ(r.err, "yes: standard output: Broken pipe\n"); // the caller asked for EPIPE
}

// A name in a failure line cannot break it in two or forge another line.
TEST_F(InputTest, NamesStayOnTheirLine) {
    const std::string forged = "x\nWarning: Landlock sandbox not enforced by kernel";
    auto r = run_sandboxed(forged, {"true"});
    EXPECT_EQ(r.err, "Failed to read profile x\\nWarning: Landlock sandbox not enforced by kernel: "
                     "No such file or directory (os error 2)\n");
    r = run_sandboxed(profile_, {"no\\such\tprogram\x1b\xff"});
    EXPECT_EQ(r.err, "Failed to exec no\\\\such\\tprogram\\x1b\\xff: couldn't exec process: No "
                     "such file or directory\n");
    r = run_sandboxed(scratch_ / "caf\xc3\xa9.json", {"true"});
    EXPECT_EQ(r.err, "Failed to read profile " + (scratch_ / "caf\xc3\xa9.json") +
                         ": No such file or directory (os error 2)\n");
    EXPECT_EQ(r.status, 1);
}

} // namespace
} // namespace morvik::e2e
