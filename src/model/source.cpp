#include "model/source.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vora::model {

std::size_t MemorySource::read(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), bytes_.size() - offset));
    if (n == 0) return 0;
    std::memcpy(out.data(), bytes_.data() + offset, n);
    return n;
}

std::string_view file_type_text(std::uint32_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return "a folder";
        case S_IFIFO: return "a FIFO";
        case S_IFCHR: return "a character device";
        case S_IFBLK: return "a block device";
        case S_IFSOCK: return "a socket";
        default: return "a special file";
    }
}

FileSource::FileSource(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        error_ = "its name holds a NUL byte";
        return;
    }
    // O_NONBLOCK: a FIFO without a writer is opened at once (and then
    // refused), not waited on; O_NOCTTY: a terminal never becomes ours.
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
        error_ = std::strerror(errno);
        return;
    }
    struct stat st{};
    if (::fstat(fd_, &st) != 0) {
        error_ = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error_ = "not a regular file (" + std::string(file_type_text(st.st_mode)) + ")";
    } else {
        size_ = static_cast<std::uint64_t>(st.st_size);
        return;
    }
    ::close(fd_);
    fd_ = -1;
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FileSource::read(std::uint64_t offset, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < out.size() && offset + done < size_) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = n < 0;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    bytes_read_ += done;
    return done;
}

}  // namespace vora::model
