// A kernel without Landlock (the system calls fail with ENOSYS) or with
// Landlock turned off (EOPNOTSUPP): the command still runs, unconfined but
// with no-new-privileges, after exactly one warning line.
#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

class NoLandlockTest : public ::testing::TestWithParam<const char*> {};

TEST_P(NoLandlockTest, CommandRunsAfterOneWarningLine) {
    ScratchDir scratch;
    const std::string work = scratch.make_dir("work");
    const std::string outside = scratch.make_dir("outside");
    const std::string profile = scratch.write_file(
        "p.json", profile_json({.worktree_path = work, .git_dir = work, .proxy_port = 1}));
    const auto run = [&](std::vector<std::string> probe_args) {
        std::vector<std::string> argv = {
            MORVIK_SECCOMP_RUN_BIN, GetParam(), kLauncher, "--profile", profile, "--", kProbe};
        argv.insert(argv.end(), probe_args.begin(), probe_args.end());
        return run_process(argv);
    };
    const std::string warning = "Warning: Landlock sandbox not enforced by kernel\n";

    auto r = run({"write", outside + "/f"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, warning);
    r = run({"nnp"});
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.err, warning);
    r = run({"fds"});
    EXPECT_EQ(r.out, "0\n1\n2\n");
}

INSTANTIATE_TEST_SUITE_P(Errors, NoLandlockTest, ::testing::Values("ENOSYS", "EOPNOTSUPP"),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
} // namespace morvik::e2e
