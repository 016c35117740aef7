// A scriptable, recording fake of sandbox::Kernel for unit tests.
//
// Scripting: the version query answer (a level, or an errno such as ENOSYS /
// EOPNOTSUPP), refusals of create / add_rule (optionally only the n-th) /
// restrict_self / prctl SET and GET, a fake filesystem (directories, files,
// entries that fail to open, to fstat, or are interrupted by EINTR; symbolic
// links, owners and a working directory for the openat walk), the ABI
// file content, environment and password database.
//
// Recording: every call in order (`calls`, with the records' contents) and
// the descriptors handed out and closed (`open_fds()`, `bad_closes`).
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sandbox/enforce.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/plan.hpp"

namespace morvik::testing {

using sandbox::LandlockNetPortAttr;
using sandbox::LandlockPathBeneathAttr;
using sandbox::LandlockRulesetAttr;
using sandbox::ReadResult;
using sandbox::StatResult;
using sandbox::SysResult;

struct FakeCall {
    enum class Kind {
        VersionQuery,
        CreateRuleset,
        AddPathRule,
        AddNetRule,
        RestrictSelf,
        Prctl,
        OpenAt,
        OpenNoLinks,
        ReadLink,
        Fstat,
        Close,
        ReadFile,
        Getenv,
        Getuid,
        Sysconf,
        Getpwuid,
        Geteuid,
        Capget,
        Capset,
        InstallFilter,
    };
    FakeCall(Kind k, std::string t = {}) : kind(k), text(std::move(t)) {}

    Kind kind;
    std::string text;             // path or env name
    int fd = -1;                  // ruleset fd (AddRule/RestrictSelf), fd (Fstat/Close)
    int parent_fd = -1;           // AddPathRule
    int opened = -1;              // OpenAt, OpenNoLinks: the descriptor handed out
    std::string reached;          // OpenNoLinks: the path it led to (`text` is the one given)
    std::uint64_t handled_fs = 0; // CreateRuleset
    std::uint64_t handled_net = 0;
    std::uint64_t scoped = 0;
    std::size_t size = 0; // CreateRuleset / VersionQuery
    std::uint32_t flags = 0;
    std::uint64_t access = 0;        // AddPathRule / AddNetRule
    std::uint64_t port = 0;          // AddNetRule
    long option = 0;                 // Prctl option, Sysconf name
    unsigned long arg2 = 0;          // Prctl
    sandbox::SyscallFilter filter{}; // InstallFilter
};

class FakeKernel : public sandbox::Kernel {
  public:
    using Kind = FakeCall::Kind;

    struct Entry {
        unsigned mode = S_IFDIR | 0755;
        int open_error = 0;  // opening it fails with this errno
        int eintr = 0;       // the first n opens fail with EINTR
        int fstat_error = 0; // fstat of its descriptor fails with this errno
        std::string link;    // a symbolic link's text
        uid_t owner = 1000;
        std::uint64_t dev = 1;
    };
    struct PasswdEntry {
        uid_t uid;
        std::string dir;
    };

    // ---- script -------------------------------------------------------
    long version_result = 6; // >= 0: the version query's answer
    int version_error = 0;   // non-zero: the version query fails with it
    int create_error = 0;
    int add_rule_error = 0;
    int add_rule_fail_at = 0; // 1-based add_rule call to fail (0: every one, when error set)
    int restrict_error = 0;
    int prctl_set_error = 0;
    long prctl_get_result = 0; // when prctl_get_error == 0
    int prctl_get_error = 0;
    std::optional<std::string> abi_file; // content of any read_file; none: ENOENT
    int abi_file_error = ENOENT;
    std::map<std::string, Entry> files;
    std::map<std::string, std::string> env;
    uid_t uid = 1000;
    long pw_size_max = 70;
    std::optional<PasswdEntry> passwd;
    int getpwuid_error = 0;
    uid_t euid = 1000;
    sandbox::CapabilitySets caps{}; // what capget answers (error included)
    int capset_error = 0;
    int filter_error = 0;
    // prctl options (other than the no-new-privileges ones) that fail, with
    // their errno; PR_CAPBSET_DROP answers EINVAL from capability
    // `last_cap + 1` on, as the kernel does.
    std::map<int, int> prctl_errors;
    int last_cap = 40;

