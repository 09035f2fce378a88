#include "io/read_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/utf8.hpp"

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

std::optional<ReadError> read_text_file(std::string_view path, std::string& content, const SizeLimit& limit,
                                        InterruptCheck check) {
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
    return read_text_descriptor(file.get(), content, limit, check);
}

namespace {

// Where the bytes of `text` that are sure to be whole UTF-8 sequences end:
// before a last sequence that more bytes may still complete.
std::size_t complete_prefix(std::string_view text) {
    const std::size_t size = text.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

}  // namespace

std::optional<ReadError> read_text_descriptor(int fd, std::string& content, const SizeLimit& size_limit,
                                              InterruptCheck check) {
    // Nothing larger than the reader takes is read: an input that never
    // ends (a character device, a pipe fed forever) stops at the limit.
    const std::size_t limit = size_limit.bytes;
    const auto too_large = [&] { return ReadError{std::string(size_limit.message)}; };
    const auto not_utf8 = [] { return ReadError{"stream did not contain valid UTF-8"}; };
    content.clear();
    struct stat info{};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (regular && static_cast<std::uint64_t>(info.st_size) > limit) return too_large();
    // A regular file's text with the byte that shows its end; nothing when
    // its size says nothing (an empty file, or one the system makes up).
    const std::size_t expected = regular && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 0;
    content.reserve(expected);
    constexpr std::size_t chunk = 65536;
    // Anything else (a device, a pipe, a terminal) may never end: it is read
    // at most a mebibyte at a time, its text checked as it comes (bytes that
    // are not UTF-8 end the read at once), and `check` is asked after each
    // mebibyte read (Ctrl-C ends it, which reads that return data would
    // never show; a read that blocks is interrupted by the signal itself).
    constexpr std::size_t stream_read = std::size_t{1} << 20;
    std::size_t checked = 0;   // of a stream's text, the bytes found whole UTF-8
    std::size_t asked_at = 0;  // the size of the text when `check` was last asked
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
        if (!regular) asked = std::min(asked, stream_read);
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
        if (!regular) {
            const std::size_t whole = complete_prefix(content);
            if (!utf8::valid(std::string_view(content).substr(checked, whole - checked))) return not_utf8();
            checked = whole;
            if (content.size() - asked_at >= stream_read) {
                asked_at = content.size();
                if (!check.retry()) throw Interrupted{};
            }
        }
    }
    if (!utf8::valid(std::string_view(content).substr(checked))) return not_utf8();
    return std::nullopt;
}

std::variant<std::string, ReadError> read_text_file(std::string_view path, const SizeLimit& limit,
                                                    InterruptCheck check) {
    std::string content;
    if (auto err = read_text_file(path, content, limit, check)) return std::move(*err);
    return content;
}

std::variant<std::string, ReadError> read_text_descriptor(int fd, const SizeLimit& limit, InterruptCheck check) {
    std::string content;
    if (auto err = read_text_descriptor(fd, content, limit, check)) return std::move(*err);
    return content;
}

std::optional<std::string> read_bytes(int fd, std::string& bytes, const SizeLimit& size_limit) {
    const std::size_t limit = size_limit.bytes;
    bytes.clear();
    char buffer[65536];
    while (bytes.size() <= limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit + 1 - bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return os_error_text(errno);
        if (n == 0) return std::nullopt;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return std::string(size_limit.message);
}

}  // namespace vora
