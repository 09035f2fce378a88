#include "output.hpp"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

#include "fault.hpp"
#include "read_file.hpp"

namespace vora {

namespace {

struct LineWriter {
    std::mutex lock;
    std::string pending;  // the unfinished last line
};

LineWriter& writer() {
    static LineWriter* instance = new LineWriter();  // lives for the whole process
    return *instance;
}

}  // namespace

void write_whole(int fd, std::string_view bytes, InterruptCheck check) {
    const std::string_view stream = fd == STDERR_FILENO ? "stderr" : "stdout";
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                if (!check.retry()) throw Interrupted{};
                continue;
            }
            throw InternalFault("failed printing to " + std::string(stream) + ": " + os_error_text(errno));
        }
        if (n == 0) throw InternalFault("failed printing to " + std::string(stream) + ": failed to write whole buffer");
        bytes.remove_prefix(static_cast<std::size_t>(n));
        // A blocked write that a signal cuts short after some bytes returns
        // their count, not EINTR: the signal is asked about all the same.
        if (!bytes.empty() && !check.retry()) throw Interrupted{};
    }
}

void print_stdout(std::string_view text, InterruptCheck check) {
    LineWriter& w = writer();
    std::lock_guard<std::mutex> guard(w.lock);
    const std::size_t last = text.rfind('\n');
    if (last == std::string_view::npos) {
        w.pending.append(text);
        return;
    }
    try {
        if (w.pending.empty()) {
            write_whole(STDOUT_FILENO, text.substr(0, last + 1), check);
        } else {
            w.pending.append(text.substr(0, last + 1));
            write_whole(STDOUT_FILENO, w.pending, check);
            w.pending.clear();
        }
    } catch (...) {
        w.pending.clear();
        throw;
    }
    w.pending.assign(text.substr(last + 1));
}

}  // namespace vora
