// The explain program on this machine's kernel: what it shows for a real
// profile, and that its failure lines are the launcher's.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

const std::string kExplain = MORVIK_EXPLAIN_BIN;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

bool has_line(const std::string& text, const std::string& line) {
    for (const auto& l : lines_of(text))
        if (l == line) return true;
    return false;
}

bool has_line_starting(const std::string& text, const std::string& prefix) {
    for (const auto& l : lines_of(text))
        if (l.rfind(prefix, 0) == 0) return true;
    return false;
}

const std::string kRead = "Execute | ReadFile | ReadDir";

TEST(ExplainTest, ShowsTheRulesForARealProfile) {
    ScratchDir scratch;
    scratch.make_dir("work");
    const std::string tools = scratch.make_dir("tools");
    const std::string tool = scratch.write_file("tools/run.sh", "#!/bin/sh\n");
    // Beneath the work tree: a home uid 0 is granted too.
    const std::string home = scratch.make_dir("work/home");
    const std::string profile = scratch.write_file(
        "p.json", profile_json({.worktree_path = "work", // relative: against the cwd
                                .git_dir = scratch / "absent",
                                .tool_dirs = {tools, tool},
                                .user_allowed_paths = {scratch / "line\nbreak"},
                                .proxy_port = 3128}));
    const RunResult r =
        run_process({kExplain, "--profile", profile},
                    {.env = std::vector<std::string>{"HOME=" + home}, .cwd = scratch.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 5U) << r.out;
    EXPECT_EQ(lines[0].rfind("abi version: ", 0), 0U);
    EXPECT_EQ(lines[1].rfind("abi level: ", 0), 0U);
    EXPECT_EQ(lines[2].rfind("kernel support: ", 0), 0U);
    // The lint's warnings come last (the work tree holds the home directory).
    EXPECT_EQ(lines.back(), "warning: user_allowed_paths \"" + scratch.path() +
                                "/line\\nbreak\": does not exist");
    // Scopes from version 6; as root, the capability drop and the filter.
    if (landlock_version() >= 6) {
        EXPECT_TRUE(has_line(r.out, "scopes: AbstractUnixSocket | Signal")) << r.out;
    }
    if (::geteuid() == 0) {
        EXPECT_TRUE(has_line(r.out, "capabilities: dropped (uid 0 or a capability held; /dev "
                                    "narrowed to its pseudo-devices)"))
            << r.out;
        EXPECT_TRUE(has_line(r.out, "filter set-id: refused (capabilities dropped: no "
                                    "set-user-ID or set-group-ID mode, no openat2)"))
            << r.out;
    }
    EXPECT_TRUE(has_line(r.out, "filter udp: refused (allow_udp not set)")) << r.out;

    EXPECT_TRUE(has_line(r.out, "skip: git_dir \"" + scratch / "absent" +
                                    "\": absent: No such file or directory (os error 2)"))
        << r.out;
    EXPECT_TRUE(
        has_line(r.out, "skip: user_allowed_paths \"" + scratch.path() +
                            "/line\\nbreak\": absent: No such file or directory (os error 2)"))
        << r.out;
    EXPECT_TRUE(has_line(r.out, "home: \"" + home + "\"")) << r.out;

    const bool landlock = lines[2].rfind("kernel support: available", 0) == 0;
    if (landlock) {
        EXPECT_TRUE(has_line_starting(r.out, "rule: worktree_path \"work\": Execute | WriteFile"))
            << r.out;
        EXPECT_TRUE(has_line(r.out, "rule: tool_dirs \"" + tools + "\": " + kRead)) << r.out;
        EXPECT_TRUE(
            has_line(r.out, "rule: tool_dirs \"" + tool +
                                "\": Execute | ReadFile (not a directory: removed ReadDir)"))
            << r.out;
        EXPECT_TRUE(has_line(r.out, "rule: system \"/usr\": " + kRead)) << r.out;
        EXPECT_TRUE(has_line_starting(r.out, "rule: home \"" + home +
                                                 "\": WriteFile | ReadFile | RemoveFile | MakeReg"))
            << r.out;
        EXPECT_TRUE(has_line(r.out, "enforcement: partial")) << r.out; // the file rule is reduced
    } else {
        EXPECT_TRUE(has_line(r.out, "enforcement: not enforced")) << r.out;
    }
    const bool network = !has_line(r.out, "handled net: none (network not handled below level 4)");
    EXPECT_TRUE(has_line(r.out, network ? "port: 3128: ConnectTcp"
                                        : "port: none (network not handled below level 4)"))
        << r.out;
}

TEST(ExplainTest, FailureLinesAreTheLaunchers) {
    ScratchDir scratch;
    const std::vector<std::string> profiles = {
        scratch / "missing.json",
        scratch.write_file("not-utf8.json", "{\"worktree_path\": \"\xC3\"}"),
        scratch.write_file("not-json.json", "{\"worktree_path\": "),
        scratch.write_file("not-a-profile.json", "{\"worktree_path\": \"/w\"}"),
        scratch.path(), // a directory
    };
    for (const auto& profile : profiles) {
        const RunResult explained = run_process({kExplain, "--profile", profile});
        const RunResult launched = run_sandboxed(profile, {"/bin/true"});
        EXPECT_EQ(explained.status, 1) << profile;
        EXPECT_EQ(explained.out, "") << profile;
        EXPECT_EQ(explained.err, launched.err) << profile;
        EXPECT_EQ(launched.status, 1) << profile;
        EXPECT_FALSE(explained.err.empty()) << profile;
    }
}

TEST(ExplainTest, UsageLine) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{kExplain},
          {kExplain, "--profile"},
          {kExplain, "--json", "--json", "--profile", "p.json"},
          {kExplain, "--profile", "p.json", "--", "/bin/true"}}) {
        const RunResult r = run_process(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: morvik-sandbox-explain [--json] --profile <profile.json>\n");
    }
}

