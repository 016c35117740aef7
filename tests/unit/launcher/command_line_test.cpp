#include "launcher/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvik::launcher {
namespace {

struct ScanCase {
    const char* name;
    std::vector<const char*> args;
    const char* profile; // nullptr: expect `error`
    std::size_t command_index;
    ScanError error;
};

TEST(ScanArguments, Table) {
    const std::vector<ScanCase> cases = {
        {"empty list", {}, nullptr, 0, ScanError::Usage},
        {"program name only", {"ms"}, nullptr, 0, ScanError::Usage},
        {"no separator", {"ms", "--profile", "p"}, nullptr, 0, ScanError::Usage},
        {"no profile", {"ms", "--", "ls"}, nullptr, 0, ScanError::Usage},
        {"separator as value", {"ms", "--profile", "--", "ls"}, nullptr, 0, ScanError::Usage},
        {"separator first", {"ms", "--", "ls", "--profile", "p"}, nullptr, 0, ScanError::Usage},
        {"option with value attached",
         {"ms", "--profile=p", "--", "ls"},
         nullptr,
         0,
         ScanError::Usage},
        {"nothing after separator",
         {"ms", "--profile", "p", "--"},
         nullptr,
         0,
         ScanError::NoCommand},
        {"plain", {"ms", "--profile", "p", "--", "ls"}, "p", 4, {}},
        {"ignored words", {"ms", "x", "--profile", "p", "y", "--", "ls", "-l"}, "p", 6, {}},
        {"first profile wins", {"ms", "--profile", "a", "--profile", "b", "--", "ls"}, "a", 6, {}},
        {"later separator is the command's",
         {"ms", "--profile", "p", "--", "sh", "--"},
         "p",
         4,
         {}},
        {"profile word at index 0", {"--profile", "p", "--", "ls"}, "p", 3, {}},
        {"empty command word", {"ms", "--profile", "p", "--", ""}, "p", 4, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = scan_arguments(c.args);
        if (c.profile == nullptr) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        } else {
            ASSERT_TRUE(result.has_value());
            EXPECT_STREQ(result->profile_path, c.profile);
            EXPECT_EQ(result->command_index, c.command_index);
        }
    }
}

TEST(ScanArguments, Messages) {
    EXPECT_EQ(message(ScanError::Usage), "Usage: morvik-sandbox {--profile <profile.json> | "
                                         "--profile-fd <fd>} [--status-fd <fd>] -- "
                                         "<command> [args...]");
    EXPECT_EQ(message(ScanError::NoCommand), "No command specified after --");
}

} // namespace
} // namespace morvik::launcher
