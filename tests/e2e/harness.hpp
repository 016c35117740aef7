// The one harness of the end-to-end tests: runs the built launcher (and the
// probe, tests/e2e/probe/main.cpp) as child processes, and checks tables of
// attempts made through it as root and as uid 65534.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace morvik::e2e {

inline const std::string kLauncher = MORVIK_SANDBOX_BIN;
inline const std::string kProbe = MORVIK_PROBE_BIN;
inline const std::string kSourceDir = MORVIK_SOURCE_DIR;

struct RunResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct RunOptions {
    std::optional<std::vector<std::string>> env{}; // default: inherit
    bool close_stdin = false;
    std::optional<uid_t> uid{}; // drop to this uid (and gid) before exec; needs root
    std::string cwd{};          // default: inherit
    int keep_fd = -1;           // an extra inherited descriptor, left open in the child
    std::optional<std::string> stdin_data{};
    std::string launcher = kLauncher; // for run_sandboxed
    std::string exec_path{};     // program to execute when argv[0] is not it (or argv is empty)
    bool ignore_sigpipe = false; // start the child with SIGPIPE ignored (else default)
    std::optional<unsigned long> memory_limit{}; // RLIMIT_AS in bytes
};

RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the launcher with `--profile profile -- command...`.
RunResult run_sandboxed(const std::string& profile, const std::vector<std::string>& command,
                        const RunOptions& options = {});

// A fresh directory under `parent` (by default /var/tmp: outside every
// directory the launcher grants), removed with its contents on destruction.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& parent = "/var/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }
    // Creates a directory below the scratch dir and returns its path.
    std::string make_dir(const std::string& name, mode_t mode = 0755) const;
    std::string write_file(const std::string& name, const std::string& content) const;
    // Copies `source` to `name` below the scratch dir with `mode`.
    std::string copy_file(const std::string& source, const std::string& name, mode_t mode) const;

  private:
    std::string path_;
};