// More paths than the caller's soft limit on open files: planned, as the
// launcher plans them, under the hard limit.
TEST(ExplainTest, AsManyRulesAsTheLauncher) {
    ScratchDir scratch;
    const std::string profile = scratch.write_file(
        "p.json", profile_json({.worktree_path = scratch.make_dir("w"),
                                .git_dir = scratch / "w",
                                .tool_dirs = std::vector<std::string>(200, "/usr")}));
    const std::string limited = "ulimit -Sn 64 && exec \"$0\" --profile \"$@\"";
    EXPECT_EQ(run_process({"/bin/sh", "-c", limited, kLauncher, profile, "--", "true"}).err, "");
    EXPECT_EQ(run_process({"/bin/sh", "-c", limited, kExplain, profile}).err, "");
}

TEST(ExplainTest, AWriteErrorIsAFailure) {
    ScratchDir scratch;
    scratch.make_dir("work");
    const std::string profile = scratch.write_file(
        "p.json", profile_json({.worktree_path = scratch / "work", .git_dir = scratch / "work"}));
    const RunResult r = run_process(
        {"/bin/sh", "-c", "exec \"$0\" --profile \"$1\" >/dev/full", kExplain, profile});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to write output: No space left on device (os error 28)\n");
}

class ExplainNoLandlockTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
};

TEST_P(ExplainNoLandlockTest, SaysWhatTheKernelLacksAndPrintsNoWarning) {
    ScratchDir scratch;
    const std::string work = scratch.make_dir("work");
    const std::string profile = scratch.write_file(
        "p.json", profile_json({.worktree_path = work, .git_dir = work, .proxy_port = 1}));
    const RunResult r =
        run_process({kProbe, "without-landlock", GetParam().first, kExplain, "--profile", profile});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(has_line(r.out, std::string("kernel support: ") + GetParam().second)) << r.out;
    EXPECT_TRUE(has_line(r.out, "handled fs: none")) << r.out;
    EXPECT_TRUE(has_line(r.out, "skip: worktree_path \"" + work +
                                    "\": dropped: the kernel supports none of Execute | "
                                    "WriteFile | ReadFile | ReadDir | RemoveDir | RemoveFile | "
                                    "MakeChar | MakeDir | MakeReg | MakeSock | MakeFifo | "
                                    "MakeBlock | MakeSym"))
        << r.out;
    EXPECT_FALSE(has_line_starting(r.out, "rule: ")) << r.out;
    EXPECT_TRUE(has_line(r.out, "enforcement: not enforced")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Errors, ExplainNoLandlockTest,
                         ::testing::Values(std::pair{"ENOSYS", "missing"},
                                           std::pair{"EOPNOTSUPP", "disabled"}),
                         [](const auto& info) { return std::string(info.param.first); });

} // namespace
} // namespace morvik::e2e
