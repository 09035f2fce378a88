// The transport of the language server: JSON-RPC messages, each a header
// block (`Content-Length: N`, other fields ignored) and N bytes of body,
// read from a descriptor and written to another. Bounded: a header block or
// a body over its limit is refused, the bytes of a refused body skipped, and
// reading goes on with the next message.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vora::lsp {

struct FramingLimits {
    std::size_t header = 8 * 1024;        // bytes of one header block
    std::size_t body = 64 * 1024 * 1024;  // bytes of one body (a 1 MB configuration's JSON fits many times)
};

// What reading gave: a body, a refused message (its reason, to be logged
// and survived), or the end of the input.
struct Frame {
    enum class Kind { Body, Refused, End } kind = Kind::End;
    std::string text;  // the body, or the reason it was refused
};

// Splits bytes into frames; the bytes come from a descriptor (FrameReader)
// or, in the fuzz target and the tests, from memory (feed()).
class Framer {
public:
    explicit Framer(FramingLimits limits = {}) : limits_(limits) {}

    void feed(std::string_view bytes) { buffer_.append(bytes); }
    // The next frame the bytes fed so far hold whole, or nothing until more
    // come. `ended`: no more bytes will come (an unfinished message is then
    // refused, and End follows).
    std::optional<Frame> next(bool ended);
    // Bytes fed and not yet taken.
    std::size_t pending() const { return buffer_.size() - at_; }

private:
    std::optional<Frame> refuse(std::string reason);
    void compact();
    // Lets go of the bytes of a header over the limit up to its end; false
    // while its end has not come.
    bool discard_header();

    FramingLimits limits_;
    std::string buffer_;
    std::size_t at_ = 0;
    std::size_t skip_ = 0;     // bytes of a refused body still to skip
    bool discarding_ = false;  // inside a header over the limit
};

// Reads frames from a descriptor (a pipe, a terminal: never blocks but in
// next()).
class FrameReader {
public:
    explicit FrameReader(int fd, FramingLimits limits = {}) : fd_(fd), framer_(limits) {}
    // The next frame, waiting for input as long as it takes.
    Frame next();
    // Whether a frame can be had without waiting: one is buffered, or the
    // descriptor has bytes (or its end) to read.
    bool ready();

private:
    bool fill();  // one read(); false at the end of the input or an error

    int fd_;
    Framer framer_;
    bool ended_ = false;
    std::optional<Frame> held_;
};

// A message framed for writing: the header, then the body.
std::string framed(std::string_view body);

}  // namespace vora::lsp
