#include "io/output.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <unistd.h>

#include "base/fault.hpp"
#include "io/read_file.hpp"

namespace vora {

void Sink::put_split(std::string_view bytes) {
    while (!bytes.empty()) {
        if (p_ == end_) flush();
        const std::size_t part = std::min(bytes.size(), static_cast<std::size_t>(end_ - p_));
        std::memcpy(p_, bytes.data(), part);
        p_ += part;
        bytes.remove_prefix(part);
    }
}

void Sink::put_spaces_split(std::size_t count) {
    while (count > 0) {
        if (p_ == end_) flush();
        const std::size_t part = std::min(count, static_cast<std::size_t>(end_ - p_));
        std::memset(p_, ' ', part);
        p_ += part;
        count -= part;
    }
}

void Sink::flush() {
    const std::size_t size = static_cast<std::size_t>(p_ - begin_);
    // Taken as handed on before the call: a flush that throws leaves
    // nothing to hand on twice.
    p_ = begin_;
    flushed_ += size;
    if (size > 0) flush_(context_, std::string_view(begin_, size));
}

void Sink::finish() { flush(); }

void Sink::finish_lines(std::string& rest) {
    const std::string_view held(begin_, static_cast<std::size_t>(p_ - begin_));
    const std::size_t last = held.rfind('\n');
    const std::size_t through = last == std::string_view::npos ? 0 : last + 1;
    rest.append(held.substr(through));
    p_ = begin_ + through;
    flush();
}

namespace {

constexpr std::size_t kWriterBuffer = 64 * 1024;

struct LineWriter {
    std::timed_mutex lock;
    std::string pending;  // the unfinished last line
    char buffer[kWriterBuffer];
};

LineWriter& writer() {
    static LineWriter* instance = new LineWriter();  // lives for the whole process
    return *instance;
}

void write_stdout(void* check, std::string_view bytes) {
    write_whole(STDOUT_FILENO, bytes, *static_cast<const InterruptCheck*>(check));
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

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

// Whether this thread holds the writer's lock: a signal handler that runs
// while its write blocks may print again on the same thread.
thread_local bool writing = false;

// Waits for the writer's lock, asking `check` now and then: a signal that
// arrives meanwhile does not interrupt the wait as it does a blocked write.
// The pause bounds how late a Ctrl-C is answered.
std::unique_lock<std::timed_mutex> wait_for_writer(LineWriter& w, const InterruptCheck& check) {
    if (!check.go_on) return std::unique_lock<std::timed_mutex>(w.lock);
    constexpr auto pause = std::chrono::milliseconds(50);
    std::unique_lock<std::timed_mutex> held(w.lock, std::defer_lock);
    while (!held.try_lock_for(pause)) {
        if (!check.retry()) throw Interrupted{};
    }
    return held;
}

}  // namespace

void print_stdout_drawn(void (*draw)(void* context, Sink& out), void* context, InterruptCheck check) {
    if (writing) throw WriterBusy{};
    LineWriter& w = writer();
    const std::unique_lock<std::timed_mutex> guard = wait_for_writer(w, check);
    struct Writing {
        Writing() { writing = true; }
        ~Writing() { writing = false; }
    } mark;
    Sink out(w.buffer, write_stdout, &check);
    // What was buffered is dropped on every way out but the one that
    // completes (a destructor, not a catch-all: see fault.hpp).
    struct DropPending {
        std::string* pending;
        ~DropPending() {
            if (pending) pending->clear();
        }
    } drop{&w.pending};
    if (!w.pending.empty()) {
        out.put(w.pending);
        w.pending.clear();
    }
    draw(context, out);
    out.finish_lines(w.pending);
    drop.pending = nullptr;
}

void print_stdout(std::string_view text, InterruptCheck check) {
    print_stdout_drawn([&](Sink& out) { out.put(text); }, check);
}

}  // namespace vora
