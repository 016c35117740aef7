// The launcher's command line and every failure line before confinement,
// against the built binary.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"
#include "morvik_version.hpp"

namespace morvik::e2e {
namespace {

const std::string kUsage =
    "Usage: morvik-sandbox {--profile <profile.json> | --profile-fd <fd>} [--status-fd <fd>] -- "
    "<command> [args...]\n";

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        work_ = scratch_.make_dir("work");
        valid_ = scratch_.write_file(
            "valid.json",
            profile_json({.worktree_path = work_, .git_dir = work_, .tool_dirs = {kBuildDir()}}));
    }
    static std::string kBuildDir() { return kProbe.substr(0, kProbe.rfind('/')); }

    ScratchDir scratch_;
    std::string work_;
    std::string valid_;
};

struct FailureCase {
    const char* name;
    std::vector<std::string> args; // after the program name; "$valid" and "$dir" are substituted
    std::string expected_err;
};

TEST_F(CommandLineTest, FailureLinesAreExactWithStatusOneAndNothingOnStdout) {
    const std::string missing = scratch_ / "missing.json";
    const std::vector<FailureCase> cases = {
        {"no arguments", {}, kUsage},
        {"no separator", {"--profile", "$valid"}, kUsage},
        {"no profile option", {"--", "true"}, kUsage},
        {"separator at the value's place", {"--profile", "--", "true"}, kUsage},
        {"profile after separator", {"--", "true", "--profile", "$valid"}, kUsage},
        {"option with equals sign", {"--profile=$valid", "--", "true"}, kUsage},
        {"short option", {"-p", "$valid", "--", "true"}, kUsage},
        {"nothing after separator",
         {"--profile", missing, "--"},
         "No command specified after --\n"},
        {"missing file",
         {"--profile", missing, "--", "true"},
         "Failed to read profile " + missing + ": No such file or directory (os error 2)\n"},
        {"directory",
         {"--profile", "$dir", "--", "true"},
         "Failed to read profile $dir: Is a directory (os error 21)\n"},
        {"not a directory component",
         {"--profile", "$valid/x", "--", "true"},
         "Failed to read profile $valid/x: Not a directory (os error 20)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto subst = [&](std::string s) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"$valid", valid_},
                                             {"$dir", scratch_.path()}}) {
                for (auto pos = s.find(key); pos != std::string::npos; pos = s.find(key)) {
                    s.replace(pos, key.size(), value);
                }
            }
            return s;
        };
        std::vector<std::string> argv = {kLauncher};
        for (const auto& a : c.args)
            argv.push_back(subst(a));
        const auto r = run_process(argv);
        EXPECT_EQ(r.err, subst(c.expected_err));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(CommandLineTest, EmptyArgumentListPrintsUsage) {
    const auto r = run_process({}, {.exec_path = kLauncher});
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.status, 1);
}

// "--help" and "--version" count only as the one argument after the program
// name; every other list that holds them keeps its old usage failure.
TEST_F(CommandLineTest, HelpAndVersionAloneAnswerOnStandardOutput) {
    const std::string kExplain = MORVIK_EXPLAIN_BIN;
    const std::string explain_usage =
        "Usage: morvik-sandbox-explain [--json] --profile <profile.json>\n";
    const std::string version = "morvik-sandbox " + std::string(kVersion) + "\n";
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        int status;
        std::string out_prefix; // the whole output when `whole`
        bool whole;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"launcher help", {kLauncher, "--help"}, 0, kUsage, false, ""},
        {"launcher version", {kLauncher, "--version"}, 0, version, true, ""},
        {"explainer help", {kExplain, "--help"}, 0, explain_usage, false, ""},
        {"explainer version", {kExplain, "--version"}, 0, version, true, ""},
        {"help with another word", {kLauncher, "--help", "x"}, 1, "", true, kUsage},
        {"word before version", {kLauncher, "x", "--version"}, 1, "", true, kUsage},
        {"help and version", {kLauncher, "--help", "--version"}, 1, "", true, kUsage},
        {"help as the profile value",
         {kLauncher, "--profile", "--help", "--"},
         1,
         "",
         true,
         "No command specified after --\n"},
        {"short help", {kLauncher, "-h"}, 1, "", true, kUsage},
        {"help with an equals sign", {kLauncher, "--help="}, 1, "", true, kUsage},
        {"explainer help with more", {kExplain, "--help", "x"}, 1, "", true, explain_usage},
        {"explainer version as profile",
         {kExplain, "--profile", "--version"},
         1,
         "",
         true,
         "Failed to read profile --version: No such file or directory (os error 2)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = run_process(c.argv, {.cwd = scratch_.path()});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.whole) {
            EXPECT_EQ(r.out, c.out_prefix);
        } else if (c.status == 0) {
            EXPECT_EQ(r.out.substr(0, c.out_prefix.size()), c.out_prefix);
            EXPECT_EQ(r.out.back(), '\n');
        }
    }
}

