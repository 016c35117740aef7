// The explainer against the recording fake kernel: the rules it shows must
// be exactly the rules enforcing the same plan adds, at every ABI level.
#include "explain/explain.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fake_kernel.hpp"

namespace morvik::explain {
namespace {

using sandbox::AccessFs;
using testing::FakeKernel;
using Kind = testing::FakeCall::Kind;

profile::SandboxProfile sample_profile(std::optional<std::uint16_t> port = 3128) {
    profile::SandboxProfile p;
    p.worktree_path = "/w";
    p.git_dir = "/w/.git"; // absent
    p.agent_config_dirs = {"/cfg"};
    p.tool_dirs = {"/tools/run.sh", "/tools"}; // a file, then a directory
    p.user_allowed_paths = {"/data"};
    p.proxy_port = port;
    return p;
}

struct Scenario {
    const char* name;
    std::function<void(FakeKernel&)> script;
    friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

void base_files(FakeKernel& k) {
    k.add_system_dirs();
    k.files.erase("/lib64");
    k.add_dir("/w");
    k.add_dir("/cfg");
    k.add_file("/tools/run.sh");
    k.add_dir("/tools");
    k.add_dir("/data");
    k.add_dir("/home/u");
    k.env["HOME"] = "/home/u";
}

const Scenario kScenarios[] = {
    {"Level1", [](FakeKernel& k) { k.set_version(1); }},
    {"Level3", [](FakeKernel& k) { k.set_version(3); }},
    {"Level4", [](FakeKernel& k) { k.set_version(4); }},
    {"Level6", [](FakeKernel& k) { k.set_version(6); }},
    {"Version9", [](FakeKernel& k) { k.set_version(9); }},
    {"Version10", [](FakeKernel& k) { k.set_version(10); }},
    {"NoLandlock", [](FakeKernel& k) { k.set_no_landlock(ENOSYS); }},
    {"Disabled", [](FakeKernel& k) { k.set_no_landlock(EOPNOTSUPP); }},
    // The ABI file asks for more than the kernel supports.
    {"File5Kernel2",
     [](FakeKernel& k) {
         k.abi_file = "5\n";
         k.set_version(2);
     }},
    {"File0", [](FakeKernel& k) { k.abi_file = "0"; }},
};

// One rule as the kernel saw it: a path (or a port) and its rights.
struct SeenRule {
    std::string target;
    std::uint64_t access;
};

// The rules recorded by the fake kernel; a path rule's path is that of the
// open that made its descriptor.
std::vector<SeenRule> recorded_rules(const FakeKernel& k) {
    std::vector<SeenRule> out;
    std::map<int, std::string> opened;
    for (const auto& c : k.calls) {
        if (c.kind == Kind::OpenAt) opened[c.opened] = c.text;
        if (c.kind == Kind::OpenNoLinks) opened[c.opened] = c.reached;
        if (c.kind == Kind::AddPathRule) out.push_back({opened.at(c.parent_fd), c.access});
        if (c.kind == Kind::AddNetRule) out.push_back({"port " + std::to_string(c.port), c.access});
    }
    return out;
}

// The rules as printed: "rule:" lines reduced to `"PATH": RIGHTS` (the row
// label and notes dropped), and the port line when it grants something.
std::vector<std::string> printed_rules(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string l = text.substr(start, end - start);
        start = end + 1;
        if (l.rfind("rule: ", 0) == 0) {
            const std::size_t quote = l.find('"');
            const std::size_t rights = l.find("\": ", quote + 1) + 3;
            out.push_back(l.substr(quote, l.find(" (", rights) - quote));
        } else if (l.rfind("port: ", 0) == 0 && l.find("none") == std::string::npos &&
                   l.find("dropped") == std::string::npos) {
            out.push_back(l);
        }
    }
    return out;
}

std::vector<std::string> as_printed(const std::vector<SeenRule>& rules) {
    std::vector<std::string> out;
    for (const auto& r : rules) {
        if (r.target.rfind("port ", 0) == 0) {
            out.push_back("port: " + r.target.substr(5) + ": " +
                          names(sandbox::AccessNet(r.access)));
        } else {
            out.push_back(quote_path(r.target) + ": " + names(AccessFs(r.access)));
        }
    }
    return out;
}

class SameRulesTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(SameRulesTest, ExplainedRulesAreTheRulesTheLauncherAdds) {
    for (const auto port : {std::optional<std::uint16_t>(3128), std::optional<std::uint16_t>()}) {
        const profile::SandboxProfile profile = sample_profile(port);
        FakeKernel k;
        base_files(k);
        GetParam().script(k);
        auto planned = sandbox::plan(profile, sandbox::read_host(k), k);
        ASSERT_TRUE(planned) << planned.error().line;
        const std::string text = render(*planned, profile);
        // Planning confined nothing.
        for (const Kind kind : {Kind::CreateRuleset, Kind::AddPathRule, Kind::AddNetRule,
                                Kind::RestrictSelf, Kind::Prctl, Kind::InstallFilter}) {
            EXPECT_TRUE(k.of(kind).empty()) << static_cast<int>(kind);
        }
        ASSERT_TRUE(sandbox::enforce(*planned, k));
        EXPECT_EQ(printed_rules(text), as_printed(recorded_rules(k)));
        const auto created = k.of(Kind::CreateRuleset);
        if (created.empty()) {
            EXPECT_NE(text.find("handled fs: none\n"), std::string::npos);
        } else {
            EXPECT_NE(text.find("handled fs: " + names(AccessFs(created[0].handled_fs)) + "\n"),
                      std::string::npos);
        }
        EXPECT_EQ(k.open_fds(), 0U);
        EXPECT_TRUE(k.bad_closes.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SameRulesTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

std::string explain_text(const std::function<void(FakeKernel&)>& script,
                         const profile::SandboxProfile& profile = sample_profile()) {
    FakeKernel k;
    base_files(k);
    script(k);
    const auto planned = sandbox::plan(profile, sandbox::read_host(k, profile.run_as), k);
    EXPECT_TRUE(planned);
    return planned ? render(*planned, profile) : std::string();
}

// The whole output for one kernel, as the format promises it.
TEST(RenderTest, FullOutputAtLevel4) {
    const std::string full4 = "Execute | WriteFile | ReadFile | ReadDir | RemoveDir | RemoveFile | "
                              "MakeChar | MakeDir | MakeReg | MakeSock | MakeFifo | MakeBlock | "
                              "MakeSym | Refer | Truncate";
    const std::string read = "Execute | ReadFile | ReadDir";
    std::string expected =
        "abi version: 4\n"
        "abi level: 4\n"
        "kernel support: available 4 (level 4)\n"
        "handled fs: " +
        full4 +
        "\n"
        "handled net: BindTcp | ConnectTcp\n"
        "unix sockets: not confined (needs Landlock version 9)\n"
        "udp: not confined (needs Landlock version 10)\n"
        "rule: worktree_path \"/w\": " +
        full4 +
        "\n"
        "skip: git_dir \"/w/.git\": absent: No such file or directory (os error 2)\n"
        "rule: agent_config_dirs \"/cfg\": " +
        full4 +
        "\n"
        "rule: tool_dirs \"/tools/run.sh\": Execute | ReadFile "
        "(not a directory: removed ReadDir)\n"
        "rule: tool_dirs \"/tools\": " +
        read +
        "\n"
        "rule: user_allowed_paths \"/data\": " +
        read + "\n";
    for (const char* dir : {"/usr", "/bin", "/lib"}) {
        expected += std::string("rule: system \"") + dir + "\": " + read + "\n";
    }
    expected += "skip: system \"/lib64\": absent: No such file or directory (os error 2)\n";
    for (const char* dir : {"/etc", "/sbin", "/run", "/sys"}) {
        expected += std::string("rule: system \"") + dir + "\": " + read + "\n";
    }
    expected += "rule: system \"/tmp\": " + full4 + "\n" + "rule: system \"/proc\": " + read +
                "\n" + "rule: system \"/dev\": " + full4 + "\n" +
                "home: \"/home/u\"\n"
                "rule: home \"/home/u\": WriteFile | ReadFile | RemoveFile | MakeReg | Truncate\n"
                "port: 3128: ConnectTcp\n"
                "enforcement: partial\n"
                "scopes: none (below level 6)\n"
                "log denials: off (log_denials not set)\n"
                "minimum abi: none (best effort)\n"
                "capabilities: none held\n"
                "filter tcp: allowed (the TCP rules above apply)\n"
                "filter udp: refused (allow_udp not set)\n"
                "filter set-id: allowed (no capabilities dropped)\n"
                "filter: refuses MPTCP, raw and other inet sockets, families but unix and netlink "
                "routing, TIOCSTI, TIOCLINUX, TIOCSETD, TIOCEXCL, io_uring, limits and "
                "scheduling of other processes and other architectures' calls; socketpair as "
                "socket\n";
    EXPECT_EQ(explain_text([](FakeKernel& k) { k.set_version(4); }), expected);
}

constexpr const char* kFull6 =
    "Execute | WriteFile | ReadFile | ReadDir | RemoveDir | RemoveFile | "
    "MakeChar | MakeDir | MakeReg | MakeSock | MakeFifo | MakeBlock | "
    "MakeSym | Refer | Truncate | IoctlDev";

struct LinesCase {
    const char* name;
    std::function<void(FakeKernel&)> script;
    std::optional<std::uint16_t> port;
    std::vector<std::string> present;
    std::vector<std::string> absent;
    bool allow_udp = false;
    friend void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }
};

class RenderLinesTest : public ::testing::TestWithParam<LinesCase> {};

TEST_P(RenderLinesTest, ShowsWhyAndWhat) {
    const LinesCase& c = GetParam();
    profile::SandboxProfile profile = sample_profile(c.port);
    profile.allow_udp = c.allow_udp;
    const std::string text = explain_text(c.script, profile);
    for (const auto& l : c.present)
        EXPECT_NE(text.find(l + "\n"), std::string::npos) << l << "\n" << text;
    for (const auto& l : c.absent)
        EXPECT_EQ(text.find(l), std::string::npos) << l << "\n" << text;
}

const LinesCase kLinesCases[] = {
    {"Level3NoNetwork",
     [](FakeKernel& k) { k.set_version(3); },
     3128,
     {"handled net: none (network not handled below level 4)",
      "port: none (network not handled below level 4)"},
     {"port: 3128"}},
    {"Level6NoPort",
     [](FakeKernel& k) { k.set_version(6); },
     std::nullopt,
     {"port: none (no proxy_port: no TCP port may be bound or connected)", "enforcement: partial"},
     {}},
    {"Missing",
     [](FakeKernel& k) { k.set_no_landlock(ENOSYS); },
     3128,
     {"abi version: 1", "kernel support: missing", "handled fs: none",
      "unsupported fs: Execute | WriteFile | ReadFile | ReadDir | RemoveDir | RemoveFile | "
      "MakeChar | MakeDir | MakeReg | MakeSock | MakeFifo | MakeBlock | MakeSym",
      "skip: system \"/usr\": dropped: the kernel supports none of Execute | ReadFile | ReadDir",
      "skip: tool_dirs \"/tools/run.sh\": dropped: the kernel supports none of Execute | "
      "ReadFile (not a directory: removed ReadDir)",
      "enforcement: not enforced"},
     {"rule:"}},
    {"Disabled",
     [](FakeKernel& k) { k.set_no_landlock(EOPNOTSUPP); },
     3128,
     {"kernel support: disabled", "enforcement: not enforced"},
     {"rule:"}},
    {"FileAsksMoreThanKernel",
     [](FakeKernel& k) {
         k.abi_file = " +5 ";
         k.set_version(2);
     },
     3128,
     {"abi version: 2", "abi level: 2", "kernel support: available 2 (level 2)",
      "handled net: none (network not handled below level 4)",
      "rule: home \"/home/u\": WriteFile | ReadFile | RemoveFile | MakeReg",
      "port: none (network not handled below level 4)"},
     {"unsupported"}},
    {"FileAsksLessThanKernel",
     [](FakeKernel& k) {
         k.abi_file = "3";
         k.set_version(7);
     },
     3128,
     {"abi version: 3", "abi level: 3", "kernel support: available 7 (level 6)",
      "handled net: none (network not handled below level 4)", "scopes: none (below level 6)"},
     {"unsupported"}},
    {"NoHome",
     [](FakeKernel& k) {
         k.set_version(6);
         k.env.clear();
     },
     3128,
     {"home: none"},
     {"rule: home"}},
    {"ProfilePathOutOfReach",
     [](FakeKernel& k) { k.files["/data"].open_error = EACCES; },
     3128,
     {"skip: user_allowed_paths \"/data\": cannot be looked up: Permission denied (os error 13)"},
     {}},
    {"HomeAbsent",
     [](FakeKernel& k) {
         k.set_version(6);
         k.files.erase("/home/u");
     },
     3128,
     {"home: \"/home/u\"",
      "skip: home \"/home/u\": absent: No such file or directory (os error 2)"},
     {}},
    {"Version7",
     [](FakeKernel& k) { k.set_version(7); },
     3128,
     {"abi version: 7", "abi level: 6", "kernel support: available 7 (level 6)",
      "enforcement: partial"},
     {"unsupported"}},
    {"Version9",
     [](FakeKernel& k) { k.set_version(9); },
     3128,
     {"handled fs: " + std::string(kFull6) + " | ResolveUnix",
      "unix sockets: connect only beneath worktree_path, git_dir and agent_config_dirs, and to "
      "sockets the command creates",
      "udp: not confined (needs Landlock version 10)",
      "rule: worktree_path \"/w\": " + std::string(kFull6) + " | ResolveUnix",
      "rule: system \"/tmp\": " + std::string(kFull6)},
     {"unsupported"}},
    {"Version10",
     [](FakeKernel& k) { k.set_version(10); },
     3128,
     {"handled net: BindTcp | ConnectTcp | BindUdp | ConnectSendUdp",
      "udp: none (no UDP port may be bound or sent to)", "port: 3128: ConnectTcp"},
     {"unsupported"}},
    {"Version10AllowUdp",
     [](FakeKernel& k) { k.set_version(10); },
     3128,
     {"handled net: BindTcp | ConnectTcp", "udp: not confined (allow_udp)"},
     {"Udp |"},
     true},
    {"File0Kernel7",
     [](FakeKernel& k) {
         k.abi_file = "0";
         k.set_version(7);
     },
     3128,
     {"abi version: 0", "abi level: 6",
      "rule: home \"/home/u\": WriteFile | ReadFile | RemoveFile | MakeReg"},
     {"unsupported"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, RenderLinesTest, ::testing::ValuesIn(kLinesCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Which protections are active for a profile on a kernel, and why one is not.
TEST(ExplainTest, ProtectionLines) {
    struct Case {
        const char* what;
        std::function<void(FakeKernel&)> kernel;
        std::function<void(profile::SandboxProfile&)> profile;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"version 7, everything asked",
         [](FakeKernel& k) { k.set_version(7); },
         [](profile::SandboxProfile& p) {
             p.log_denials = true, p.allow_udp = true, p.minimum_landlock_abi = 6;
         },
         {"scopes: AbstractUnixSocket | Signal", "log denials: on",
          "minimum abi: 6 (the kernel reports 7)", "filter udp: allowed (allow_udp)"}},
        {"version 6 cannot log",
         [](FakeKernel& k) { k.set_version(6); },
         [](profile::SandboxProfile& p) { p.log_denials = true; },
         {"log denials: off (the kernel reports a version below 7)"}},
        {"file says 0 (level 6), kernel knows 5",
         [](FakeKernel& k) { k.set_version(5), k.abi_file = "0"; },
         [](profile::SandboxProfile&) {},
         {"scopes: none (the kernel does not support them)"}},
        {"root",
         [](FakeKernel& k) { k.set_version(6), k.uid = 0, k.caps.permitted = ~0ULL; },
         [](profile::SandboxProfile&) {},
         {"capabilities: dropped (uid 0 or a capability held; /dev narrowed to its "
          "pseudo-devices)",
          "filter set-id: refused (capabilities dropped: no set-user-ID or set-group-ID mode, no "
          "openat2)"}},
        {"root holding none",
         [](FakeKernel& k) { k.set_version(6), k.uid = 0; },
         [](profile::SandboxProfile&) {},
         {"capabilities: dropped (uid 0 holding none: sets cleared, secure bits and bounding set "
          "left, no-new-privileges; /dev narrowed to its pseudo-devices)"}},
        {"root running the command as another uid",
         [](FakeKernel& k) { k.set_version(6), k.uid = 0, k.caps.permitted = ~0ULL; },
         [](profile::SandboxProfile& p) {
             p.run_as = profile::RunAs{65534, 65534};
         },
         {"capabilities: dropped (by the switch to uid 65534: every set emptied, the bounding "
          "set too, secure bits left, no-new-privileges; /dev narrowed to its pseudo-devices)"}},
        {"a capability with CAP_SETPCAP",
         [](FakeKernel& k) { k.set_version(6), k.caps.effective = 1ULL << 8; },
         [](profile::SandboxProfile&) {},
         {"capabilities: dropped (uid 0 or a capability held; /dev narrowed to its "
          "pseudo-devices)"}},
        {"a capability without CAP_SETPCAP",
         [](FakeKernel& k) { k.set_version(6), k.caps.effective = 1ULL << 12; },
         [](profile::SandboxProfile&) {},
         {"capabilities: dropped (a capability held without CAP_SETPCAP: sets cleared, bounding "
          "set kept, no-new-privileges; /dev narrowed to its pseudo-devices)",
          "filter set-id: refused (capabilities dropped: no set-user-ID or set-group-ID mode, no "
          "openat2)"}},
        {"root keeping its capabilities",
         [](FakeKernel& k) { k.set_version(6), k.uid = 0; },
         [](profile::SandboxProfile& p) { p.keep_capabilities = true; },
         {"capabilities: kept (keep_capabilities)",
          "filter set-id: allowed (no capabilities dropped)",
          "rule: system \"/dev\": "
          "Execute | WriteFile | ReadFile | ReadDir | "
          "RemoveDir | RemoveFile | MakeChar | MakeDir "
          "| MakeReg | MakeSock | MakeFifo | MakeBlock "
          "| MakeSym | Refer | Truncate | IoctlDev"}},
        {"no TCP rules, no port",
         [](FakeKernel& k) { k.set_version(3); },
         [](profile::SandboxProfile& p) { p.proxy_port.reset(); },
         {"filter tcp: refused (no TCP rules on this kernel and no proxy_port)"}},
        {"no TCP rules, a port",
         [](FakeKernel& k) { k.set_no_landlock(ENOSYS); },
         [](profile::SandboxProfile&) {},
         {"filter tcp: allowed (proxy_port, but no TCP rules on this kernel: any port)",
          "log denials: off (log_denials not set)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto profile = sample_profile();
        c.profile(profile);
        const std::string text = explain_text(c.kernel, profile);
        for (const auto& l : c.lines)
            EXPECT_NE(text.find(l + "\n"), std::string::npos) << l << "\n" << text;
    }
}

TEST(ExplainTest, PathThatCannotBeOpenedStopsWithTheLaunchersErrorAndWhatCameBefore) {
    FakeKernel k;
    base_files(k);
    k.set_version(6);
    k.files["/data"].open_error = EMFILE;
    const auto planned = sandbox::plan(sample_profile(), sandbox::read_host(k), k);
    ASSERT_FALSE(planned);
    EXPECT_EQ(planned.error().line, "Failed to apply Landlock rules: failed to open "
                                    "\"/data\": Too many open files (os error 24)");
    const std::string partial = render(planned.error().partial, sample_profile(), false);
    EXPECT_NE(partial.find("rule: tool_dirs \"/tools\""), std::string::npos);
    EXPECT_EQ(partial.find("/usr"), std::string::npos);
    EXPECT_EQ(partial.find("enforcement"), std::string::npos);
    EXPECT_EQ(k.open_fds(), 0U);
}

TEST(QuotePathTest, EveryPathStaysOnOneLineAndIsRecoverable) {
    const struct {
        std::string path;
        std::string quoted;
    } cases[] = {
        {"/plain/path", R"("/plain/path")"},
        {"", R"("")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"a\nb\tc\rd", R"("a\nb\tc\x0dd")"},
        {"c1\xC2\x85", R"("c1\xc2\x85")"}, // NEL, a line break to some readers
        {std::string("a\0b", 3), R"("a\x00b")"},
        {"\x01\x1f\x7f", R"("\x01\x1f\x7f")"},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
        {"bad\xFF", R"("bad\xff")"},
        {"cut\xC3", R"("cut\xc3")"},
        {"\xC3(", R"("\xc3(")"},
        {"\xED\xA0\x80", R"("\xed\xa0\x80")"}, // an encoded surrogate is not UTF-8
    };
    for (const auto& c : cases)
        EXPECT_EQ(quote_path(c.path), c.quoted) << c.quoted;
}

// A profile file in a fresh temporary directory.
class ProfileFile {
  public:
    explicit ProfileFile(const std::string& content) {
        char tmpl[] = "/tmp/morvik-explain-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        path_ = dir_ + "/p.json";
        FILE* f = std::fopen(path_.c_str(), "we");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    ~ProfileFile() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

Outcome run_with(std::vector<const char*> args) {
    FakeKernel k;
    base_files(k);
    k.set_version(6);
    args.insert(args.begin(), "morvik-sandbox-explain");
    return run(args, k);
}

TEST(RunTest, UsageLineForAnyOtherCommandLine) {
    const std::vector<std::vector<const char*>> cases = {
        {}, {"--profile"}, {"-p", "x.json"}, {"--profile", "x.json", "--"}, {"x.json", "--profile"},
    };
    for (const auto& args : cases) {
        const Outcome o = run_with(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, std::string(kUsage) + "\n");
    }
}

// The launcher's verdict on a link planted in a writable place, with the
// lines decided before it.
TEST(RunTest, ApplyFailureKeepsTheLinesBeforeIt) {
    const ProfileFile good(R"({"worktree_path": "/w", "git_dir": "/w", "agent_config_dirs": [],
        "tool_dirs": ["/w/sub/u"], "user_allowed_paths": [], "allowed_domains": [],
        "env_passthrough": []})");
    FakeKernel k;
    base_files(k);
    k.add_link("/w/sub", "/home");
    const std::vector<const char*> args = {"x", "--profile", good.path().c_str()};
    const Outcome o = run(args, k);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Failed to apply Landlock rules: symbolic link \"/w/sub\" -> \"/home\" lies "
                     "in a writable place and leads outside every writable place; refusing "
                     "\"/w/sub/u\"\n");
    EXPECT_NE(o.out.find("rule: git_dir \"/w\""), std::string::npos);
    EXPECT_EQ(o.out.find("tool_dirs"), std::string::npos);
    EXPECT_EQ(k.open_fds(), 0U);
}

// A home directory that is not granted shows the launcher's reason.
TEST(RunTest, HomeNotGrantedShowsWhy) {
    const ProfileFile good(R"({"worktree_path": "/w", "git_dir": "/w", "agent_config_dirs": [],
        "tool_dirs": [], "user_allowed_paths": [], "allowed_domains": [], "env_passthrough": []})");
    FakeKernel k;
    base_files(k);
    k.env["HOME"] = "/etc/x/..";
    const std::vector<const char*> args = {"x", "--profile", good.path().c_str()};
    k.add_dir("/etc/x");
    const Outcome o = run(args, k);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_NE(o.out.find("home: \"/etc/x/..\"\nskip: home \"/etc/x/..\": not granted: a "
                         "top-level directory\n"),
              std::string::npos)
        << o.out;
}

} // namespace
} // namespace morvik::explain
