// Reading a configuration file whole, as UTF-8 text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "io/interrupt.hpp"

namespace vora {

struct ReadError {
    std::string message;
};

// The most a reader takes, and the error when there is more: an input that
// never ends (a character device, a pipe fed forever) stops there.
struct SizeLimit {
    std::size_t bytes;
    std::string_view message;
};

// The C library's text for an error number, then " (os error N)".
std::string os_error_text(int error_number);

// Reads the file named by `path` (opened as given, relative to the current
// directory) and checks that it is valid UTF-8. Opening and reading may
// block (a FIFO, a terminal); a signal that interrupts them asks `check`,
// and Interrupted is thrown when it gives up.
std::variant<std::string, ReadError> read_text_file(std::string_view path, const SizeLimit& limit,
                                                    InterruptCheck check = {});

// Reads what the open file descriptor `fd` holds to its end (a pipe or
// standard input as well as a file) and checks that it is valid UTF-8.
std::variant<std::string, ReadError> read_text_descriptor(int fd, const SizeLimit& limit, InterruptCheck check = {});

// The same into `content`, whose text is replaced and whose room is used
// first: a caller that reads one file after another keeps one buffer. The
// error, if any (`content` then holds nothing of use).
std::optional<ReadError> read_text_file(std::string_view path, std::string& content, const SizeLimit& limit,
                                        InterruptCheck check = {});
std::optional<ReadError> read_text_descriptor(int fd, std::string& content, const SizeLimit& limit,
                                              InterruptCheck check = {});

// Reads all that `fd` gives, whatever the bytes, up to the limit (one byte
// more tells that it is larger). The error, if reading fails (`bytes` then
// holds what was read).
std::optional<std::string> read_bytes(int fd, std::string& bytes, const SizeLimit& limit);

}  // namespace vora
