#include "io/replace_file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "io/output.hpp"
#include "io/read_file.hpp"

namespace vora {

namespace {

std::string error_text(std::string_view what, const std::string& path) {
    return "cannot " + std::string(what) + " " + path + ": " + os_error_text(errno);
}

// The new file being written beside the one it replaces, for the handler of
// the signals that end the process: its path, prepared before the file is
// made, and whether it is there.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
char temporary_path[PATH_MAX + NAME_MAX + 2];
volatile std::sig_atomic_t temporary_made = 0;

extern "C" void remove_temporary_and_die(int signal_number) {
    if (temporary_made) ::unlink(temporary_path);
    // Dies of the signal: it is delivered again, unhandled, once the
    // handler returns and unblocks it.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// The ending signals held back while alive: what happens meanwhile (the
// new file made and its name kept, the rename, a file written over in
// place) is done whole, and a signal that came is handled after it.
class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal_number : kEndingSignals) sigaddset(&set, signal_number);
        ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~EndingSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// While alive, the ending signals that would end the process (not those
// ignored) remove the new file first; then each is handled as before.
class TemporaryRemovedOnSignals {
public:
    TemporaryRemovedOnSignals() {
        struct sigaction action{};
        action.sa_handler = remove_temporary_and_die;
        sigemptyset(&action.sa_mask);
        for (const int signal_number : kEndingSignals) sigaddset(&action.sa_mask, signal_number);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            installed_[i] = ::sigaction(kEndingSignals[i], nullptr, &old_[i]) == 0 && old_[i].sa_handler == SIG_DFL &&
                            ::sigaction(kEndingSignals[i], &action, nullptr) == 0;
        }
    }
    ~TemporaryRemovedOnSignals() {
        forget();
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            if (installed_[i]) ::sigaction(kEndingSignals[i], &old_[i], nullptr);
        }
    }
    TemporaryRemovedOnSignals(const TemporaryRemovedOnSignals&) = delete;
    TemporaryRemovedOnSignals& operator=(const TemporaryRemovedOnSignals&) = delete;

    // Makes the new file from the template `path` (its name filled in).
    int make(std::string& path) {
        if (path.size() >= sizeof temporary_path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        EndingSignalsBlocked blocked;
        const int fd = ::mkstemp(path.data());
        if (fd >= 0) {
            std::memcpy(temporary_path, path.c_str(), path.size() + 1);
            temporary_made = 1;
        }
        return fd;
    }
    // The new file is no longer there to remove (renamed or removed).
    static void forget() { temporary_made = 0; }

private:
    struct sigaction old_[std::size(kEndingSignals)]{};
    bool installed_[std::size(kEndingSignals)]{};
};

// Whether the open file holds `original` exactly.
bool holds(int fd, std::string_view original) {
    struct stat info{};
    if (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) != original.size()) return false;
    char buffer[65536];
    std::size_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return at == original.size();
        const auto got = static_cast<std::size_t>(n);
        if (got > original.size() - at || original.compare(at, got, buffer, got) != 0) return false;
        at += got;
    }
}

bool pwrite_all(int fd, std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + at, bytes.size() - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

std::string changed_text(const std::string& target) {
    return "cannot fix " + target + ": it changed while it was being fixed (left as it is)";
}

// A file with more than one name, written over in place: every name sees
// the new text.
std::optional<std::string> write_in_place(const std::string& target, std::string_view original, std::string_view text) {
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return error_text("open", target);
    std::optional<std::string> error;
    {
        EndingSignalsBlocked blocked;
        if (!holds(fd, original)) {
            error = changed_text(target);
        } else if (!pwrite_all(fd, text) || ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
            error = error_text("write", target);
            // What was there, put back as far as it goes.
            if (pwrite_all(fd, original)) {
                [[maybe_unused]] const int ignored = ::ftruncate(fd, static_cast<off_t>(original.size()));
            }
        }
    }
    if (!error && ::fsync(fd) != 0) error = error_text("flush", target);
    if (::close(fd) != 0 && !error) error = error_text("close", target);
    return error;
}

// The extended attributes of `from` (ACLs and security labels among them)
// given to the open file `to`: those of the user namespace always (or an
// error), the others where the process may set them.
std::optional<std::string> copy_attributes(const std::string& from, int to, const std::string& to_name) {
    std::string names;
    for (;;) {
        const ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP) return std::nullopt;
            return error_text("list the extended attributes of", from);
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : ::listxattr(from.c_str(), names.data(), names.size());
        if (got < 0 && errno == ERANGE) continue;
        if (got < 0) return error_text("list the extended attributes of", from);
        names.resize(static_cast<std::size_t>(got));
        break;
    }
    std::string value;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.c_str() + at;
        at += std::strlen(name) + 1;
        ssize_t got = -1;
        do {
            const ssize_t size = ::getxattr(from.c_str(), name, nullptr, 0);
            if (size < 0) break;
            value.resize(static_cast<std::size_t>(size));
            got = size == 0 ? 0 : ::getxattr(from.c_str(), name, value.data(), value.size());
        } while (got < 0 && errno == ERANGE);
        const bool user = std::strncmp(name, "user.", 5) == 0;
        if (got < 0 || ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0) {
            if (user && errno != ENOTSUP)
                return error_text("copy the extended attribute " + std::string(name) + " to", to_name);
        }
    }
    return std::nullopt;
}

