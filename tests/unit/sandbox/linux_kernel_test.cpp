// The real kernel: the seam's own calls in-process, confinement only in
// forked children.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

#include "sandbox/enforce.hpp"
#include "sandbox/linux_kernel.hpp"
#include "sandbox/plan.hpp"

namespace morvik::sandbox {
namespace {

namespace fs = std::filesystem;

TEST(LinuxKernel, SeamCalls) {
    Kernel& k = system_kernel();
    const SysResult fd = k.open_at(kCurrentDirectory, "/");
    ASSERT_GE(fd.value, 0);
    EXPECT_EQ(::fcntl(static_cast<int>(fd.value), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_TRUE(k.fstat(static_cast<int>(fd.value)).is_directory());
    EXPECT_EQ(k.close(static_cast<int>(fd.value)), 0);
    EXPECT_EQ(k.open_no_links(kCurrentDirectory, std::string("/\0x", 3)).error, EINVAL);
    EXPECT_EQ(k.open_at(kCurrentDirectory, std::string("x\0", 2)).error, EINVAL);
    EXPECT_EQ(k.read_file("/nonexistent-morvik").error, ENOENT);
    EXPECT_EQ(k.read_file("/proc/self/comm").error, 0);
}

int open_fd_count() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Runs `body` in a child; returns its exit status (or -1).
template <class F> int in_child(F body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class RealSandbox : public ::testing::Test {
  protected:
    void SetUp() override {
        if (system_kernel()
                .landlock_create_ruleset(nullptr, 0, kLandlockCreateRulesetVersion)
                .value <= 0)
            GTEST_SKIP() << "no Landlock";
        char tmpl[] = "/var/tmp/morvik-sandbox-test-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) GTEST_SKIP() << "no /var/tmp";
        root_ = tmpl;
        fs::create_directory(root_ / "allowed");
        fs::create_directory(root_ / "denied");
        profile_.worktree_path = root_ / "allowed";
    }
    void TearDown() override {
        if (!root_.empty()) fs::remove_all(root_);
    }
    bool can_create(const fs::path& p) {
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    }

    fs::path root_;
    profile::SandboxProfile profile_;
};

// Planning holds one descriptor per rule and confines nothing; enforcing
// closes them all and confines.
TEST_F(RealSandbox, PlanThenEnforce) {
    EXPECT_EQ(in_child([&] {
                  ::setenv("HOME", "/nonexistent-morvik", 1);
                  const int before = open_fd_count();
                  auto planned = plan(profile_, read_host(system_kernel()), system_kernel());
                  if (!planned) return 10;
                  if (open_fd_count() <= before) return 11;
                  if (!can_create(root_ / "denied" / "x")) return 12;
                  if (!enforce(*planned, system_kernel())) return 13;
                  if (open_fd_count() != before) return 14;
                  if (!can_create(root_ / "allowed" / "x")) return 15;
                  if (can_create(root_ / "denied" / "y")) return 16;
                  return 0;
              }),
              0);
}

} // namespace
} // namespace morvik::sandbox
