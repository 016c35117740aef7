// Helpers for end-to-end tests: run a program as a child process with
// captured output, and scratch directories outside every granted tree.
#pragma once

#include <sys/types.h>

#include <optional>
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
    bool stdin_pipe = false; // standard input on a pipe the test closes (Started::close_stdin)
};

// A child process whose output the test reads while it runs.
class Started {
  public:
    explicit Started(const std::vector<std::string>& argv, const RunOptions& options = {});
    // A process still running is killed and reaped.
    ~Started();
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // The next line of standard output, without its line feed; none at end
    // of file or after `timeout_ms`.
    std::optional<std::string> read_line(int timeout_ms = 10000);
    // Reads until end of file on standard output and error; false when
    // `timeout_ms` passed first.
    bool read_to_eof(int timeout_ms = -1);
    void close_stdin();
    // Reads to end of file, reaps the process and returns what it wrote.
    RunResult wait();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int in_ = -1;
    RunResult result_;
};

RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the launcher with `--profile profile -- command...`.
RunResult run_sandboxed(const std::string& profile, const std::vector<std::string>& command,
                        const RunOptions& options = {});

// A fresh directory under /var/tmp (outside every directory the launcher
// grants), removed with its contents on destruction.
class ScratchDir {
  public:
    ScratchDir();
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
    // Hands the whole tree to `uid` (for unprivileged runs).
    void chown_all(uid_t uid) const;

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
};
std::string profile_json(const ProfileSpec& spec);

std::string json_string(const std::string& s);

} // namespace morvik::e2e
