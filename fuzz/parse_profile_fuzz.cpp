// libFuzzer target for parse_profile: any byte string must end in a record or
// one error, without crash, hang or undefined behaviour. Also checks that
// the error position is consistent with the input and that an accepted
// record survives a round trip through a canonical serialisation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "profile/parse_profile.hpp"

namespace {

using morvik::profile::SandboxProfile;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void put_string(std::string& out, std::string_view s) {
    static const char* const hex = "0123456789abcdef";
    out += '"';
    for (const unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void put_list(std::string& out, const char* key, const std::vector<std::string>& list) {
    out += ",\"";
    out += key;
    out += "\":[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        put_string(out, list[i]);
    }
    out += ']';
}

std::string serialise(const SandboxProfile& p) {
    std::string out = "{\"worktree_path\":";
    put_string(out, p.worktree_path);
    out += ",\"git_dir\":";
    put_string(out, p.git_dir);
    put_list(out, "agent_config_dirs", p.agent_config_dirs);
    put_list(out, "tool_dirs", p.tool_dirs);
    put_list(out, "user_allowed_paths", p.user_allowed_paths);
    put_list(out, "allowed_domains", p.allowed_domains);
    put_list(out, "env_passthrough", p.env_passthrough);
    if (p.proxy_port) out += ",\"proxy_port\":" + std::to_string(*p.proxy_port);
    const auto flag = [&](const char* key, bool on) {
        if (on) out += std::string(",\"") + key + "\":true";
    };
    flag("allow_udp", p.allow_udp);
    flag("keep_capabilities", p.keep_capabilities);
    flag("log_denials", p.log_denials);
    flag("isolate_network", p.isolate_network);
    if (p.minimum_landlock_abi)
        out += ",\"minimum_landlock_abi\":" + std::to_string(*p.minimum_landlock_abi);
    if (p.run_as) {
        out += ",\"run_as\":{\"uid\":" + std::to_string(p.run_as->uid) +
               ",\"gid\":" + std::to_string(p.run_as->gid) + "}";
    }
    out += '}';
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto result = morvik::profile::parse_profile(text);
    if (!result) {
        const auto& err = result.error();
        if (err.message.empty() || err.line == 0) die("empty message or line 0");
        // Recover the offset from line/column and check it lies in the text.
        std::size_t offset = 0;
        std::size_t line = 1;
        while (line < err.line) {
            const std::size_t nl = text.find('\n', offset);
            if (nl == std::string_view::npos) die("line beyond the text");
            offset = nl + 1;
            ++line;
        }
        if (offset + err.column > size) die("column beyond the text");
        if (text.substr(offset, err.column).find('\n') != std::string_view::npos)
            die("column spans a line feed");
        if (err.to_string().find(" at line ") == std::string::npos) die("display form");
        return 0;
    }
    // The combinations the reader refuses never come out of it.
    if (result->run_as && (result->keep_capabilities || result->run_as->uid == 4294967295U ||
                           result->run_as->gid == 4294967295U ||
                           (result->run_as->gid == 0 && result->run_as->uid != 0)))
        die("accepted run_as the reader refuses");
    if (result->isolate_network && result->proxy_port == 0)
        die("accepted isolate_network on port 0");
    // Paths containing raw bytes that are not valid UTF-8 still round-trip,
    // since the serialiser copies bytes.
    const std::string again = serialise(*result);
    const auto reparsed = morvik::profile::parse_profile(again);
    if (!reparsed || !(*reparsed == *result)) die("accepted record does not round-trip");
    return 0;
}
