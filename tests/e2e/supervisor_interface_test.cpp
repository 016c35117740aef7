// What a supervising program relies on, through the built launcher: the
// status record on --status-fd, and the profile read from an inherited
// descriptor (--profile-fd N, --profile /dev/fd/N).
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

const std::string kUsage = "Usage: morvik-sandbox {--profile <profile.json> | --profile-fd <fd>} "
                           "[--status-fd <fd>] -- <command> [args...]";

// This kernel's record: Landlock from ABI 1, its TCP rules from ABI 4.
std::string confined_record() {
    const long abi = std::max(
        0L, ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION));
    return R"({"status":"confined","landlock_abi":)" + std::to_string(abi) + R"(,"enforcement":")" +
           (abi < 1 ? "not_enforced" : "full") + R"(","protections":["no_new_privs",)" +
           (abi < 1   ? ""
            : abi < 4 ? R"("landlock",)"
                      : R"("landlock","landlock_tcp",)") +
           R"("no_capabilities","seccomp"]})" + "\n";
}

class SupervisorTest : public ::testing::Test {
  protected:
    // The launcher with the words of `args` ("$p": the profile) and descriptors 5 (standard
    // output: records land in `out`), 7 read-only, 8 write-only, 9 read-write and 20 (`keep`, or
    // path-only).
    RunResult launch(const std::string& args, int keep = -1) {
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         "exec \"$@\" 5>&1 7</dev/null 8>/dev/null 9<>/dev/null",
                                         "sh", kLauncher};
        std::istringstream words(args);
        for (std::string w; words >> w;)
            argv.push_back(w == "$p" ? profile_ : w);
        const auto r =
            run_process(argv, {.keep_fd = ::dup3(keep < 0 ? path_only_ : keep, 20, O_CLOEXEC)});
        ::close(20);
        return r;
    }

    void TearDown() override { ::close(path_only_); }

    const int path_only_ = ::open("/", O_PATH | O_CLOEXEC);
    ScratchDir scratch_;
    std::string work_ = scratch_.make_dir("work");
    std::string tools_ = kProbe.substr(0, kProbe.rfind('/'));
    std::string text_ = profile_json({.worktree_path = work_, .tool_dirs = {tools_}});
    std::string profile_ = scratch_.write_file("p.json", text_);
};

// Each refused descriptor has its one line (the first option fails), and no
// record comes before the command line is valid, even on a good descriptor.
TEST_F(SupervisorTest, InvalidDescriptorsAreUsageFailures) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--status-fd +6 --profile $p", "not a descriptor number"},
        {"--status-fd 2147483648 --profile $p", "larger than 2147483647"},
        {"--status-fd 2 --profile $p", "standard descriptors 0, 1 and 2 cannot be used"},
        {"--status-fd 99 --profile $p", "descriptor not open"},
        {"--status-fd 7 --profile $p", "descriptor not open for writing"},
        {"--status-fd 9 --profile-fd 9", "the profile is read from this descriptor"},
        {"--status-fd 9 --profile /dev/fd/9", "the profile is read from this descriptor"},
        {"--profile-fd x --status-fd 5", "not a descriptor number"},
        {"--profile-fd 8 --status-fd 5", "descriptor not open for reading"},
        {"--profile-fd 20 --status-fd 5", "descriptor not open for reading"},
        {"--profile-fd 7 --status-fd 5 --profile $p", ""},
        {"--profile $p --status-fd", ""},
    };
    for (const auto& [args, reason] : cases) {
        SCOPED_TRACE(args);
        const auto r = launch(args + " -- true");
        std::string option, value;
        std::istringstream(args) >> option >> value;
        const std::string line = "Invalid " + option + " value `" + value + "`: " + reason;
        EXPECT_EQ(r.err, (reason.empty() ? kUsage : line) + "\n");
        EXPECT_EQ(r.out + std::to_string(r.status), "1");
    }
}

