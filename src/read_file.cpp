#include "read_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/utf8.hpp"
#include "toml/toml.hpp"

namespace vora {

std::string os_error_text(int error_number) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(error_number, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<ReadError> read_text_file(std::string_view path, std::string& content, InterruptCheck check) {
    if (path.find('\0') != std::string_view::npos) return ReadError{"file name contained an unexpected NUL byte"};
    // The name with its terminating NUL, on the stack when it is short.
    char short_name[256];
    std::string long_name;
    const char* name = short_name;
    if (path.size() < sizeof short_name) {
        std::memcpy(short_name, path.data(), path.size());
        short_name[path.size()] = '\0';
    } else {
        long_name.assign(path);
        name = long_name.c_str();
    }
    int fd;
    while ((fd = ::open(name, O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
        if (!check.retry()) throw Interrupted{};
    }
    if (fd < 0) return ReadError{os_error_text(errno)};
    FileDescriptor file(fd);
    return read_text_descriptor(file.get(), content, check);
}

std::optional<ReadError> read_text_descriptor(int fd, std::string& content, InterruptCheck check) {
    // Nothing larger than the reader takes is read: an input that never
    // ends (a character device, a pipe fed forever) stops at the limit.
    constexpr std::size_t limit = toml::max_document_size;
    const auto too_large = [] { return ReadError{std::string(toml::too_large_message)}; };
    content.clear();
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && static_cast<std::uint64_t>(info.st_size) > limit) return too_large();
    // A regular file's text with the byte that shows its end; nothing when
    // its size says nothing (an empty file, or one the system makes up).
    const std::size_t expected = regular && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 0;
    content.reserve(expected);
    constexpr std::size_t chunk = 65536;
    for (;;) {
        // Read straight into the string's spare capacity, grown by doubling
        // but never past one byte beyond the limit. A regular file's text
        // fits what was reserved for it, and is asked for no more than that
        // however much room the string had before.
        const std::size_t spare = content.capacity() - content.size();
        if (spare == 0 || (!regular && spare < chunk / 4)) {
            content.reserve(std::min(std::max(content.capacity() * 2, content.size() + chunk), limit + 1));
        }
        const std::size_t old = content.size();
        std::size_t asked = content.capacity() - old;
        if (old < expected) asked = std::min(asked, expected - old);
        content.resize(old + asked);
        const ssize_t n = ::read(fd, content.data() + old, asked);
        content.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (content.size() > limit) return too_large();
        if (n == 0) break;
        // A regular file gives fewer bytes than asked for only at its end,
        // which saves asking once more to be told so.
        if (regular && n > 0 && static_cast<std::size_t>(n) < asked) break;
        if (n < 0) {
            if (errno != EINTR) return ReadError{os_error_text(errno)};
            if (!check.retry()) throw Interrupted{};
            continue;
        }
    }
    if (!utf8::valid(content)) return ReadError{"stream did not contain valid UTF-8"};
    return std::nullopt;
}

std::variant<std::string, ReadError> read_text_file(std::string_view path, InterruptCheck check) {
    std::string content;
    if (auto err = read_text_file(path, content, check)) return std::move(*err);
    return content;
}

std::variant<std::string, ReadError> read_text_descriptor(int fd, InterruptCheck check) {
    std::string content;
    if (auto err = read_text_descriptor(fd, content, check)) return std::move(*err);
    return content;
}

}  // namespace vora
