// What made a step fail, for the log: the call, the path it was made on and
// the errno it ended with.  Internal helpers hand this up instead of a
// message; the caller writes the message of its own step.
#ifndef ZPM_ERROR_H
#define ZPM_ERROR_H

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace zpm {

struct Error {
    std::string call; // what was done: "open", "rename", "copy", ...
    std::string path;
    int err = 0; // errno, 0 when the system reported nothing

    // "<call> <path>: <system's text>"
    std::string text() const {
        std::string t = call + " " + path;
        if (err)
            t += std::string(": ") + std::strerror(err);
        return t;
    }
};

// An Error with the current errno.
inline Error error_now(std::string call, std::string path) {
    return Error{std::move(call), std::move(path), errno};
}

// The outcome of a step: nothing, or why it failed.
using Failure = std::optional<Error>;

} // namespace zpm

#endif