// The last line tells confined from failed, with the stage and the failure
// line; the exec closes the descriptor. A record not taken stops the run.
TEST_F(SupervisorTest, RecordsTellTheOutcome) {
    const std::string up = work_ + "/up", missing = scratch_ / "a\"b\x01z";
    ASSERT_EQ(::symlink("/", up.c_str()), 0);
    const std::string link = scratch_.write_file("up.json", profile_json({.worktree_path = up}));
    const std::string bad = scratch_.write_file("bad.json", "[1]");
    const std::string refused = "Failed to apply Landlock rules: symbolic link \"" + up +
                                "\" -> \"/\" lies in a writable place and leads outside every "
                                "writable place; refusing \"" +
                                up + "\"";
    const std::vector<std::array<std::string, 3>> cases = {
        {"--profile $p -- " + kProbe + " fds", "", "0\n1\n2\n7\n8\n9\n20\n"},
        {"--profile " + missing + " -- true", "read",
         "Failed to read profile " + scratch_.path() +
             "/a\"b\\x01z: No such file or directory (os error 2)"},
        {"--profile " + bad + " -- true", "parse",
         "Failed to parse profile: invalid type: integer `1`, expected path string at line 1 "
         "column 2"},
        {"--profile " + link + " -- true", "confine", refused},
        {"--profile $p -- no-such-program-morvik", "exec",
         "Failed to exec no-such-program-morvik: couldn't exec process: No such file or directory"},
    };
    for (const auto& [args, stage, err] : cases) {
        SCOPED_TRACE(args);
        const auto r = launch("--status-fd 5 " + args);
        // The exec comes after the confined record: the last line counts.
        const std::string failed = R"({"status":"failed","stage":")" + stage + R"(","message":)" +
                                   json_string(err) + "}\n";
        EXPECT_EQ(r.out, stage.empty() ? confined_record() + err
                                       : (stage == "exec" ? confined_record() : "") + failed);
        EXPECT_EQ(r.err, stage.empty() ? "" : err + "\n");
        EXPECT_EQ(r.status, stage.empty() ? 0 : 1);
    }
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);
    const auto r = launch("--status-fd 20 --profile $p -- true", p[1]);
    ::close(p[1]);
    EXPECT_EQ(r.err + r.out, "Failed to write the status record: Broken pipe (os error 32)\n");
    EXPECT_EQ(r.status, 1);
}

// A regular file is read from offset 0 (its position left alone), a pipe from
// where it stands, also after a uid switch that forbids reopening it by path.
// The descriptor is closed after reading and named /dev/fd/N in read errors.
TEST_F(SupervisorTest, ProfileFromADescriptor) {
    enum Source { Pipe, File, Closed };
    const std::vector<std::tuple<std::string, Source, std::string, uid_t>> cases = {
        {"--profile-fd", Pipe, "", 0},
        {"--profile", Pipe, "", 65534},
        {"--profile-fd", File, "", 0},
        {"--profile", File, "", 0},
        {"--profile", Closed, "Bad file descriptor (os error 9)", 0},
    };
    const std::string launcher = scratch_.copy_file(kLauncher, "launcher", 0755);
    for (const auto& [option, source, err, uid] : cases) {
        SCOPED_TRACE(option + " " + std::to_string(source));
        if (uid != 0 && ::geteuid() != 0) continue; // switching needs root
        int fd = 99, p[2];
        char skip[3];
        const std::string text = "xyz" + text_;
        if (source == Pipe && ::pipe2(p, O_CLOEXEC) == 0) {
            EXPECT_EQ(::write(p[1], text.data(), text.size()), ssize_t(text.size()));
            ::close(p[1]);
            EXPECT_EQ(::read(fd = p[0], skip, 3), 3); // the profile starts after "xyz"
        }
        if (source == File) fd = ::open(profile_.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_TRUE(source != File || ::lseek(fd, 7, SEEK_SET) == 7);
        const std::string n = std::to_string(fd);
        const auto r = run_process(
            {launcher, option, option == "--profile" ? "/dev/fd/" + n : n, "--", kProbe, "fds"},
            {.env = std::vector<std::string>{"HOME=/nonexistent"},
             .uid = uid != 0 ? std::optional(uid) : std::nullopt,
             .keep_fd = fd});
        EXPECT_EQ(r.err,
                  err.empty() ? "" : "Failed to read profile /dev/fd/" + n + ": " + err + "\n");
        EXPECT_EQ(r.out, err.empty() ? "0\n1\n2\n" : "");
        EXPECT_TRUE(source != File || ::lseek(fd, 0, SEEK_CUR) == 7);
        ::close(fd);
    }
}

} // namespace
} // namespace morvik::e2e