// The name of the new file made beside `base`: ".BASE.vora-config-fix."
// and six characters mkstemp chooses, BASE cut (at a character's start) so
// that the name fits a directory entry.
std::string temporary_name(std::string_view base) {
    constexpr std::string_view suffix = ".vora-config-fix.XXXXXX";
    const std::size_t room = NAME_MAX - 1 - suffix.size();
    if (base.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
        base = base.substr(0, cut);
    }
    std::string name(1, '.');
    name.append(base).append(suffix);
    return name;
}

}  // namespace

std::optional<std::string> replace_file(const std::string& path, std::string_view original, std::string_view text) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return error_text("resolve", path);
    const std::string target(resolved);
    struct stat old{};
    if (::stat(target.c_str(), &old) != 0) return error_text("read the mode of", target);
    // A device or a pipe is not replaced by a file.
    if (!S_ISREG(old.st_mode)) return "cannot replace " + target + ": not a regular file";
    // Not a file the user may not write, even where the directory would let
    // it be replaced.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return "cannot fix " + target + ": the file may not be written: " + os_error_text(errno);
    }
    if (old.st_nlink > 1) return write_in_place(target, original, text);
    const std::size_t slash = target.rfind('/');
    std::string temporary = target.substr(0, slash + 1) + temporary_name(std::string_view(target).substr(slash + 1));
    TemporaryRemovedOnSignals cleanup;
    const int fd = cleanup.make(temporary);
    if (fd < 0) return error_text("create a file beside", target);
    // The owner is kept where the process may keep it; the mode always.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    std::optional<std::string> error;
    if (!write_all(fd, text)) {
        error = error_text("write", temporary);
    } else if (::fchmod(fd, old.st_mode & 07777) != 0) {
        error = error_text("set the mode of", temporary);
    } else if (auto copy_error = copy_attributes(target, fd, temporary)) {
        error = std::move(copy_error);
    } else if (::fsync(fd) != 0) {
        error = error_text("flush", temporary);
    }
    if (::close(fd) != 0 && !error) error = error_text("close", temporary);
    if (!error) {
        // The file is still the one read, just before it is replaced: a
        // write made to it meanwhile is not lost.
        EndingSignalsBlocked blocked;
        struct stat now{};
        const int current = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        const bool same = current >= 0 && ::fstat(current, &now) == 0 && now.st_dev == old.st_dev &&
                          now.st_ino == old.st_ino && holds(current, original);
        if (current >= 0) ::close(current);
        if (!same) {
            error = changed_text(target);
        } else if (::rename(temporary.c_str(), target.c_str()) != 0) {
            error = error_text("replace", target);
        } else {
            cleanup.forget();
        }
    }
    if (error) {
        EndingSignalsBlocked blocked;
        ::unlink(temporary.c_str());
        cleanup.forget();
        return error;
    }
    // The rename itself made lasting (best effort: not every file system can).
    const int directory = ::open(target.substr(0, std::max<std::size_t>(slash, 1)).c_str(), O_RDONLY | O_DIRECTORY);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return std::nullopt;
}

}  // namespace vora