    void set_version(long v) { version_result = v, version_error = 0; }
    void set_no_landlock(int err = ENOSYS) { version_error = err; }
    std::string cwd = "/";
    bool no_openat2 = false; // open_no_links fails with ENOSYS

    FakeKernel() { files["/"] = Entry{}; }
    // Each adds the missing directories above `p` too.
    void add_dir(const std::string& p) { add(p, S_IFDIR | 0755); }
    void add_file(const std::string& p) { add(p, S_IFREG | 0644); }
    void add_link(const std::string& p, const std::string& target) {
        add(p, S_IFLNK | 0777, target);
    }
    void add_system_dirs() {
        for (const char* p : {"/usr", "/bin", "/lib", "/lib64", "/etc", "/sbin", "/run", "/sys",
                              "/tmp", "/proc", "/dev"})
            add_dir(p);
    }

    // ---- records ------------------------------------------------------
    std::vector<FakeCall> calls;
    std::set<int> live_fds;
    std::vector<int> bad_closes; // closes of descriptors not open

    [[nodiscard]] std::vector<FakeCall> of(Kind kind) const {
        std::vector<FakeCall> out;
        for (const auto& c : calls)
            if (c.kind == kind) out.push_back(c);
        return out;
    }
    [[nodiscard]] std::vector<Kind> kinds() const {
        std::vector<Kind> out;
        for (const auto& c : calls)
            out.push_back(c.kind);
        return out;
    }
    [[nodiscard]] std::size_t open_fds() const { return live_fds.size(); }

    // ---- Kernel -------------------------------------------------------
    SysResult landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                      std::uint32_t flags) override {
        FakeCall c{attr == nullptr ? Kind::VersionQuery : Kind::CreateRuleset};
        c.size = size;
        c.flags = flags;
        if (attr == nullptr) {
            calls.push_back(c);
            if (version_error != 0) return {-1, version_error};
            return {version_result, 0};
        }
        c.handled_fs = attr->handled_access_fs;
        c.handled_net = attr->handled_access_net;
        c.scoped = attr->scoped;
        calls.push_back(c);
        if (create_error != 0) return {-1, create_error};
        return {new_fd(), 0};
    }

    SysResult landlock_add_rule(int ruleset_fd, std::uint32_t rule_type, const void* rule_attr,
                                std::uint32_t flags) override {
        FakeCall c{rule_type == sandbox::kLandlockRulePathBeneath ? Kind::AddPathRule
                                                                  : Kind::AddNetRule};
        c.fd = ruleset_fd;
        c.flags = flags;
        if (c.kind == Kind::AddPathRule) {
            LandlockPathBeneathAttr a;
            std::memcpy(&a, rule_attr, sizeof a);
            c.access = a.allowed_access;
            c.parent_fd = a.parent_fd;
        } else {
            LandlockNetPortAttr a;
            std::memcpy(&a, rule_attr, sizeof a);
            c.access = a.allowed_access;
            c.port = a.port;
        }
        calls.push_back(c);
        ++add_rule_calls_;
        if (add_rule_error != 0 && (add_rule_fail_at == 0 || add_rule_fail_at == add_rule_calls_))
            return {-1, add_rule_error};
        return {0, 0};
    }

    SysResult landlock_restrict_self(int ruleset_fd, std::uint32_t flags) override {
        FakeCall c{Kind::RestrictSelf};
        c.fd = ruleset_fd;
        c.flags = flags;
        calls.push_back(c);
        if (restrict_error != 0) return {-1, restrict_error};
        return {0, 0};
    }

    sandbox::CapabilitySets capget() override {
        calls.push_back(FakeCall{Kind::Capget});
        return caps;
    }

    int capset(const sandbox::CapabilitySets& sets) override {
        calls.push_back(FakeCall{Kind::Capset});
        if (capset_error != 0) return capset_error;
        caps = sets;
        caps.error = 0;
        return 0;
    }

