#include "sandbox/path_walk.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "base/escape.hpp"

namespace morvik::sandbox {
namespace {

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;
// No real tree is this deep; the bound only ends a walk up a broken one.
constexpr std::size_t kMaxDepth = 4096;

// The failures that stat would also give: the path counts as absent.
bool means_absent(int error) noexcept {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == ENAMETOOLONG ||
           error == ELOOP || error == EINVAL;
}

Unexpected<WalkError> failed(int error) {
    return Unexpected(WalkError{
        means_absent(error) ? WalkError::Kind::Absent : WalkError::Kind::Unopenable, error, {}});
}

Unexpected<WalkError> unopenable(int error) {
    return Unexpected(WalkError{WalkError::Kind::Unopenable, error, {}});
}

std::string join(const std::string& shown, std::string_view name) {
    if (shown.empty()) return std::string(name);
    std::string out = shown;
    if (out.back() != '/') out += '/';
    out += name;
    return out;
}

bool is_directory(const StatResult& st) noexcept {
    return (st.mode & S_IFMT) == S_IFDIR;
}

} // namespace

bool beneath(const Ancestry& chain, const std::vector<FileId>& places) noexcept {
    return std::ranges::any_of(
        chain, [&](const FileId& id) { return std::ranges::find(places, id) != places.end(); });
}

std::string LinkRefusal::to_string() const {
    return "symbolic link \"" + escape_name(link) + "\" -> \"" + escape_name(target) +
           "\" lies in a writable place and leads outside every writable place; refusing \"" +
           escape_name(path) + "\"";
}

SysResult PathWalker::open(int dirfd, const std::string& name) {
    SysResult r;
    do {
        r = kernel_.open_at(dirfd, name);
    } while (r.value < 0 && r.error == EINTR);
    return r;
}

Expected<Resolved, WalkError> PathWalker::resolve(const std::string& path) {
    links_ = 0;
    link_dirs_.clear();
    checked_link_ = {};
    if (path.empty()) return failed(ENOENT);
    if (path.find('\0') != std::string::npos) return failed(EINVAL);
    const bool absolute = path.front() == '/';
    if (auto whole = open_whole(kCurrentDirectory, path, true)) return std::move(*whole);
    auto from = start(absolute);
    if (!from) return from;
    auto r = walk(std::move(*from), path, absolute ? std::string("/") : std::string(), path);
    if (r && !r->fd.valid()) { // the root itself: the caller gets its own descriptor
        const SysResult root = open(root_.get(), ".");
        if (root.value < 0) return failed(root.error);
        r->fd = UniqueFd(kernel_, static_cast<int>(root.value));
    }
    if (r && !checked_link_.link.empty()) {
        auto chain = ancestry(*r);
        if (!chain) return unopenable(chain.error());
        if (!beneath(*chain, anchors_))
            return Unexpected(WalkError{WalkError::Kind::Refused, 0, std::move(checked_link_)});
    }
    return r;
}

std::optional<Resolved> PathWalker::open_whole(int dirfd, const std::string& path, bool any_type) {
    SysResult r;
    do {
        r = kernel_.open_no_links(dirfd, path);
    } while (r.value < 0 && r.error == EINTR);
    if (r.value < 0) return std::nullopt;
    UniqueFd fd(kernel_, static_cast<int>(r.value));
    const StatResult st = kernel_.fstat(fd.get());
    if (!st.ok() || (!any_type && !is_directory(st))) return std::nullopt;
    return Resolved{std::move(fd), st, {}};
}

Expected<Resolved, WalkError> PathWalker::start(bool absolute) {
    if (absolute && root_.valid()) return Resolved{UniqueFd(), root_st_, {}};
    const SysResult r = open(kCurrentDirectory, absolute ? "/" : ".");
    if (r.value < 0) return failed(r.error);
    UniqueFd fd(kernel_, static_cast<int>(r.value));
    const StatResult st = kernel_.fstat(fd.get());
    if (!st.ok()) return unopenable(st.error);
    if (!absolute) return Resolved{std::move(fd), st, {}};
    root_ = std::move(fd);
    root_st_ = st;
    // The root is its own parent: nothing above it to open.
    ancestries_.try_emplace(id_of(st), Ancestry{id_of(st)});
    return Resolved{UniqueFd(), root_st_, {}};
}

Expected<Resolved, WalkError> PathWalker::walk(Resolved at, std::string_view path,
                                               std::string shown, const std::string& whole) {
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view name = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (name.empty() || name == ".") continue;

        const SysResult r = open(fd_of(at), std::string(name));
        if (r.value < 0) return failed(r.error);
        UniqueFd fd(kernel_, static_cast<int>(r.value));
        const StatResult st = kernel_.fstat(fd.get());
        if (!st.ok()) return unopenable(st.error);
        std::string here = join(shown, name);

        if ((st.mode & S_IFMT) != S_IFLNK) {
            const bool up = name == "..";
            const bool in_root = !up && !at.fd.valid();
            at = Resolved{std::move(fd), st, up ? UniqueFd() : std::move(at.fd), in_root};
            shown = std::move(here);
            continue;
        }
        if (++links_ > kMaxLinks) return failed(ELOOP);
        const ReadResult text = kernel_.read_link(fd.get());
        if (text.error != 0) return unopenable(text.error);
        if (text.data.empty()) return failed(ENOENT);

        // The link's directory is `at`. Its place decides whether the link
        // must lead beneath an anchor.
        auto dir_chain = up_from(fd_of(at), id_of(at.st));
        if (!dir_chain) return unopenable(dir_chain.error());
        const bool checked = beneath(*dir_chain, checked_);
        link_dirs_.push_back(std::move(*dir_chain));

        const bool absolute = text.data.front() == '/';
        auto from = absolute ? start(true) : Resolved{std::move(at.fd), at.st, {}};
        if (!from) return Unexpected(std::move(from).error());
        auto target = [&]() -> Expected<Resolved, WalkError> {
            if (auto direct = open_whole(fd_of(*from), text.data)) return std::move(*direct);
            return walk(std::move(*from), text.data, absolute ? std::string("/") : shown, whole);
        }();
        if (!target) return target;
        if (checked) {
            auto target_chain = ancestry(*target);
            if (!target_chain) return unopenable(target_chain.error());
            if (!beneath(*target_chain, anchors_)) {
                return Unexpected(WalkError{WalkError::Kind::Refused, 0, {whole, here, text.data}});
            }
            if (checked_link_.link.empty()) checked_link_ = {whole, here, text.data};
        }
        at = std::move(*target);
        shown = std::move(here);
    }
    return at;
}