TEST_F(CommandLineTest, UnwritableStandardOutputFailsTheVersionRequest) {
    for (const std::string& program : {kLauncher, std::string(MORVIK_EXPLAIN_BIN)}) {
        SCOPED_TRACE(program);
        const auto r = run_process({"/bin/sh", "-c", "exec \"$0\" --version >/dev/full", program});
        EXPECT_EQ(r.err, "Failed to write output: No space left on device (os error 28)\n");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(CommandLineTest, ProfileContentFailures) {
    struct Case {
        const char* name;
        std::string content;
        std::string expected_suffix;
    };
    const std::vector<Case> cases = {
        {"invalid UTF-8", "{\"worktree_path\": \"\xff\"}",
         ": stream did not contain valid UTF-8\n"},
        {"truncated UTF-8 sequence", "{\"a\": \"\xc3", ": stream did not contain valid UTF-8\n"},
        {"empty file", "", "EOF while parsing a value at line 1 column 0\n"},
        {"empty object", "{}", "missing field `worktree_path` at line 1 column 2\n"},
        {"byte-order mark", "\xef\xbb\xbf{}", "expected value at line 1 column 1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch_.write_file("p.json", c.content);
        const auto r = run_sandboxed(path, {"true"});
        const std::string prefix = c.expected_suffix.starts_with(": ")
                                       ? "Failed to read profile " + path
                                       : "Failed to parse profile: ";
        EXPECT_EQ(r.err, prefix + c.expected_suffix);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(CommandLineTest, UnreadableFileGivesPermissionDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch user";
    const std::string launcher = scratch_.copy_file(kLauncher, "launcher", 0755);
    const std::string path = scratch_.write_file("secret.json", "{}");
    ::chmod(path.c_str(), 0600);
    const auto r = run_sandboxed(path, {"true"}, {.uid = 65534, .launcher = launcher});
    EXPECT_EQ(r.err, "Failed to read profile " + path + ": Permission denied (os error 13)\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(CommandLineTest, ProfileIsReadFromAFifo) {
    const std::string fifo = scratch_ / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        const std::string text = "[\"a\"]";
        [[maybe_unused]] ssize_t n = ::write(fd, text.data(), text.size());
        ::close(fd);
    });
    const auto r = run_sandboxed(fifo, {"true"});
    writer.join();
    EXPECT_EQ(r.err, "Failed to parse profile: invalid length 1, expected struct SandboxProfile "
                     "with 8 elements at line 1 column 5\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(CommandLineTest, ExecFailures) {
    struct Case {
        const char* name;
        std::string program;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"not on PATH", "no-such-program-morvik", "No such file or directory"},
        {"empty command word", "", "No such file or directory"},
        {"relative path that does not exist", "./nothing-here", "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = run_sandboxed(valid_, {c.program, "arg"});
        EXPECT_EQ(r.err, "Failed to exec " + c.program +
                             ": couldn't exec process: " + c.description + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(CommandLineTest, ArgumentsReachTheCommandByteForByte) {
    const std::vector<std::string> command = {kProbe,   "args", "",         "--",       "--profile",
                                              "q.json", "a b",  "\xc3\xa9", "\xff\xfe", "-l"};
    std::vector<std::string> argv = {kLauncher, "x",         "--profile",  valid_,
                                     "y",       "--profile", "other.json", "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    const auto r = run_process(argv);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (const auto& a : command)
        expected += a + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

TEST_F(CommandLineTest, ProgramIsSearchedOnPath) {
    const std::string dir = kProbe.substr(0, kProbe.rfind('/'));
    const std::string name = kProbe.substr(kProbe.rfind('/') + 1);
    const auto r = run_sandboxed(valid_, {name, "args", "z"},
                                 {.env = std::vector<std::string>{"PATH=/nonexistent:" + dir}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, name + "\nargs\nz\n");
}

TEST_F(CommandLineTest, CommandInheritsProcessState) {
    // Closed stdin is replaced by /dev/null; SIGPIPE is as the caller left it.
    auto r = run_sandboxed(valid_, {kProbe, "stdin"}, {.close_stdin = true});
    EXPECT_EQ(r.out, "devnull\n") << r.err;
    r = run_sandboxed(valid_, {kProbe, "sigpipe"});
    EXPECT_EQ(r.out, "default\n") << r.err;
    r = run_sandboxed(valid_, {kProbe, "sigpipe"}, {.ignore_sigpipe = true});
    EXPECT_EQ(r.out, "ignored\n") << r.err;
    r = run_sandboxed(valid_, {kProbe, "nnp"});
    EXPECT_EQ(r.out, "1\n") << r.err;
}

TEST_F(CommandLineTest, EnvironmentIsPassedUnchanged) {
    const std::vector<std::string> env = {"HOME=" + work_, "PATH=/usr/bin:/bin", "A=1", "EMPTY=",
                                          "SPACES=a b  c", "MORVIK_X=\xc3\xa9"};
    const auto r = run_sandboxed(valid_, {kProbe, "env"}, {.env = env});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (const auto& e : env)
        expected += e + '\0';
    EXPECT_EQ(r.out, expected);
}

TEST_F(CommandLineTest, OnlyStandardAndCallerDescriptorsReachTheCommand) {
    const int extra = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(extra, 3);
    const auto r = run_sandboxed(valid_, {kProbe, "fds"}, {.keep_fd = extra});
    ::close(extra);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\n1\n2\n" + std::to_string(extra) + "\n");
}

// The launcher holds a descriptor per rule at once: it raises its soft limit
// on open files to the hard one meanwhile and hands the caller's to the
// command; a profile that does not fit under the hard limit fails with one
// line.
TEST_F(CommandLineTest, ManyRulesFitUnderTheHardLimitOnOpenFiles) {
    std::vector<std::string> tools;
    for (int i = 0; i < 24; ++i)
        tools.push_back(scratch_.make_dir("tool" + std::to_string(i)));
    const std::string many = scratch_.write_file(
        "many.json", profile_json({.worktree_path = work_, .git_dir = work_, .tool_dirs = tools}));
    const auto run = [&](const std::string& limit) {
        return run_process({"/bin/sh", "-c",
                            "ulimit " + limit + " 16 && exec \"$0\" --profile \"$1\" -- " +
                                "/bin/sh -c 'ulimit -Sn'",
                            kLauncher, many});
    };
    RunResult r = run("-Sn");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "16\n");
#if !defined(__SANITIZE_ADDRESS__)
    // (The sanitizers' own checks need descriptors the limit leaves none of.)
    r = run("-n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Failed to apply Landlock rules: failed to open \"" +
                                  scratch_.path() + "/tool") &&
                r.err.ends_with("\": Too many open files (os error 24)\n"))
        << r.err;
#endif
}

} // namespace
} // namespace morvik::e2e
