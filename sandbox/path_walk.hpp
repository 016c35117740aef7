// Resolving a path one component at a time from descriptors, so that a
// symbolic link planted by a confined command in a place it could write to
// cannot redirect the rules of a later run.
//
// Every component is opened with openat(O_PATH | O_NOFOLLOW) relative to the
// descriptor of the directory before it; a symbolic link is read from its own
// descriptor and its text resolved in turn (from the root for an absolute
// text, else from the link's directory). A link whose directory lies beneath
// one of the `checked` places is followed only when what it leads to lies
// beneath one of the `anchors`, and so must, after such a link, the object
// the whole path leads to (a ".." after the link could leave its target).
// "Beneath" compares device and inode numbers while walking up with "..",
// never path text.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

struct FileId {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    friend auto operator<=>(const FileId&, const FileId&) = default;
};

[[nodiscard]] inline FileId id_of(const StatResult& st) noexcept {
    return {st.dev, st.ino};
}

// A file's identity, then those of the directories above it up to the root.
using Ancestry = std::vector<FileId>;

// True when `chain` passes through one of `places`.
[[nodiscard]] bool beneath(const Ancestry& chain, const std::vector<FileId>& places) noexcept;

// A symbolic link the walk did not follow.
struct LinkRefusal {
    std::string path;   // the path being resolved
    std::string link;   // where the walk met the link
    std::string target; // the link's text

    // "symbolic link "{link}" -> "{target}" lies in a writable place and
    // leads outside every writable place; refusing "{path}"" (names escaped).
    [[nodiscard]] std::string to_string() const;
    friend bool operator==(const LinkRefusal&, const LinkRefusal&) = default;
};

struct WalkError {
    enum class Kind : std::uint8_t {
        Absent,     // does not exist or cannot be looked up (`error`), as stat would fail
        Unopenable, // exists but a descriptor could not be had (`error`)
        Refused,    // `refusal`
    };
    Kind kind = Kind::Absent;
    int error = 0;
    LinkRefusal refusal{};
};

// The object a path leads to.
struct Resolved {
    UniqueFd fd; // O_PATH, close-on-exec
    StatResult st;
    // The directory it was found in: none for a directory reached by "..",
    // a start, or a path opened whole. The ancestry of a non-directory
    // needs it.
    UniqueFd dir;
    // Found directly in the root, which the walker holds (`dir` is none).
    bool in_root = false;
};

class PathWalker {
  public:
    PathWalker(Kernel& kernel, std::vector<FileId> checked, std::vector<FileId> anchors)
        : kernel_(kernel), checked_(std::move(checked)), anchors_(std::move(anchors)) {}

    // Resolves `path` from the root (absolute) or the working directory,
    // following at most 40 links. A NUL byte makes the path absent (EINVAL).
    [[nodiscard]] Expected<Resolved, WalkError> resolve(const std::string& path);

    // The identities of `r` and of every directory above it. For a
    // non-directory the chain continues from the directory it was found in
    // (ENOTDIR when that is not known).
    [[nodiscard]] Expected<Ancestry, int> ancestry(const Resolved& r);

    // The ancestries of the directories of every link the last `resolve`
    // followed.
    [[nodiscard]] std::vector<Ancestry> take_link_directories() { return std::move(link_dirs_); }

  private:
    Expected<Resolved, WalkError> walk(Resolved from, std::string_view path, std::string shown,
                                       const std::string& whole);
    Expected<Ancestry, int> up_from(int fd, FileId self);
    // The working directory, or (absolute) the root, held by the walker:
    // the result's `fd` is none and stands for it.
    Expected<Resolved, WalkError> start(bool absolute);
    // The descriptor `r` stands for.
    [[nodiscard]] int fd_of(const Resolved& r) const noexcept {
        return r.fd.valid() ? r.fd.get() : root_.get();
    }
    SysResult open(int dirfd, const std::string& name);
    // Most paths hold no link at all: one openat2 opens them and there is
    // nothing to check. None for anything else (a link, a missing component,
    // a kernel without openat2, or a non-directory unless `any_type`: a link
    // target's checks need the directory it lies in), which takes the walk.
    std::optional<Resolved> open_whole(int dirfd, const std::string& path, bool any_type = false);

    Kernel& kernel_;
    std::vector<FileId> checked_;
    std::vector<FileId> anchors_;
    int links_ = 0;
    std::vector<Ancestry> link_dirs_;
    // The first link the last `resolve` followed from a checked place.
    LinkRefusal checked_link_;
    // Ancestries found so far. A confined command cannot move a directory
    // into or out of the places it may write to (that needs rights on both
    // sides), so what lies above one does not change while the rules are
    // built.
    std::map<FileId, Ancestry> ancestries_;
    UniqueFd root_; // opened at the first walk from the root
    StatResult root_st_;
};

} // namespace morvik::sandbox