    int install_syscall_filter(const sandbox::SyscallFilter& filter) override {
        FakeCall c{Kind::InstallFilter};
        c.filter = filter;
        calls.push_back(c);
        return filter_error;
    }

    SysResult prctl(int option, unsigned long arg2, unsigned long, unsigned long,
                    unsigned long) override {
        FakeCall c{Kind::Prctl};
        c.option = option;
        c.arg2 = arg2;
        calls.push_back(c);
        if (option != sandbox::kPrSetNoNewPrivs && option != sandbox::kPrGetNoNewPrivs) {
            if (const auto it = prctl_errors.find(option); it != prctl_errors.end())
                return {-1, it->second};
            if (option == kPrCapbsetDrop && static_cast<long>(arg2) > last_cap) return {-1, EINVAL};
            return {0, 0};
        }
        if (option == sandbox::kPrSetNoNewPrivs) {
            if (prctl_set_error != 0) return {-1, prctl_set_error};
            return {0, 0};
        }
        if (prctl_get_error != 0) return {-1, prctl_get_error};
        return {prctl_get_result, 0};
    }

    // The name is one component, "/", "." or "..", taken from the
    // descriptor's path or `cwd`; the call records the path it reached.
    SysResult open_at(int dirfd, const std::string& name) override {
        std::string base = cwd;
        if (dirfd != sandbox::kCurrentDirectory) {
            if (!fd_paths_.contains(dirfd)) return {-1, EBADF};
            base = fd_paths_.at(dirfd);
        }
        const std::string path = name == "/" ? "/" : child(base, name);
        FakeCall c{Kind::OpenAt, path};
        c.fd = dirfd;
        calls.push_back(c);
        if (name.find('\0') != std::string::npos) return {-1, EINVAL};
        const auto dir = files.find(base);
        if (dir == files.end() || !S_ISDIR(dir->second.mode)) return {-1, ENOTDIR};
        auto it = files.find(path);
        if (it == files.end()) return {-1, ENOENT};
        if (it->second.eintr > 0) {
            --it->second.eintr;
            return {-1, EINTR};
        }
        if (it->second.open_error != 0) return {-1, it->second.open_error};
        const int fd = new_fd();
        fd_paths_[fd] = path;
        calls.back().opened = fd;
        return {fd, 0};
    }

    // The whole path from `cwd` or the root; a link anywhere fails with
    // ELOOP. The call records the path it reached.
    SysResult open_no_links(int dirfd, const std::string& path) override {
        FakeCall c{Kind::OpenNoLinks, path};
        c.fd = dirfd;
        calls.push_back(c);
        if (no_openat2) return {-1, ENOSYS};
        if (path.find('\0') != std::string::npos) return {-1, EINVAL};
        std::string at = path.starts_with('/') ? "/" : cwd;
        for (std::size_t i = 0; i <= path.size();) {
            const std::size_t end = std::min(path.find('/', i), path.size());
            const std::string name = path.substr(i, end - i);
            i = end + 1;
            if (name.empty() || name == ".") continue;
            if (!S_ISDIR(files.at(at).mode)) return {-1, ENOTDIR};
            const std::string next = child(at, name);
            const auto it = files.find(next);
            if (it == files.end()) return {-1, ENOENT};
            if (S_ISLNK(it->second.mode)) return {-1, ELOOP};
            at = next;
        }
        Entry& e = files.at(at);
        if (e.eintr > 0) {
            --e.eintr;
            return {-1, EINTR};
        }
        if (e.open_error != 0) return {-1, e.open_error};
        const int fd = new_fd();
        fd_paths_[fd] = at;
        calls.back().reached = at;
        calls.back().opened = fd;
        return {fd, 0};
    }

    ReadResult read_link(int fd) override {
        FakeCall c{Kind::ReadLink};
        c.fd = fd;
        calls.push_back(c);
        if (!fd_paths_.contains(fd)) return {EBADF, {}};
        const Entry& e = files.at(fd_paths_.at(fd));
        if (!S_ISLNK(e.mode)) return {ENOENT, {}};
        return {0, e.link};
    }

