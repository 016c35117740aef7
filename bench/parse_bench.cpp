// Throughput of parse_profile on large, deterministic inputs generated in
// memory. Prints MB/s, the MB/s of a "floor" (one memchr pass for '"' over the
// same bytes, measured in the same run), their ratio, and how time grows from
// a 10x smaller input. Not a test: it asserts nothing about timing.
//
//   parse_bench [runs] [input]   (default 5 runs, best one counts; all inputs,
//                                or only the one named, e.g. mixed-values)
#include <malloc.h>

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
        for (int i = 0; i < 64; ++i) {
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

// (2) A valid profile with `n` tool_dirs entries.
std::string many_tool_dirs(std::size_t n) {
    std::string out = kHead;
    out += R"(,"tool_dirs":[)";
    char buf[64];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s\"/opt/tools/t%07zu/bin\"", i ? "," : "", i);
        out += buf;
    }
    out += "]}";
    return out;
}

// (3) A valid profile with an unknown key nested `depth` levels deep.
std::string deep_nesting(std::size_t depth) {
    std::string out = kHead;
    out += R"(,"tool_dirs":[],"deep":)";
    for (std::size_t i = 0; i < depth; ++i)
        out += (i % 2) ? "{\"k\":" : "[";
    out += "0";
    for (std::size_t i = depth; i-- > 0;)
        out += (i % 2) ? "}" : "]";
    out += '}';
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

void report(const char* name, const std::string& big, const std::string& small, int runs) {
    const double mb = static_cast<double>(big.size()) / 1e6;
    const double t_parse = parse_seconds(big, runs);
    const double t_floor = floor_seconds(big, runs);
    const double t_small = parse_seconds(small, runs * 3);
    const double parse_mbs = mb / t_parse;
    const double floor_mbs = mb / t_floor;
    std::printf("%-16s %8.1f MB  parse %8.1f MB/s  floor %8.1f MB/s  ratio %.2f  "
                "10x-linearity %.2f (%.1f ms vs %.2f ms for %.1f MB)\n",
                name, mb, parse_mbs, floor_mbs, parse_mbs / floor_mbs, t_parse / t_small,
                t_parse * 1e3, t_small * 1e3, static_cast<double>(small.size()) / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string only = argc > 2 ? argv[2] : "";
    const auto wanted = [&only](const char* name) { return only.empty() || only == name; };
    // Keep freed memory in the process between runs, so that the best run
    // measures the reader and not the kernel's page faults on fresh memory.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    if (wanted("mixed-values")) {
        const std::string big = mixed_values(100'000'000);
        const std::string small = mixed_values(10'000'000);
        report("mixed-values", big, small, runs);
    }
    if (wanted("record-values")) {
        const std::string big = record_values(100'000'000);
        const std::string small = record_values(10'000'000);
        report("record-values", big, small, runs);
    }
    if (wanted("1M-tool_dirs")) {
        const std::string big = many_tool_dirs(1'000'000);
        const std::string small = many_tool_dirs(100'000);
        report("1M-tool_dirs", big, small, runs);
    }
    if (wanted("10M-deep")) {
        const std::string big = deep_nesting(10'000'000);
        const std::string small = deep_nesting(1'000'000);
        report("10M-deep", big, small, runs);
    }
    return 0;
}