// A TCP listener on a kernel-chosen loopback port, opened by the test
// (outside the sandbox).
class TcpListener {
  public:
    TcpListener();
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    [[nodiscard]] int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Renders a profile in object form. Lists are JSON string arrays.
struct RunAs {
    uid_t uid;
    gid_t gid;
};
struct ProfileSpec {
    std::string worktree_path{};
    std::string git_dir{};
    std::vector<std::string> agent_config_dirs{};
    std::vector<std::string> tool_dirs{};
    std::vector<std::string> user_allowed_paths{};
    std::optional<int> proxy_port{}; // a negative port is left out
    bool allow_udp = false;
    bool keep_capabilities = false;
    std::optional<int> minimum_landlock_abi{};
    bool log_denials = false;
    bool isolate_network = false;
    std::optional<RunAs> run_as{};
};
std::string profile_json(const ProfileSpec& spec);

std::string json_string(const std::string& s);

// The kernel's Landlock version, from its version query (0: the query fails).
int landlock_version();

// What a run came to, in the words of a table: what it printed (carriage
// returns and the last newline dropped), so with the probe "ok" or the name
// of the errno its attempt failed with; "ok" for a silent run with status 0;
// "status N" (": " and what it printed) for any other exit; the signal's
// name ("SIGSEGV") for a run a signal ended.
std::string outcome(const RunResult& r);

// Who runs the launcher: root (the test's own user) or uid 65534.
enum class Who { both, root, nobody };
inline void PrintTo(Who who, std::ostream* os) {
    *os << (who == Who::root ? "root" : who == Who::nobody ? "nobody" : "both");
}

// A feature of the host that a row needs (an architecture entry, a socket
// family, a device), and the probe that tries it. Before the row, that
// probe runs unconfined: one of `refusals` there means the host lacks the
// feature, and the row is skipped saying `lacks`; otherwise the probe must
// work, or be refused for want of privilege (EPERM, EACCES: the kernel got
// past the feature to a permission check).
struct Host {
    std::string lacks;
    std::vector<std::string> probe;
    std::vector<std::string> refusals;
};
inline const Host kI386Entry{"no i386 entry", {"foreign-socket", "int80"}, {"SIGSEGV"}};
inline const Host kX32Entry{"no x32 entry", {"foreign-socket", "x32"}, {"ENOSYS"}};
inline const Host kPacketSockets{"no packet sockets", {"socket", "17", "3", "0"}, {"EAFNOSUPPORT"}};
inline const Host kVsock{"no vsock", {"socket", "40", "1", "0"}, {"EAFNOSUPPORT"}};
inline const Host kAuditNetlink{
    "no audit netlink", {"socket", "16", "3", "9"}, {"EPROTONOSUPPORT"}};
inline const Host kMptcp{"no MPTCP (not built, or net.mptcp.enabled=0)",
                         {"socket", "2", "1", "262"},
                         {"EPROTONOSUPPORT", "ENOPROTOOPT"}};
inline const Host kIoUring{"no io_uring", {"io-uring-setup"}, {"ENOSYS"}};
inline const Host kLoopDevice{"no /dev/loop0", {"readwrite", "/dev/loop0"}, {"ENOENT"}};

// One row of an end-to-end table: one run of the launcher.
//   name     what is tried
//   command  a probe action and its arguments, or a program's path (beginning
//            with "/" or "$") and its arguments
//   expect   the run's outcome(): with the probe, "ok" or an errno's name
//   err      the launcher's standard error, exactly
//   profile  the fixture's profile with these settings (empty fields keep
//            the fixture's: work tree $w, git dir $w/.git, tool dir $s/tools,
//            the proxy port; a negative port leaves it out)
//   home     HOME for the run (default $h)
//   who      as root, as uid 65534, or both
//   host     a feature of the host the row needs (see Host)
//   abi      the Landlock version from which `expect` holds; below it the
//            kernel cannot refuse and the command must work ("ok")
//   wrapper  a command line that runs the launcher, outside the confinement
//            ({"$probe", "terminal"}: on a terminal of its own)
// In every string, "$s" stands for the scratch dir, "$w" for the work tree,
// "$h" for the home, "$probe" for the probe and "$port" for the proxy port.
// Rows run in order: one may prepare the next.
struct Row {
    std::string name = "";
    std::vector<std::string> command = {};
    std::string expect = "ok";
    std::string err = "";
    ProfileSpec profile = {};
    std::string home = "";
    Who who = Who::both;
    std::optional<Host> host = {};
    int abi = 0;
    std::vector<std::string> wrapper = {};
};

// The fixture of every attack table: a scratch tree with the work tree, a
// tool dir holding the probe and a copy of the launcher (reachable by uid
// 65534), a home (for root, also an agent config dir), a proxy listener,
// and the checker. Instantiate a suite with
// MORVIK_E2E_AS_ROOT_AND_NOBODY(Suite).
class Confined : public ::testing::TestWithParam<Who> {
  protected:
    void SetUp() override;
    void TearDown() override;
    [[nodiscard]] bool nobody() const { return GetParam() == Who::nobody; }

    // Runs every row that applies to this user, in order, and checks it.
    void check(const std::vector<Row>& rows);
    // One row's run, unchecked.
    RunResult launch(const Row& row);
    // Starts a probe server (serve-tcp, serve-unix, serve-abstract) outside
    // the confinement as this user; it is killed when the test ends.
    pid_t outside(const std::vector<std::string>& serve);
    // Gives `tree` to uid 65534 when that is who runs (check() and outside()
    // do so for the scratch dir).
    void hand_over(const std::string& tree) const;
    [[nodiscard]] std::string expand(std::string text) const;

    ScratchDir scratch_;
    TcpListener proxy_;
    int abi_ = landlock_version();
    std::string work_, home_, probe_, launcher_;

  private:
    RunOptions options(const Row& row) const;
    std::vector<std::string> command(const Row& row) const;
    std::string profile(const ProfileSpec& settings);
    std::map<std::string, std::string> profiles_; // text -> file
    std::map<std::string, std::string> hosts_;    // Host::lacks -> unconfined outcome
    std::vector<pid_t> servers_;
};

#define MORVIK_E2E_AS_ROOT_AND_NOBODY(suite)                                                       \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Users, suite, ::testing::Values(::morvik::e2e::Who::root, ::morvik::e2e::Who::nobody),     \
        [](const auto& info) {                                                                     \
            return std::string(info.param == ::morvik::e2e::Who::root ? "root" : "nobody");        \
        })

} // namespace morvik::e2e
