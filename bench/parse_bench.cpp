// Time of parse_profile on deterministic profiles of 1 KB, 64 KB and 1 MB
// generated in memory, next to a "floor" (one memchr pass for '"' over the
// same bytes) measured in the same run. Not a test: it asserts nothing about
// timing.
//
//   parse_bench [runs] [input]   (default 5 runs, best one counts; all inputs,
//                                or only the one named, e.g. mixed-values)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "profile/parse_profile.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Rng {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
};

const char* const kHead =
    R"({"worktree_path":"/home/u/w","git_dir":"/home/u/w/.git","agent_config_dirs":["/home/u/.agent"],)"
    R"("user_allowed_paths":[],"allowed_domains":["example.org"],"env_passthrough":["PATH"],"proxy_port":3128)";

void gen_string(Rng& r, std::string& out) {
    out += '"';
    const std::uint32_t len = 4 + r.below(40);
    for (std::uint32_t i = 0; i < len; ++i) {
        const std::uint32_t k = r.below(64);
        if (k == 0)
            out += "\\n";
        else if (k == 1)
            out += "\\\"";
        else if (k == 2)
            out += "\\u00e9";
        else if (k == 3)
            out += "\\\\";
        else if (k == 4)
            out += "\xC3\xA9"; // é, raw UTF-8
        else
            out += static_cast<char>('a' + static_cast<char>(k % 26));
    }
    out += '"';
}

void gen_number(Rng& r, std::string& out) {
    char buf[48];
    int n = 0;
    switch (r.below(5)) {
    case 0:
        n = std::snprintf(buf, sizeof buf, "%u", r.next());
        break;
    case 1:
        n = std::snprintf(buf, sizeof buf, "-%u", r.below(1000));
        break;
    case 2:
        n = std::snprintf(buf, sizeof buf, "%u.%u", r.below(100000), r.below(1000));
        break;
    case 3:
        n = std::snprintf(buf, sizeof buf, "%u.5e%c%u", r.below(10), r.below(2) ? '-' : '+',
                          r.below(300));
        break;
    default:
        n = std::snprintf(buf, sizeof buf, "0");
        break;
    }
    out.append(buf, static_cast<std::size_t>(n));
}

void gen_value(Rng& r, std::string& out, int depth) {
    const std::uint32_t k = r.below(depth >= 4 ? 6 : 9);
    switch (k) {
    case 0:
    case 1:
        gen_string(r, out);
        break;
    case 2:
    case 3:
        gen_number(r, out);
        break;
    case 4:
        out += "true";
        break;
    case 5:
        out += r.below(2) ? "false" : "null";
        break;
    case 6:
    case 7: {
        out += '[';
        const std::uint32_t n = r.below(7);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (i) out += r.below(4) ? "," : ", ";
            gen_value(r, out, depth + 1);
        }
        out += ']';
        break;
    }
    default: {
        out += '{';
        const std::uint32_t n = r.below(6);
        for (std::uint32_t i = 0; i < n; ++i) {
            if (i) out += r.below(4) ? "," : ",\n  ";
            gen_string(r, out);
            out += r.below(3) ? ":" : ": ";
            gen_value(r, out, depth + 1);
        }
        out += '}';
    }
    }
}

// (1) A valid profile whose unknown keys hold ~`bytes` of mixed values.
std::string mixed_values(std::size_t bytes) {
    Rng r{42};
    std::string out = kHead;
    out += R"(,"tool_dirs":[])";
    for (std::size_t key = 0; out.size() < bytes; ++key) {
        out += ",\n\"unknown_";
        out += std::to_string(key);
        out += "\": [";
        for (int i = 0; i < 8; ++i) {
            if (i) out += ',';
            gen_value(r, out, 0);
        }
        out += ']';
    }
    out += "}\n";
    return out;
}

