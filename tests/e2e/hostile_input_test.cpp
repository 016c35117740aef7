// What a confined command, its environment or odd input can do to the next
// run or to the user: each attack through the built launcher, next to the
// same profile's legitimate use still working.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The launcher's line for a link in a writable place that leads outside.
std::string link_refused(const std::string& link, const std::string& target) {
    return "Failed to apply Landlock rules: symbolic link \"" + link + "\" -> \"" + target +
           "\" lies in a writable place and leads outside every writable place; refusing \"" +
           link + "\"\n";
}

class HostileInputTest : public Confined {};

// A link planted by one confined run does not open the file system to the
// next one; links the user made inside the same places still work.
TEST_P(HostileInputTest, PlantedLinkCannotWidenTheNextRun) {
    scratch_.write_file("secret", "top secret\n");
    check({
        {"write through the git dir", {"sh", "echo ok > .git/f && cat .git/f"}},
        {"replace the git dir by a link inside",
         {"sh", "rm -rf .git && mkdir -p .repo/x.git && ln -s .repo/x.git .git"}},
        {"the link inside is followed", {"sh", "echo ok > .git/f && cat .repo/x.git/f"}},
        {"replace it by a link to /", {"sh", "rm .git && ln -s / .git"}},
        {"the next run stops", {"read", "$s/secret"}, "status 1", link_refused("$w/.git", "/")},
    });
    // No run starts now: the test plants the next link itself.
    const std::string git = work_ + "/.git";
    ASSERT_EQ(::unlink(git.c_str()), 0);
    ASSERT_EQ(::symlink("/proc/self/root", git.c_str()), 0);
    check({{"the line names the planted link",
            {"read", "$s/secret"},
            "status 1",
            link_refused("$w/.git", "/proc/self/root")}});
}

// A ".." after a link the command planted in a writable place may not leave
// what the link leads to: the object the whole path leads to must lie
// beneath a writable place too.
TEST_P(HostileInputTest, DotDotAfterAPlantedLinkStaysInside) {
    const std::string cfg = "$w/.git/../real/cfg", escape = "$w/.git/../..$s";
    check({
        {"link the git dir inside the work tree",
         {"sh", "mkdir -p real/cfg && rm -rf .git && ln -s real .git"}},
        {"a \"..\" after it that stays inside",
         {"write", "$w/real/cfg/f"},
         "ok",
         "",
         {.agent_config_dirs = {cfg}}},
        {"replace it by a link to /tmp", {"sh", "rm .git && ln -s /tmp .git"}},
        {"a \"..\" after it that leaves /tmp: the next run stops",
         {"write", "$s/f"},
         "status 1",
         "Failed to apply Landlock rules: symbolic link \"$w/.git\" -> \"/tmp\" lies in a "
         "writable place and leads outside every writable place; refusing \"" +
             escape + "\"\n",
         {.agent_config_dirs = {escape}}},
    });
}

// The version used is the lower of the ABI file's number and the kernel's
// answer: a smaller file (here mounted in a mount namespace of the run's
// own) lowers it, and a profile's minimum then stops the run.
TEST_P(HostileInputTest, SmallerVersionFileMeetsTheMinimum) {
    if (abi_ < 4) GTEST_SKIP() << "needs a kernel at Landlock version 4";
    const auto file = [](const std::string& version) {
        return std::vector<std::string>{
            "/usr/bin/unshare",
            "-m",
            "--propagation",
            "private",
            "/bin/sh",
            "-c",
            "mount -t tmpfs none /sys/kernel/security && mkdir /sys/kernel/security/landlock && "
            "echo " +
                version + " > /sys/kernel/security/landlock/abi_version && exec \"$@\"",
            "sh"};
    };
    const Row base{
        .command = {"write", "$w/f"}, .profile = {.minimum_landlock_abi = 4}, .who = Who::root};
    Row granted = base, refused = base;
    granted.name = "a file at the minimum";
    granted.wrapper = file("4");
    refused.name = "a file below the minimum";
    refused.wrapper = file("1");
    refused.expect = "status 1";
    refused.err = "Failed to apply Landlock rules: /sys/kernel/security/landlock/abi_version says "
                  "1 (the kernel reports " +
                  std::to_string(abi_) + "), below the required minimum_landlock_abi 4\n";
    check({granted, refused});
}

