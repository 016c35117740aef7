// What a supervising program relies on, through the built launcher: the
// status record on --status-fd, and the profile read from an inherited
// descriptor (--profile-fd N, --profile /dev/fd/N).
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

const std::string kUsage = "Usage: morvik-sandbox {--profile <profile.json> | --profile-fd <fd>} "
                           "[--status-fd <fd>] -- <command> [args...]";

// The launcher with `args`, descriptor 5 on standard output: records land in `out`.
RunResult launch(const std::vector<std::string>& args, const RunOptions& options = {}) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 5>&1", "sh", kLauncher};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, options);
}

std::string confined_record() {
    const long abi =
        ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi <= 0) {
        return R"({"status":"confined","landlock_abi":0,"enforcement":"not_enforced",)"
               R"("protections":["no_new_privs","no_capabilities","seccomp"]})"
               "\n";
    }
    return R"({"status":"confined","landlock_abi":)" + std::to_string(abi) +
           R"(,"enforcement":"full","protections":["no_new_privs","landlock",)" +
           (abi >= 4 ? R"("landlock_tcp",)" : "") + R"("no_capabilities","seccomp"]})" + "\n";
}

class SupervisorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string work = scratch_.make_dir("work");
        text_ = profile_json({.worktree_path = work, .git_dir = work, .tool_dirs = {kBuildDir}});
        profile_ = scratch_.write_file("p.json", text_);
    }
    void TearDown() override {
        for (const int fd : fds_)
            ::close(fd);
    }
    int own(int fd) { return fds_.emplace_back(fd); }
    // A pipe holding `content` with its write end closed; returns the read end.
    int pipe_with(const std::string& content) {
        int p[2];
        EXPECT_EQ(::pipe2(p, O_CLOEXEC), 0);
        EXPECT_EQ(::write(p[1], content.data(), content.size()), ssize_t(content.size()));
        ::close(p[1]);
        return own(p[0]);
    }
    std::string subst(std::string s, int fd) const {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"$fd", std::to_string(fd)},
              {"$p", profile_},
              {"$dir", scratch_.path()}}) {
            for (auto at = s.find(key); at != std::string::npos; at = s.find(key))
                s.replace(at, key.size(), value);
        }
        return s;
    }

    const std::string kBuildDir = kProbe.substr(0, kProbe.rfind('/'));
    ScratchDir scratch_;
    std::string text_, profile_;
    std::vector<int> fds_;
};

