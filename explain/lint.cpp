#include "explain/lint.hpp"

#include <algorithm>
#include <utility>

#include "base/escape.hpp"
#include "explain/explain.hpp"
#include "profile/parse_profile.hpp"
#include "sandbox/path_walk.hpp"
#include "sandbox/plan.hpp"

namespace morvik::explain {
namespace {

using sandbox::Ancestry;
using sandbox::FileId;

// Edits that turn `a` into `b`: insertions, deletions, substitutions and
// swaps of two neighbouring characters (optimal string alignment).
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// A place the writable paths are compared with, when it exists here.
struct Place {
    std::string_view name;
    FileId id;
};

class Checker {
  public:
    Checker(sandbox::Kernel& kernel, const std::optional<std::string>& home)
        : walker_(kernel, {}, {}), home_(home) {
        root_ = identity("/");
        tmp_ = identity("/tmp");
        for (const std::string_view name : kSystemTrees)
            if (const auto id = identity(name)) trees_.push_back({name, *id});
        for (const std::string_view name : kSystemDirs)
            if (const auto id = identity(name)) dirs_.push_back({name, *id});
        if (home) {
            if (auto r = walker_.resolve(*home)) {
                if (auto chain = walker_.ancestry(*r)) home_chain_ = std::move(*chain);
            }
        }
    }

    // The warnings for the path `path` of `key`.
    void check(std::string_view key, const std::string& path, bool writable,
               std::vector<LintWarning>& out) {
        const auto warn = [&](std::string_view kind, std::string_view what) {
            out.push_back({kind, std::string(key), path,
                           std::string(key) + ' ' + quote_path(path) + ": " + std::string(what)});
        };
        if (path.empty()) return; // none: a profile without a work tree writes ""
        auto r = walker_.resolve(path);
        if (!r) {
            if (r.error().kind == sandbox::WalkError::Kind::Absent &&
                sandbox::absent_silently(r.error().error)) {
                warn("absent", "does not exist");
            }
            return;
        }
        if (!writable) return;
        const auto chain = walker_.ancestry(*r);
        if (!chain) return;
        const FileId self = chain->front();
        const auto on_chain = [&](const FileId& id) {
            return std::ranges::find(*chain, id) != chain->end();
        };
        const auto tree =
            std::ranges::find_if(trees_, [&](const Place& p) { return on_chain(p.id); });
        const auto dir = std::ranges::find_if(dirs_, [&](const Place& p) { return p.id == self; });
        if (root_ == self) {
            warn("root", "writable, and it is the root directory");
        } else if (!home_chain_.empty() && home_chain_.front() == self) {
            warn("home", "writable, and it is the home directory");
        } else if (std::ranges::find(home_chain_, self) != home_chain_.end()) {
            warn("home", "writable, and it holds the home directory " + quote_path(*home_));
        } else if (tree != trees_.end()) {
            warn("system_directory", std::string("writable, and it ") +
                                         (tree->id == self ? "is" : "lies in") +
                                         " the system directory " + std::string(tree->name));
        } else if (dir != dirs_.end()) {
            warn("system_directory",
                 "writable, and it is the system directory " + std::string(dir->name));
        }
        if (key == profile::kProfileKeys[0] && tmp_ && on_chain(*tmp_)) {
            warn("tmp_worktree", "the work tree lies in /tmp, which every run may write");
        }
    }

  private:
    std::optional<FileId> identity(std::string_view path) {
        const auto r = walker_.resolve(std::string(path));
        if (!r) return std::nullopt;
        return sandbox::id_of(r->st);
    }

    sandbox::PathWalker walker_;
    const std::optional<std::string>& home_;
    std::optional<FileId> root_;
    std::optional<FileId> tmp_;
    std::vector<Place> trees_;
    std::vector<Place> dirs_;
    Ancestry home_chain_; // empty when there is no home directory
};

} // namespace

std::optional<std::string_view> nearest_key(std::string_view key,
                                            std::span<const std::string_view> known) {
    std::optional<std::string_view> best;
    std::size_t best_distance = 0;
    for (const std::string_view candidate : known) {
        // Close enough: at most half the longer key's length in edits (two
        // for short keys). A length difference beyond that rules a key out
        // before the distance is computed, so a long key costs nothing.
        const std::size_t longer = std::max(key.size(), candidate.size());
        const std::size_t bound = std::max<std::size_t>(2, longer / 2);
        const std::size_t shorter = std::min(key.size(), candidate.size());
        if (longer - shorter > bound) continue;
        const std::size_t d = edit_distance(key, candidate);
        if (d <= bound && (!best || d < best_distance)) {
            best = candidate;
            best_distance = d;
        }
    }
    return best;
}

std::vector<LintWarning> lint(const profile::SandboxProfile& profile,
                              std::span<const std::string> unknown_keys,
                              const std::optional<std::string>& home, sandbox::Kernel& kernel) {
    std::vector<LintWarning> out;
    std::vector<std::string_view> seen;
    for (const std::string& key : unknown_keys) {
        if (std::ranges::find(seen, key) != seen.end()) continue;
        seen.push_back(key);
        std::string message = "unknown key `" + escape_name(key) + "`";
        if (const auto near = nearest_key(key, profile::kProfileKeys))
            message += " (did you mean `" + std::string(*near) + "`?)";
        out.push_back({"unknown_key", key, std::nullopt, std::move(message)});
    }

    Checker checker(kernel, home);
    checker.check(profile::kProfileKeys[0], profile.worktree_path, true, out);
    checker.check(profile::kProfileKeys[1], profile.git_dir, true, out);
    for (const auto& path : profile.agent_config_dirs)
        checker.check(profile::kProfileKeys[2], path, true, out);
    for (const auto& path : profile.tool_dirs)
        checker.check(profile::kProfileKeys[3], path, false, out);
    for (const auto& path : profile.user_allowed_paths)
        checker.check(profile::kProfileKeys[4], path, false, out);
    return out;
}

} // namespace morvik::explain