// A profile path that is there but cannot be looked up is skipped with one
// warning line, and the run goes on; one that is not there, silently.
TEST_P(HostileInputTest, ProfilePathsOutOfReachAreSaid) {
    ASSERT_EQ(::symlink("loop", (scratch_ / "loop").c_str()), 0);
    scratch_.make_dir("locked");
    scratch_.make_dir("locked/t");
    ASSERT_EQ(::chmod((scratch_ / "locked").c_str(), 0), 0);
    const std::string tools = "$s/tools", warn = "Warning: profile path ";
    const std::string long_name = "$s/" + std::string(300, 'x');
    const auto row = [&](const std::string& path, const std::string& warning, Who who) {
        return Row{.name = "tool dir " + path.substr(0, 40),
                   .command = {"read", "$s/tools/probe"},
                   .err = warning,
                   .profile = {.tool_dirs = {tools, path}},
                   .who = who};
    };
    check({
        row("$s/loop", warn + "$s/loop skipped: Too many levels of symbolic links (os error 40)\n",
            Who::both),
        row(long_name, warn + long_name + " skipped: File name too long (os error 36)\n",
            Who::both),
        row("$s/locked/t", warn + "$s/locked/t skipped: Permission denied (os error 13)\n",
            Who::nobody),
        row("$s/locked/t", "", Who::root),
        row("$s/absent", "", Who::both),
        row("$s/tools/probe/x", "", Who::both),
    });
    ::chmod((scratch_ / "locked").c_str(), 0755);
}

// A work tree or home directory under /tmp: renamed within /tmp and linked
// is followed; replaced by a link elsewhere is refused.
TEST_P(HostileInputTest, LinksUnderTmpLeadOnlyWithinTmp) {
    const ScratchDir tmp("/tmp");
    const std::string w = tmp.make_dir("w"), home = tmp.make_dir("home");
    hand_over(tmp.path());
    std::vector<Row> rows = {
        {"rename the work tree and link it",
         {"sh", "mv " + w + " " + w + "-real && ln -s " + w + "-real " + w}},
        {"the link within /tmp is followed",
         {"sh", "echo ok > " + w + "/f && cat " + w + "-real/f"}},
        {"replace it by a link elsewhere", {"sh", "rm " + w + " && ln -s $w " + w}},
        {"the next run stops", {"write", w + "/f"}, "status 1", link_refused(w, "$w")},
    };
    for (Row& row : rows)
        row.profile = {.worktree_path = w};
    rows.push_back({"replace the home by a link to /etc",
                    {"sh", "rm -rf " + home + " && ln -s /etc " + home}});
    rows.push_back(
        {"the next run stops", {"exec", "/bin/true"}, "status 1", link_refused(home, "/etc")});
    for (Row& row : rows)
        row.home = home;
    check(rows);
}

// A tool dir reached through a link in /opt is followed as before.
TEST_P(HostileInputTest, ToolDirThroughALinkElsewhereIsFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to write /opt";
    const ScratchDir opt("/opt");
    opt.copy_file("/bin/true", "tool", 0755);
    ASSERT_EQ(::symlink(opt.path().c_str(), (opt / "link").c_str()), 0);
    check({{"run a tool through the link",
            {"sh", opt.path() + "/link/tool && echo ran"},
            "ran",
            "",
            {.tool_dirs = {"$s/tools", opt / "link"}}}});
}

