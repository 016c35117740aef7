// The run sequence with a fake kernel: each step's failure line, and the
// order of the steps (nothing is confined before the profile is parsed,
// nothing is executed unless the sandbox call succeeded).
#include "launcher/run.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_kernel.hpp"

namespace morvik::launcher {
namespace {

using testing::FakeKernel;
using Kind = testing::FakeCall::Kind;

// Runs `run` with descriptor 2 redirected to a temporary file; returns what
// was written there.
std::string run_capturing_stderr(const std::vector<std::string>& words, FakeKernel& kernel,
                                 int& status) {
    std::vector<const char*> args;
    for (const auto& w : words)
        args.push_back(w.c_str());
    std::FILE* tmp = std::tmpfile();
    const int saved = ::dup(2);
    ::dup2(::fileno(tmp), 2);
    status = run(args, kernel);
    ::dup2(saved, 2);
    ::close(saved);
    std::string out;
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;)
        out += static_cast<char>(c);
    std::fclose(tmp);
    return out;
}

class RunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/morvik-run-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        valid_ =
            write("valid.json", R"({"worktree_path":"/w","git_dir":"/g","agent_config_dirs":[],)"
                                R"("tool_dirs":[],"user_allowed_paths":[],"allowed_domains":[],)"
                                R"("env_passthrough":[],"proxy_port":8080})");
        kernel_.add_system_dirs();
        kernel_.add_dir("/w");
    }
    void TearDown() override {
        for (const auto& f : written_)
            ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }
    std::string write(const std::string& name, const std::string& content) {
        const std::string path = dir_ + "/" + name;
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        written_.push_back(path);
        return path;
    }

    std::string dir_, valid_;
    std::vector<std::string> written_;
    FakeKernel kernel_;
};

TEST_F(RunTest, EachStepFailsWithItsLine) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string expected;
        bool kernel_touched;
    };
    const std::string bad = write("bad.json", "[1]");
    const std::vector<Case> cases = {
        {"usage",
         {"ms", "--profile", valid_},
         "Usage: morvik-sandbox {--profile <profile.json> | --profile-fd <fd>} [--status-fd <fd>] "
         "-- "
         "<command> [args...]\n",
         false},
        {"no command",
         {"ms", "--profile", dir_ + "/missing", "--"},
         "No command specified after --\n",
         false},
        {"read",
         {"ms", "--profile", dir_ + "/missing", "--", "x"},
         "Failed to read profile " + dir_ + "/missing: No such file or directory (os error 2)\n",
         false},
        {"parse",
         {"ms", "--profile", bad, "--", "x"},
         "Failed to parse profile: invalid type: integer `1`, expected path string at line 1 "
         "column 2\n",
         false},
        {"exec",
         {"ms", "--profile", valid_, "--", "/nonexistent/morvik-cmd", "a"},
         "Failed to exec /nonexistent/morvik-cmd: couldn't exec process: No such file or "
         "directory\n",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel kernel = kernel_;
        int status = 0;
        EXPECT_EQ(run_capturing_stderr(c.args, kernel, status), c.expected);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(!kernel.calls.empty(), c.kernel_touched);
        EXPECT_EQ(kernel.open_fds(), 0U);
    }
}

TEST_F(RunTest, SandboxFailureStopsBeforeExec) {
    kernel_.create_error = ENOMEM;
    int status = 0;
    const auto err =
        run_capturing_stderr({"ms", "--profile", valid_, "--", "/nonexistent/x"}, kernel_, status);
    EXPECT_EQ(err,
              "Failed to apply Landlock rules: failed to create a ruleset: Cannot allocate memory "
              "(os error 12)\n");
    EXPECT_EQ(status, 1);
}

TEST_F(RunTest, ConfinementIsCompleteBeforeTheCommandIsLookedUp) {
    int status = 0;
    const auto err =
        run_capturing_stderr({"ms", "--profile", valid_, "--", "/nonexistent/x"}, kernel_, status);
    ASSERT_TRUE(err.starts_with("Failed to exec")) << err;
    // The system-call filter is the last thing the kernel is asked, after
    // enforcement and the ruleset descriptor's close.
    const auto kinds = kernel_.kinds();
    ASSERT_GE(kinds.size(), 3U);
    EXPECT_EQ(kinds[kinds.size() - 3], Kind::RestrictSelf);
    EXPECT_EQ(kinds[kinds.size() - 2], Kind::Close);
    EXPECT_EQ(kinds.back(), Kind::InstallFilter);
    EXPECT_EQ(kernel_.of(Kind::AddNetRule).size(), 1U); // the profile's port at level 6
}

// Warnings are written once the confinement is in place, right before the
// exec: a run that fails after planning prints its one failure line alone.
TEST_F(RunTest, WarningsOnlyOnceConfined) {
    struct Case {
        const char* what;
        void (*script)(FakeKernel&);
        std::string err;
    };
    const std::string exec_failed =
        "Failed to exec /nonexistent/x: couldn't exec process: No such file or directory\n";
    const std::string no_landlock = "Warning: Landlock sandbox not enforced by kernel\n";
    const std::string root_home = "Warning: home directory / not granted: the root directory\n";
    const Case cases[] = {
        {"no Landlock", [](FakeKernel& k) { k.set_no_landlock(); }, no_landlock + exec_failed},
        {"no Landlock, no filter",
         [](FakeKernel& k) { k.set_no_landlock(), k.filter_error = EINVAL; },
         "Failed to install the system-call filter: Invalid argument (os error 22)\n"},
        {"two warnings", [](FakeKernel& k) { k.set_no_landlock(), k.env["HOME"] = "/"; },
         root_home + no_landlock + exec_failed},
        {"home not granted, restriction refused",
         [](FakeKernel& k) { k.env["HOME"] = "/", k.restrict_error = EPERM; },
         "Failed to apply Landlock rules: failed to restrict the calling thread: Operation not "
         "permitted (os error 1)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeKernel kernel = kernel_;
        c.script(kernel);
        int status = 0;
        EXPECT_EQ(run_capturing_stderr({"ms", "--profile", valid_, "--", "/nonexistent/x"}, kernel,
                                       status),
                  c.err);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(kernel.open_fds(), 0U);
    }
}

} // namespace
} // namespace morvik::launcher

namespace morvik::launcher {
namespace {

// A failure line that cannot be written (standard error is a pipe nobody
// reads) is dropped: the run still ends with status 1.
TEST(RunOutput, UnwritableStandardErrorStillEndsWithStatusOne) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const auto old = ::signal(SIGPIPE, SIG_IGN);
    const int saved = ::dup(2);
    ::dup2(fds[1], 2);
    testing::FakeKernel kernel;
    const char* args[] = {"ms"};
    const int status = run(args, kernel);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fds[1]);
    ::signal(SIGPIPE, old);
    EXPECT_EQ(status, 1);
}

} // namespace
} // namespace morvik::launcher