// (1b) Record-like: the same value forms, in the regular shape most JSON has
// (arrays of objects with one schema), so branches are predictable.
std::string record_values(std::size_t bytes) {
    Rng r{7};
    std::string out = kHead;
    out += R"(,"tool_dirs":[],"records":[)";
    char buf[256];
    for (std::size_t i = 0; out.size() < bytes; ++i) {
        const int n = std::snprintf(
            buf, sizeof buf,
            R"(%s{"id":%zu,"name":"record number %zu with a \"quoted\" part","path":"/srv/data/%08x/file.txt",)"
            R"("score":%u.%03ue-%u,"delta":-%u,"ok":%s,"parent":null,"tags":["alpha","beta\u00e9",%u],"meta":{"a":[],"b":{}}})",
            i ? ",\n" : "", i, i, r.next(), r.below(1000), r.below(1000), r.below(30),
            r.below(100000), r.below(2) ? "true" : "false", r.below(100));
        out.append(buf, static_cast<std::size_t>(n));
    }
    out += "]}\n";
    return out;
}

// (2) A valid profile whose tool_dirs list holds ~`bytes` of paths.
std::string many_tool_dirs(std::size_t bytes) {
    std::string out = kHead;
    out += R"(,"tool_dirs":[)";
    char buf[64];
    for (std::size_t i = 0; out.size() < bytes; ++i) {
        std::snprintf(buf, sizeof buf, "%s\"/opt/tools/t%07zu/bin\"", i ? "," : "", i);
        out += buf;
    }
    out += "]}";
    return out;
}

double best_seconds(int runs, const std::function<void()>& fn) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        fn();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        best = std::min(best, s);
    }
    return best;
}

volatile std::size_t g_sink;

double parse_seconds(const std::string& text, int runs) {
    return best_seconds(runs, [&] {
        const auto result = morvik::profile::parse_profile(text);
        if (!result) {
            std::fprintf(stderr, "unexpected error: %s\n", result.error().to_string().c_str());
            std::exit(1);
        }
        g_sink = result->tool_dirs.size();
    });
}

double floor_seconds(const std::string& text, int runs) {
    return best_seconds(runs, [&] {
        std::size_t quotes = 0;
        const char* p = text.data();
        const char* const e = p + text.size();
        while ((p = static_cast<const char*>(
                    std::memchr(p, '"', static_cast<std::size_t>(e - p)))) != nullptr) {
            ++quotes;
            ++p;
        }
        g_sink = quotes;
    });
}

// Best time of `runs` batches, each parsing the text often enough to take
// about a millisecond, so that small profiles are not lost in clock noise.
void report(const char* name, const std::string& text, int runs) {
    const int reps = static_cast<int>(std::max<std::size_t>(1, 1'000'000 / text.size()));
    const double t_parse = best_seconds(runs,
                                        [&] {
                                            for (int i = 0; i < reps; ++i)
                                                (void)parse_seconds(text, 1);
                                        }) /
                           reps;
    const double t_floor = best_seconds(runs,
                                        [&] {
                                            for (int i = 0; i < reps; ++i)
                                                (void)floor_seconds(text, 1);
                                        }) /
                           reps;
    const double mb = static_cast<double>(text.size()) / 1e6;
    std::printf("%-14s %8zu bytes  parse %9.2f us %8.1f MB/s  floor %8.1f MB/s  ratio %.2f\n", name,
                text.size(), t_parse * 1e6, mb / t_parse, mb / t_floor, t_floor / t_parse);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string only = argc > 2 ? argv[2] : "";
    const auto wanted = [&only](const char* name) { return only.empty() || only == name; };
    struct Input {
        const char* name;
        std::string (*make)(std::size_t);
    };
    static constexpr Input kInputs[] = {
        {"mixed-values", mixed_values},
        {"record-values", record_values},
        {"tool_dirs", many_tool_dirs},
    };
    for (const Input& input : kInputs) {
        if (!wanted(input.name)) continue;
        for (const std::size_t bytes : {1'000UL, 64'000UL, 1'000'000UL})
            report(input.name, input.make(bytes), runs);
    }
    return 0;
}