// HOME that would open the system is not granted, with one warning line.
TEST_P(HostileInputTest, HomeThatWouldOpenTheSystemIsNotGranted) {
    scratch_.write_file("secret", "top secret\n");
    const std::string warn = "Warning: home directory ";
    // "true >>" opens for appending and writes nothing, so a regression
    // cannot damage the file.
    const auto row = [](std::string home, const std::string& target, const std::string& warning) {
        return Row{.name = "HOME=" + home,
                   .command = {"sh", "{ true >> " + target +
                                         "; } 2>/dev/null && echo wrote || echo refused"},
                   .expect = warning.empty() ? "wrote" : "refused",
                   .err = warning,
                   .home = home};
    };
    check({
        row("$h", "$h/f", ""),
        row("/", "$s/secret", warn + "/ not granted: the root directory\n"),
        row("/usr", "/usr/morvik-e2e", warn + "/usr not granted: a top-level directory\n"),
        row("/home", "/home/morvik-e2e", warn + "/home not granted: a top-level directory\n"),
        row("/etc/cron.d", "/etc/cron.d/morvik-e2e",
            warn + "/etc/cron.d not granted: beneath the system directory /etc\n"),
        row("relative", "$s/secret", warn + "relative not granted: not an absolute path\n"),
        row("/etc/passwd", "/etc/passwd", warn + "/etc/passwd not granted: not a directory\n"),
    });
}

// Programs that replace a file atomically or take a lock file work in the
// home directory and leave nothing behind; directories stay out of reach.
TEST_P(HostileInputTest, AtomicReplacementWorksInTheHome) {
    scratch_.write_file("home/.bashrc", "x=1\n");
    check({{"git config and sed -i in the home",
            {"sh", "git config --global a.b c && sed -i s/x/y/ ~/.bashrc && "
                   "git config --global a.b && cat ~/.bashrc && "
                   "{ mkdir ~/d || rm ~/.bashrc; } 2>/dev/null"},
            "c\ny=1"}});
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home_))
        names.push_back(e.path().filename());
    std::ranges::sort(names);
    // No lock or temporary file. As root the home is an agent config dir,
    // where a directory may be made.
    const std::vector<std::string> want =
        nobody() ? std::vector<std::string>{".gitconfig"}
                 : std::vector<std::string>{".bashrc", ".gitconfig", "d"};
    EXPECT_EQ(names, want);
}

// A command that runs as uid 0 owns most of the system: its home is granted
// only at "/root" or beneath a place it may write anyway. Others get theirs
// when they own it.
TEST_P(HostileInputTest, HomeOfUidZeroOnlyAtRootOrBeneathAWritablePlace) {
    const std::string warn = "Warning: home directory ";
    const std::string root_reason =
        " not granted: neither /root nor beneath a writable place (the command runs as uid 0)\n";
    const Host tun{"no /dev/net/tun", {"readwrite", "/dev/net/tun"}, {"ENOENT"}};
    const auto row = [](std::string home, const std::string& target, const std::string& warning,
                        Who who, std::optional<Host> host = {}) {
        return Row{.name = "HOME=" + home,
                   .command = {"sh", "{ true >> " + target +
                                         "; } 2>/dev/null && echo wrote || echo refused"},
                   .expect = warning.empty() ? "wrote" : "refused",
                   .err = warning,
                   .home = home,
                   .who = who,
                   .host = host};
    };
    check({
        row("$h", "$h/f", "", Who::both),
        row("/var/lib", "/var/lib/morvik-e2e", warn + "/var/lib" + root_reason, Who::root),
        row("/var/spool", "/var/spool/morvik-e2e", warn + "/var/spool" + root_reason, Who::root),
        row("/dev/net", "/dev/net/tun", warn + "/dev/net" + root_reason, Who::root, tun),
        row("/var/lib", "/var/lib/morvik-e2e",
            warn + "/var/lib not granted: owned by uid 0, not by the real user (uid 65534)\n",
            Who::nobody),
        {.name = "HOME=/root", .command = {"exec", "/bin/true"}, .home = "/root", .who = Who::root},
    });
    for (const char* path : {"/var/lib/morvik-e2e", "/var/spool/morvik-e2e"})
        EXPECT_NE(::unlink(path), 0) << path << " was written";
}

MORVIK_E2E_AS_ROOT_AND_NOBODY(HostileInputTest);

