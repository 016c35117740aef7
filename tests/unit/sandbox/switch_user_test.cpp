// The user switch on the real kernel, as root, each case in a forked child
// that first joins two supplementary groups.
#include "sandbox/switch_user.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/linux_kernel.hpp"

namespace morvik::sandbox {
namespace {

TEST(SwitchUser, AsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const auto nobody = [] {
        (void)!::setresgid(65534, 65534, 65534);
        (void)!::setresuid(65534, 65534, 65534);
    };
    const struct {
        void (*setup)();
        profile::RunAs ids;
        const char* expected; // the failure line, or uid/gid/groups and whether setuid(0) works
    } cases[] = {
        {[] {}, {65534, 65534}, "65534/65534/0"},
        {[] { ::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP, 0, 0, 0); },
         {1000, 1000},
         "Failed to switch user: capabilities remain after the change of uid"},
        {nobody,
         {1000, 1000},
         "Failed to switch user: the launcher runs as uid 65534 without CAP_SETUID and CAP_SETGID"},
        {nobody, {65534, 65534}, "65534/65534/2"}, // its own ids: nothing changes
    };
    for (const auto& c : cases) {
        if (const pid_t pid = ::fork(); pid != 0) {
            int status = -1;
            ::waitpid(pid, &status, 0);
            EXPECT_EQ(status, 0) << c.expected;
            continue;
        }
        const gid_t groups[] = {4, 27};
        (void)!::setgroups(2, groups);
        c.setup();
        const auto result = switch_user(system_kernel(), c.ids);
        std::string got = std::to_string(::getuid()) + "/" + std::to_string(::getgid()) + "/" +
                          std::to_string(::getgroups(0, nullptr));
        if (::setuid(0) == 0) got += " uid 0 again";
        if (!result) got = result.error();
        if (got != c.expected) std::fprintf(stderr, "got: %s\n", got.c_str());
        ::_exit(got == c.expected ? 0 : 1);
    }
}

} // namespace
} // namespace morvik::sandbox
