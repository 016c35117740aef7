// Every shipped example profile, exercised the way its name says, from a
// scratch working directory (the examples use relative paths).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

struct ExampleCase {
    const char* profile;
    const char* script; // run by /bin/sh inside the sandbox
    int expected_status;
};

TEST(Examples, BehaveAsDescribed) {
    const std::vector<ExampleCase> cases = {
        {"quickstart.json", "echo hi > worktree/f && cat worktree/f >/dev/null", 0},
        {"quickstart.json", "echo hi > outside/f", 2},
        {"build-in-worktree.json",
         "toolchain/bin/tool && echo o > work/out && echo g > work/.git/x", 0},
        {"build-in-worktree.json", "echo hi > toolchain/bin/f", 2},
        {"tool-with-proxy.json", "tools/tool && cat reference-docs/r && echo c > agent-config/c",
         0},
        {"tool-with-proxy.json", "echo hi > reference-docs/f", 2},
        {"read-only-audit.json", "cat work/readme >/dev/null && ls work >/dev/null && tools/tool",
         0},
        {"read-only-audit.json", "echo hi > work/f", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + ": " + c.script);
        ScratchDir scratch;
        for (const char* d :
             {"work", "work/.git", "worktree", "worktree/.git", "toolchain", "toolchain/bin",
              "tools", "agent-config", "reference-docs", "outside"}) {
            scratch.make_dir(d);
        }
        for (const char* tool : {"toolchain/bin/tool", "tools/tool"}) {
            scratch.write_file(tool, "#!/bin/sh\nexit 0\n");
            ::chmod((scratch / tool).c_str(), 0755);
        }
        scratch.write_file("work/readme", "read me\n");
        scratch.write_file("reference-docs/r", "reference\n");
        const auto r = run_sandboxed(
            kSourceDir + "/examples/" + c.profile, {"/bin/sh", "-c", c.script},
            {.env = std::vector<std::string>{"HOME=/nonexistent", "PATH=/usr/bin:/bin"},
             .cwd = scratch.path()});
        EXPECT_EQ(r.status, c.expected_status) << r.err;
    }
}

} // namespace
} // namespace morvik::e2e