// Profiles that never end, do not fit, come through a pipe; the caller's
// SIGPIPE; names in failure lines.
TEST(InputTest, ProfileReadIsBounded) {
    const ScratchDir scratch;
    const std::string sparse = scratch / "sparse.json";
    ASSERT_EQ(::truncate(scratch.write_file("sparse.json", "").c_str(), 100LL << 30), 0);
    const std::string profile =
        scratch.write_file("p.json", profile_json({.worktree_path = scratch.make_dir("w")}));
    struct Case {
        std::string path;
        std::optional<unsigned long> memory;
        std::string err;
    };
    const std::string fails = "Failed to read profile ";
    const std::vector<Case> cases = {
        {"/dev/zero", {}, fails + "/dev/zero: larger than 64 MiB\n"},
        {"/dev/urandom", {}, fails + "/dev/urandom: larger than 64 MiB\n"},
        {sparse, {}, fails + sparse + ": larger than 64 MiB\n"},
        {"/dev/zero", 48UL << 20, fails + "/dev/zero: Cannot allocate memory (os error 12)\n"},
        {profile, 48UL << 20, ""}, // the same limit leaves room for a real profile
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.memory && kSanitized) continue; // the sanitizers reserve more address space
        // Bounded: a read that never ended would hang here until the test
        // runner's own timeout ends it.
        const auto r = run_sandboxed(c.path, {"true"}, {.memory_limit = c.memory});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
    }
}

TEST(InputTest, ProfileThroughAPipe) {
    const ScratchDir scratch;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const std::string text = profile_json({.worktree_path = scratch.make_dir("w")});
    ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fds[1]);
    const auto r =
        run_sandboxed("/dev/fd/" + std::to_string(fds[0]), {"true"}, {.keep_fd = fds[0]});
    ::close(fds[0]);
    EXPECT_EQ(r.status, 0) << r.err;
}

// The command ends on a closed pipe like any program, unless its caller
// ignores SIGPIPE on purpose.
TEST(InputTest, CommandGetsTheCallersSigpipe) {
    const ScratchDir scratch;
    const std::string profile =
        scratch.write_file("p.json", profile_json({.worktree_path = scratch.make_dir("w")}));
    const std::string run = "timeout 10 " + kLauncher + " --profile " + profile + " -- ";
    struct Case {
        std::string command, out, err;
        bool ignore_sigpipe;
    };
    const std::vector<Case> cases = {
        {"yes | head -1; echo status ${PIPESTATUS[0]}", "y\nstatus 141\n", "", false},
        {"sh -c 'while :; do echo; done' | head -1; echo status ${PIPESTATUS[0]}", "\nstatus 141\n",
         "", false},
        // The caller asked for EPIPE.
        {"yes | head -1", "y\n", "yes: standard output: Broken pipe\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const auto r =
            run_process({"/bin/bash", "-c", run + c.command}, {.ignore_sigpipe = c.ignore_sigpipe});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// A name in a failure line cannot break it in two or forge another line.
TEST(InputTest, NamesStayOnTheirLine) {
    const ScratchDir scratch;
    const std::string profile =
        scratch.write_file("p.json", profile_json({.worktree_path = scratch.make_dir("w")}));
    const std::string forged = "x\nWarning: Landlock sandbox not enforced by kernel";
    const std::string cafe = scratch / "caf\xc3\xa9.json";
    struct Case {
        std::string profile, program, err;
    };
    const std::vector<Case> cases = {
        {forged, "true",
         "Failed to read profile x\\nWarning: Landlock sandbox not enforced by kernel: No such "
         "file or directory (os error 2)\n"},
        {profile, "no\\such\tprogram\x1b\xff",
         "Failed to exec no\\\\such\\tprogram\\x1b\\xff: couldn't exec process: No such file or "
         "directory\n"},
        {cafe, "true",
         "Failed to read profile " + cafe + ": No such file or directory (os error 2)\n"},
    };
    for (const Case& c : cases) {
        const auto r = run_sandboxed(c.profile, {c.program});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

} // namespace
} // namespace morvik::e2e