// Each refused descriptor has its one line; no record comes before the
// command line is valid, even on a good status descriptor (5).
TEST_F(SupervisorTest, InvalidDescriptorsAreUsageFailures) {
    enum Fd { None, ReadEnd, WriteEnd, PathOnly, ReadWrite };
    struct Case {
        const char* name;
        std::vector<std::string> args; // before "-- true"; "$fd" is the kept descriptor
        Fd fd;
        std::string err;
    };
    const std::string status = "Invalid --status-fd value `";
    const std::string profile = "Invalid --profile-fd value `";
    const std::vector<Case> cases = {
        {"status not a number",
         {"--status-fd", "x", "--profile", "$p"},
         None,
         status + "x`: not a descriptor number"},
        {"status with a sign",
         {"--status-fd", "+6", "--profile", "$p"},
         None,
         status + "+6`: not a descriptor number"},
        {"status above INT_MAX",
         {"--status-fd", "2147483648", "--profile", "$p"},
         None,
         status + "2147483648`: larger than 2147483647"},
        {"status standard error",
         {"--status-fd", "2", "--profile", "$p"},
         None,
         status + "2`: standard descriptors 0, 1 and 2 cannot be used"},
        {"status not open",
         {"--status-fd", "999", "--profile", "$p"},
         None,
         status + "999`: descriptor not open"},
        {"status read end",
         {"--status-fd", "$fd", "--profile", "$p"},
         ReadEnd,
         status + "$fd`: descriptor not open for writing"},
        {"status is the profile's",
         {"--status-fd", "$fd", "--profile-fd", "$fd"},
         ReadWrite,
         status + "$fd`: the profile is read from this descriptor"},
        {"status is the profile path's",
         {"--status-fd", "$fd", "--profile", "/dev/fd/$fd"},
         ReadWrite,
         status + "$fd`: the profile is read from this descriptor"},
        {"profile empty value",
         {"--status-fd", "5", "--profile-fd", ""},
         None,
         profile + "`: not a descriptor number"},
        {"profile standard input",
         {"--status-fd", "5", "--profile-fd", "0"},
         None,
         profile + "0`: standard descriptors 0, 1 and 2 cannot be used"},
        {"profile not open",
         {"--status-fd", "5", "--profile-fd", "999"},
         None,
         profile + "999`: descriptor not open"},
        {"profile write end",
         {"--status-fd", "5", "--profile-fd", "$fd"},
         WriteEnd,
         profile + "$fd`: descriptor not open for reading"},
        {"profile path-only",
         {"--status-fd", "5", "--profile-fd", "$fd"},
         PathOnly,
         profile + "$fd`: descriptor not open for reading"},
        {"both profile options",
         {"--status-fd", "5", "--profile", "$p", "--profile-fd", "$fd"},
         ReadWrite,
         kUsage},
        {"status value missing", {"--profile", "$p", "--status-fd"}, None, kUsage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int p[2] = {-1, -1};
        ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
        // Above 5, which the wrapper takes.
        const int fd = ::fcntl(c.fd == ReadEnd    ? p[0]
                               : c.fd == WriteEnd ? p[1]
                               : c.fd == PathOnly ? own(::open("/", O_PATH | O_CLOEXEC))
                                                  : own(::open("/dev/null", O_RDWR | O_CLOEXEC)),
                               F_DUPFD_CLOEXEC, 10);
        std::vector<std::string> args;
        for (const auto& a : c.args)
            args.push_back(subst(a, fd));
        args.insert(args.end(), {"--", "true"});
        const auto r = launch(args, {.keep_fd = c.fd == None ? -1 : fd});
        EXPECT_EQ(r.err, subst(c.err, fd) + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
        for (const int open_fd : {p[0], p[1], fd})
            ::close(open_fd);
    }
}

// The last line tells confined from failed, with the stage and the failure
// line; the exec closes the status descriptor.
TEST_F(SupervisorTest, RecordsTellTheOutcome) {
    ASSERT_EQ(::symlink("/", (scratch_ / "work/up").c_str()), 0);
    const std::string up = scratch_ / "work/up";
    const std::string escape = scratch_.write_file(
        "escape.json", profile_json({.worktree_path = scratch_ / "work", .git_dir = up}));
    const std::string bad = scratch_.write_file("bad.json", "[1]");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string stage; // empty: confined, and the probe's output follows
        std::string err;
    };
    const std::vector<Case> cases = {
        {"confined", {"--profile", "$p", "--", kProbe, "fds"}, "", ""},
        {"read",
         {"--profile", "$dir/a\"b\nc", "--", "true"},
         "read",
         "Failed to read profile $dir/a\"b\\nc: No such file or directory (os error 2)"},
        {"parse",
         {"--profile", bad, "--", "true"},
         "parse",
         "Failed to parse profile: invalid type: integer `1`, expected path string at line 1 "
         "column 2"},
        {"confine",
         {"--profile", escape, "--", "true"},
         "confine",
         "Failed to apply Landlock rules: symbolic link \"" + up +
             "\" -> \"/\" lies in a writable "
             "place and leads outside every writable place; refusing \"" +
             up + "\""},
        {"exec",
         {"--profile", "$p", "--", "no-such-program-morvik"},
         "exec",
         "Failed to exec no-such-program-morvik: couldn't exec process: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--status-fd", "5"};
        for (const auto& a : c.args)
            args.push_back(subst(a, -1));
        const auto r = launch(args);
        const std::string line = subst(c.err, -1);
        if (c.stage.empty()) {
            EXPECT_EQ(r.out, confined_record() + "0\n1\n2\n");
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        EXPECT_EQ(r.err, line + "\n");
        // The exec comes after the confined record: the last line counts.
        EXPECT_EQ(r.out, (c.stage == "exec" ? confined_record() : "") +
                             R"({"status":"failed","stage":")" + c.stage + R"(","message":)" +
                             json_string(line) + "}\n");
        EXPECT_EQ(r.status, 1);
    }
}

// The profile from a descriptor: a regular file from offset 0 whatever its
// position (left alone), a pipe from where it stands; closed after reading,
// named /dev/fd/N in read errors.
TEST_F(SupervisorTest, ProfileFromADescriptor) {
    enum Source { Pipe, File, Directory, Large, Closed };
    struct Case {
        const char* name;
        const char* option; // "--profile-fd N" or "--profile /dev/fd/N"
        Source source;
        std::string content;
        std::string err; // empty: the command runs
    };
    const std::vector<Case> cases = {
        {"pipe", "--profile-fd", Pipe, text_, ""},
        {"path of a pipe", "--profile", Pipe, text_, ""},
        {"file at an offset", "--profile-fd", File, text_, ""},
        {"path of a file at an offset", "--profile", File, text_, ""},
        {"pipe past a prefix", "--profile-fd", Pipe, "xyz" + text_, ""},
        {"invalid UTF-8", "--profile-fd", Pipe, "\xff", "stream did not contain valid UTF-8"},
        {"directory", "--profile-fd", Directory, "", "Is a directory (os error 21)"},
        {"above 64 MiB", "--profile-fd", Large, "", "larger than 64 MiB"},
        {"path of a closed descriptor", "--profile", Closed, "",
         "Bad file descriptor (os error 9)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = 999;
        if (c.source == Pipe) {
            fd = pipe_with(c.content);
            char prefix[3];
            if (c.content.starts_with("xyz")) {
                ASSERT_EQ(::read(fd, prefix, 3), 3);
            }
        } else if (c.source == File || c.source == Large) {
            fd = own(::open(scratch_.write_file("fd.json", c.content).c_str(), O_RDWR | O_CLOEXEC));
            if (c.source == Large) {
                ASSERT_EQ(::ftruncate(fd, (64 << 20) + 1), 0);
            }
            ASSERT_EQ(::lseek(fd, 7, SEEK_SET), 7);
        } else if (c.source == Directory) {
            fd = own(::open(scratch_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        const std::string n = std::to_string(fd);
        const std::string value = std::string(c.option) == "--profile" ? "/dev/fd/" + n : n;
        const auto r = run_process({kLauncher, c.option, value, "--", kProbe, "fds"},
                                   {.keep_fd = c.source == Closed ? -1 : fd});
        if (c.err.empty()) {
            EXPECT_EQ(r.out, "0\n1\n2\n") << r.err;
            EXPECT_EQ(r.status, 0);
        } else {
            EXPECT_EQ(r.err, "Failed to read profile /dev/fd/" + n + ": " + c.err + "\n");
            EXPECT_EQ(r.status, 1);
        }
        if (c.source == File) {
            EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 7);
        }
    }
}

// A supervisor that has switched to another uid can still hand over a pipe
// it made before the switch, which the path /dev/fd/N would not reopen.
TEST_F(SupervisorTest, ProfilePipeSurvivesAUidSwitch) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch user";
    const std::string launcher = scratch_.copy_file(kLauncher, "launcher", 0755);
    const int fd = pipe_with(text_);
    const auto r =
        run_process({launcher, "--profile", "/dev/fd/" + std::to_string(fd), "--", "true"},
                    {.env = std::vector<std::string>{"PATH=/usr/bin:/bin", "HOME=/nonexistent"},
                     .uid = 65534,
                     .keep_fd = fd});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// A record nobody can take stops the run before the command; a full
// non-blocking pipe is waited on.
TEST_F(SupervisorTest, StatusPipeTrouble) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    own(p[1]);
    auto r = run_process({kLauncher, "--status-fd", std::to_string(p[1]), "--profile", profile_,
                          "--", kProbe, "args", "ran"},
                         {.keep_fd = p[1]});
    EXPECT_EQ(r.err, "Failed to write the status record: Broken pipe (os error 32)\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);

    ASSERT_EQ(::pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    own(p[0]);
    while (::write(p[1], "x", 1) == 1) {
    }
    std::string seen;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::fcntl(p[0], F_SETFL, 0);
        char buf[4096];
        for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;)
            seen.append(buf, std::size_t(n));
    });
    r = run_process(
        {kLauncher, "--status-fd", std::to_string(p[1]), "--profile", profile_, "--", "true"},
        {.keep_fd = p[1]});
    ::close(p[1]);
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(seen.ends_with(confined_record())) << seen.size();
}

} // namespace
} // namespace morvik::e2e
