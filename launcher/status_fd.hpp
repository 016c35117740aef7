// The supervisor's descriptors: the checks that "--status-fd" and
// "--profile-fd" values pass, and the status descriptor, which receives one
// JSON line per run: "confined" right before the exec, or "failed" with the
// stage and the failure line. A supervisor reads it to end-of-file (the exec
// closes it) and takes the last line; no line means a usage error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "base/unique_fd.hpp"

namespace morvik::launcher {

// What an inherited descriptor is opened for.
enum class FdUse : std::uint8_t { Read, Write };

struct DescriptorError {
    enum class Kind : std::uint8_t {
        NotNumber,     // anything but decimal digits
        TooLarge,      // above INT_MAX
        Standard,      // 0, 1 or 2
        NotOpen,       // F_GETFL gives EBADF
        WrongMode,     // open, but not for the use (or O_PATH)
        SameAsProfile, // the status descriptor is the profile's
        Os,            // F_GETFL failed otherwise (`error`)
    };
    std::string_view option; // "--status-fd" or "--profile-fd"
    std::string value;       // as given
    Kind kind = Kind::NotNumber;
    FdUse use = FdUse::Read;
    int error = 0;

    // "Invalid --status-fd value `x`: not a descriptor number" and so on.
    [[nodiscard]] std::string line() const;
};

// Checks the value of `option`: a decimal number up to INT_MAX, not a
// standard descriptor, open in this process for `use`, and not `profile_fd`
// (-1 for none).
[[nodiscard]] Expected<int, DescriptorError>
check_descriptor(std::string_view option, const char* value, FdUse use, int profile_fd = -1);

// The run's stage that failed, as named in the record.
enum class Stage : std::uint8_t { Read, Parse, Confine, Exec };

// What the "confined" record reports.
struct ConfinedStatus {
    std::uint32_t landlock_abi = 0;              // 0: no Landlock enforced
    std::string_view enforcement;                // "full", "partial" or "not_enforced"
    std::vector<std::string_view> protections{}; // in force, in the order they were set
};

// {"status":"confined","landlock_abi":N,"enforcement":"...","protections":[...]}
// and a line feed.
[[nodiscard]] std::string confined_record(const ConfinedStatus& status);
// {"status":"failed","stage":"...","message":"..."} and a line feed; the
// message escaped as a JSON string (invalid UTF-8 as U+FFFD).
[[nodiscard]] std::string failed_record(Stage stage, std::string_view message);

// Writes `record` to `fd` in full; when the descriptor is non-blocking and
// full, waits until it can be written. Returns 0 or the errno of the failure.
[[nodiscard]] int write_record(int fd, std::string_view record) noexcept;

inline constexpr std::string_view kStatusWriteFailed = "Failed to write the status record: ";

// The status descriptor of a run, or none. Owns it: close-on-exec from the
// start, so that the exec closes it and the supervisor sees end-of-file.
class StatusFd {
  public:
    StatusFd() = default;
    explicit StatusFd(int fd) noexcept;

    // 0 when there is no descriptor or the record was written, else the errno.
    [[nodiscard]] int confined(const ConfinedStatus& status) const;
    [[nodiscard]] int failed(Stage stage, std::string_view message) const;

  private:
    UniqueFd fd_;
};

} // namespace morvik::launcher
