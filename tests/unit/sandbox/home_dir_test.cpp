#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sandbox/home_dir.hpp"
#include "sandbox/linux_kernel.hpp"
#include "support/fake_kernel.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace morvik::sandbox {
namespace {

using testing::FakeKernel;
using K = testing::FakeCall::Kind;
using ::testing::ElementsAre;

TEST(HomeDir, FromEnvironmentUnchanged) {
    for (const std::string home : {"/home/u", "/home/u/", "work", "/h\xFF"}) {
        FakeKernel k;
        k.env["HOME"] = home;
        k.passwd = {{1000, "/var/lib/svc"}};
        EXPECT_EQ(home_dir(k, 1000), home);
        EXPECT_THAT(k.kinds(), ElementsAre(K::Getenv));
    }
}

TEST(HomeDir, FromPasswordDatabase) {
    struct Case {
        const char* name;
        bool home_set_empty;
        long size_max;
        std::optional<FakeKernel::PasswdEntry> entry;
        int error;
        std::optional<std::string> want;
        std::size_t buflen;
    };
    const Case cases[] = {
        {"unset", false, 70, {{1000, "/var/lib/svc"}}, 0, "/var/lib/svc", 70},
        {"empty HOME", true, 70, {{1000, "/var/lib/svc"}}, 0, "/var/lib/svc", 70},
        {"no limit stated", false, -1, {{1000, "/var/lib/svc"}}, 0, "/var/lib/svc", 512},
        {"no entry", false, 70, std::nullopt, 0, std::nullopt, 70},
        {"other uid only", false, 70, {{0, "/root"}}, 0, std::nullopt, 70},
        {"empty pw_dir", false, 70, {{1000, ""}}, 0, std::nullopt, 70},
        {"too large", false, 70, {{1000, std::string(80, 'd')}}, 0, std::nullopt, 70},
        {"error", false, 70, {{1000, "/x"}}, EIO, std::nullopt, 70},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel k;
        if (c.home_set_empty) k.env["HOME"] = "";
        k.pw_size_max = c.size_max;
        k.passwd = c.entry;
        k.getpwuid_error = c.error;
        EXPECT_EQ(home_dir(k, 1000), c.want);
        EXPECT_THAT(k.kinds(), ElementsAre(K::Getenv, K::Sysconf, K::Getpwuid));
        const auto q = k.of(K::Getpwuid).at(0);
        EXPECT_EQ(q.option, 1000); // the uid asked for
        EXPECT_EQ(q.size, c.buflen);
    }
}

} // namespace
} // namespace morvik::sandbox

namespace morvik::sandbox {
namespace {

// The real lookup: with HOME unset, the password database entry of the real
// user; with HOME set, HOME unchanged.
TEST(HomeDirLinux, FallsBackToThePasswordDatabase) {
    const char* saved = ::getenv("HOME");
    const std::string saved_home = saved != nullptr ? saved : "";
    ::unsetenv("HOME");
    const passwd* entry = ::getpwuid(::getuid());
    const auto unset = home_dir(system_kernel(), ::getuid());
    ::setenv("HOME", "relative/dir/", 1);
    const auto set = home_dir(system_kernel(), ::getuid());
    if (saved != nullptr) {
        ::setenv("HOME", saved_home.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
    if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] != '\0') {
        EXPECT_EQ(unset, std::optional<std::string>(entry->pw_dir));
    } else {
        EXPECT_EQ(unset, std::nullopt);
    }
    EXPECT_EQ(set, std::optional<std::string>("relative/dir/"));
}

} // namespace
} // namespace morvik::sandbox