    StatResult fstat(int fd) override {
        FakeCall c{Kind::Fstat};
        c.fd = fd;
        calls.push_back(c);
        if (!live_fds.contains(fd) || !fd_paths_.contains(fd)) return {EBADF, 0};
        const std::string& path = fd_paths_.at(fd);
        const Entry& e = files.at(path);
        if (e.fstat_error != 0) return {e.fstat_error, 0};
        const auto ino = inodes_.try_emplace(path, inodes_.size() + 1).first->second;
        return {0, e.mode, e.dev, ino, e.owner};
    }

    // The path a descriptor was opened on ("" when unknown).
    [[nodiscard]] std::string path_of(int fd) const {
        const auto it = fd_paths_.find(fd);
        return it == fd_paths_.end() ? std::string() : it->second;
    }

    int close(int fd) override {
        FakeCall c{Kind::Close};
        c.fd = fd;
        calls.push_back(c);
        if (live_fds.erase(fd) == 0) {
            bad_closes.push_back(fd);
            return EBADF;
        }
        fd_paths_.erase(fd);
        return 0;
    }

    ReadResult read_file(const std::string& path) override {
        calls.push_back(FakeCall{Kind::ReadFile, path});
        if (!abi_file) return {abi_file_error, {}};
        return {0, *abi_file};
    }

    std::optional<std::string> getenv(const char* name) override {
        calls.push_back(FakeCall{Kind::Getenv, name});
        auto it = env.find(name);
        if (it == env.end()) return std::nullopt;
        return it->second;
    }

    uid_t getuid() override {
        calls.push_back(FakeCall{Kind::Getuid, {}});
        return uid;
    }

    uid_t geteuid() override {
        calls.push_back(FakeCall{Kind::Geteuid, {}});
        return euid;
    }

    static constexpr int kPrCapbsetDrop = 24;

    long sysconf(int name) override {
        FakeCall c{Kind::Sysconf};
        c.option = name;
        calls.push_back(c);
        return pw_size_max;
    }

    int getpwuid_r(uid_t u, struct passwd* pwd, char* buf, std::size_t buflen,
                   struct passwd** result) override {
        FakeCall c{Kind::Getpwuid};
        c.option = u;
        c.size = buflen;
        calls.push_back(c);
        *result = nullptr;
        if (getpwuid_error != 0) return getpwuid_error;
        if (!passwd || passwd->uid != u) return 0;
        if (passwd->dir.size() + 1 > buflen) return ERANGE;
        std::memcpy(buf, passwd->dir.c_str(), passwd->dir.size() + 1);
        pwd->pw_dir = buf;
        *result = pwd;
        return 0;
    }

  private:
    static std::string child(const std::string& base, const std::string& name) {
        if (name == ".") return base;
        if (name == "..") return base.substr(0, std::max<std::size_t>(base.rfind('/'), 1));
        return base == "/" ? "/" + name : base + "/" + name;
    }
    void add(const std::string& p, unsigned mode, const std::string& link = {}) {
        Entry e;
        e.mode = mode;
        e.link = link;
        for (std::size_t slash = p.find('/', 1); slash != std::string::npos;
             slash = p.find('/', slash + 1))
            files.try_emplace(p.substr(0, slash), Entry{});
        files[p] = std::move(e);
    }
    int new_fd() {
        const int fd = next_fd_++;
        live_fds.insert(fd);
        return fd;
    }
    int next_fd_ = 100;
    int add_rule_calls_ = 0;
    std::map<int, std::string> fd_paths_;
    std::map<std::string, std::uint64_t> inodes_;
};

// What planning and enforcing `profile` on a kernel came to, as the
// launcher would print it: the failure line (empty on success), else the
// warnings.
struct Confined {
    std::string failure;
    std::vector<std::string> warnings;
};

inline Confined confine(const profile::SandboxProfile& profile, sandbox::Kernel& kernel) {
    auto plan = sandbox::plan(profile, sandbox::read_host(kernel, profile.run_as), kernel);
    if (!plan) return {plan.error().line, {}};
    if (auto r = sandbox::enforce(*plan, kernel); !r) return {r.error(), {}};
    return {"", plan->warnings};
}

} // namespace morvik::testing
