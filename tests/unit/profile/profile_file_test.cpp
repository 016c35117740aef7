// Reading the profile file: the size bound and the failures, on real files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "profile/profile_file.hpp"

namespace morvik::profile {
namespace {

class ProfileFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/var/tmp/morvik-profile-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const char* name : {"small", "limit", "over", "bad"})
            ::unlink((dir_ + "/" + name).c_str());
        ::rmdir(dir_.c_str());
    }
    // A file of `size` bytes: `text`, then a hole (zero bytes).
    std::string make(const char* name, const std::string& text, off_t size) {
        const std::string path = dir_ + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        EXPECT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        return path;
    }
    std::string dir_;
};

TEST_F(ProfileFileTest, SizeBoundAndFailures) {
    const off_t limit = static_cast<off_t>(kMaxProfileSize);
    struct Case {
        std::string path;
        std::optional<std::size_t> size; // read whole, this many bytes
        std::string error;               // else this text
    };
    const Case cases[] = {
        {make("small", "{}", 2), 2, ""},
        {make("limit", "{", limit), kMaxProfileSize, ""},
        {make("over", "{", limit + 1), {}, "larger than 64 MiB"},
        {"/dev/zero", {}, "larger than 64 MiB"},
        {make("bad", "\xff", 1), {}, "stream did not contain valid UTF-8"},
        {dir_, {}, "Is a directory (os error 21)"},
        {dir_ + "/missing", {}, "No such file or directory (os error 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto r = read_profile_file(c.path.c_str());
        if (c.size) {
            ASSERT_TRUE(r) << r.error().to_string();
            EXPECT_EQ(r->size(), *c.size);
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().to_string(), c.error);
        }
    }
}

// A regular file whose size says 0 (as /proc reports) is read to its end.
TEST_F(ProfileFileTest, FileLargerThanItsSizeIsReadToTheEnd) {
    const auto r = read_profile_file("/proc/self/status");
    ASSERT_TRUE(r);
    EXPECT_NE(r->find("\nPid:"), std::string::npos);
}

} // namespace
} // namespace morvik::profile