Expected<Ancestry, int> PathWalker::ancestry(const Resolved& r) {
    if (is_directory(r.st)) return up_from(fd_of(r), id_of(r.st));
    if (!r.dir.valid() && !r.in_root) return Unexpected(ENOTDIR);
    const int dir = r.dir.valid() ? r.dir.get() : root_.get();
    const StatResult dir_st = kernel_.fstat(dir);
    if (!dir_st.ok()) return Unexpected(dir_st.error);
    auto chain = up_from(dir, id_of(dir_st));
    if (!chain) return chain;
    chain->insert(chain->begin(), id_of(r.st));
    return chain;
}

Expected<Ancestry, int> PathWalker::up_from(int fd, FileId self) {
    if (const auto known = ancestries_.find(self); known != ancestries_.end()) return known->second;
    Ancestry chain{self};
    UniqueFd parent;
    for (int at = fd; chain.size() < kMaxDepth;) {
        const SysResult r = open(at, "..");
        if (r.value < 0) return Unexpected(r.error);
        parent = UniqueFd(kernel_, static_cast<int>(r.value));
        const StatResult st = kernel_.fstat(parent.get());
        if (!st.ok()) return Unexpected(st.error);
        const FileId up = id_of(st);
        if (up == chain.back()) break; // the root is its own parent
        if (const auto known = ancestries_.find(up); known != ancestries_.end()) {
            chain.insert(chain.end(), known->second.begin(), known->second.end());
            break;
        }
        chain.push_back(up);
        at = parent.get();
    }
    if (chain.size() >= kMaxDepth) return Unexpected(ELOOP);
    // Every tail of the chain is the ancestry of its first directory.
    for (std::size_t i = 0; i < chain.size(); ++i)
        ancestries_.try_emplace(chain[i], chain.begin() + static_cast<std::ptrdiff_t>(i),
                                chain.end());
    return chain;
}

} // namespace morvik::sandbox
