// Where drawn text goes: a sink with a fixed buffer, and the process-wide
// standard-output writer, whole lines straight to file descriptor 1,
// bypassing the interpreter's sys.stdout.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "io/interrupt.hpp"

namespace vora {

// Where a drawing goes: its bytes collect in a fixed buffer, handed on to
// `flush` each time it fills and by finish(), so that a drawing of any size
// needs no more memory than the buffer. A drawing that fits the buffer is
// handed on at once, by finish().
class Sink {
public:
    using Flush = void (*)(void* context, std::string_view bytes);

    Sink(std::span<char> buffer, Flush flush, void* context) noexcept
        : begin_(buffer.data()), p_(begin_), end_(begin_ + buffer.size()), flush_(flush), context_(context) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    void put(std::string_view bytes) {
        if (bytes.size() <= static_cast<std::size_t>(end_ - p_)) {
            std::memcpy(p_, bytes.data(), bytes.size());
            p_ += bytes.size();
        } else {
            put_split(bytes);
        }
    }
    void put_spaces(std::size_t count) {
        if (count <= static_cast<std::size_t>(end_ - p_)) {
            std::memset(p_, ' ', count);
            p_ += count;
        } else {
            put_spaces_split(count);
        }
    }
    // Where `size` bytes can be written at once when the buffer has room
    // for them, else null; advance() past what was written there.
    char* room(std::size_t size) noexcept { return size <= static_cast<std::size_t>(end_ - p_) ? p_ : nullptr; }
    void advance(char* to) noexcept { p_ = to; }
    // Hands on what the buffer holds.
    void finish();
    // Hands on what the buffer holds up to its last line feed, and moves
    // what follows it to `rest` (appended).
    void finish_lines(std::string& rest);
    // The bytes put so far.
    std::size_t written() const noexcept { return flushed_ + static_cast<std::size_t>(p_ - begin_); }

private:
    void put_split(std::string_view bytes);
    void put_spaces_split(std::size_t count);
    void flush();

    char* begin_;
    char* p_;
    char* end_;
    Flush flush_;
    void* context_;
    std::size_t flushed_ = 0;
};

// A Sink that appends to a string, through a buffer of its own.
class StringSink : public Sink {
public:
    explicit StringSink(std::string& out) noexcept : Sink(buffer_, append, &out) {}

private:
    static void append(void* out, std::string_view bytes) { static_cast<std::string*>(out)->append(bytes); }
    char buffer_[4096];
};

// Thrown by print_stdout_drawn on a thread that is writing already.
struct WriterBusy {};

// What the writer writes: the text that `draw(context, sink)` puts into the
// sink, through the writer's one fixed buffer (64 KiB), all of one call under
// the writer's own lock, so that no other call's text comes between; the
// writes may block. A text no larger than the buffer is one write. The
// unfinished last line is kept and written before the next call's text.
//
// The module calls it without the interpreter lock, so that the writer's lock
// is never waited for by a thread that holds the interpreter lock. A failed
// write throws InternalFault("failed printing to stdout: <error>") and drops
// what was buffered. A signal that interrupts a blocked write asks `check`;
// when it gives up, Interrupted is thrown and what was buffered is dropped.
//
// Waiting for the writer's lock asks `check` every 50 ms, so that a signal
// is answered while another thread's write blocks. A thread that calls it
// while it is writing already (a signal handler that prints, run while the
// write blocks) is refused with WriterBusy before anything is drawn: its
// text cannot go before the unfinished text of the call it interrupted,
// and waiting for that call would wait forever.
void print_stdout_drawn(void (*draw)(void* context, Sink& out), void* context, InterruptCheck check = {});

template <class Draw>
void print_stdout_drawn(Draw&& draw, InterruptCheck check = {}) {
    using Fn = std::remove_reference_t<Draw>;
    print_stdout_drawn([](void* fn, Sink& out) { (*static_cast<Fn*>(fn))(out); },
                       const_cast<void*>(static_cast<const void*>(&draw)), check);
}

// print_stdout_drawn of `text`.
void print_stdout(std::string_view text, InterruptCheck check = {});

// Writes all of `bytes` to file descriptor `fd` (1 or 2) at once, unbuffered
// and without the writer's lock; a failed write throws
// InternalFault("failed printing to stdout: <error>") (stderr for 2); an
// interrupted write asks `check` and throws Interrupted when it gives up.
void write_whole(int fd, std::string_view bytes, InterruptCheck check = {});

// Writes all of `bytes` to file descriptor `fd`, a write that a signal
// interrupts tried again; false, with errno set, when a write fails (one
// that takes no byte counts as EIO). For files, where the caller reports.
bool write_all(int fd, std::string_view bytes);

}  // namespace vora
