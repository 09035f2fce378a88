// Reading a configuration file whole, as UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "io/interrupt.hpp"

namespace vora {

struct ReadError {
    std::string message;
};

// The C library's text for an error number, then " (os error N)".
std::string os_error_text(int error_number);

// Reads the file named by `path` (opened as given, relative to the current
// directory) and checks that it is valid UTF-8. Opening and reading may
// block (a FIFO, a terminal); a signal that interrupts them asks `check`,
// and Interrupted is thrown when it gives up.
std::variant<std::string, ReadError> read_text_file(std::string_view path, InterruptCheck check = {});

// Reads what the open file descriptor `fd` holds to its end (a pipe or
// standard input as well as a file) and checks that it is valid UTF-8.
std::variant<std::string, ReadError> read_text_descriptor(int fd, InterruptCheck check = {});

// The same into `content`, whose text is replaced and whose room is used
// first: a caller that reads one file after another keeps one buffer. The
// error, if any (`content` then holds nothing of use).
std::optional<ReadError> read_text_file(std::string_view path, std::string& content, InterruptCheck check = {});
std::optional<ReadError> read_text_descriptor(int fd, std::string& content, InterruptCheck check = {});

// Reads all that `fd` gives, whatever the bytes, up to the size a document
// may have (one byte more tells that it is larger). The error, if reading
// fails (`bytes` then holds what was read).
std::optional<std::string> read_bytes(int fd, std::string& bytes);

}  // namespace vora
