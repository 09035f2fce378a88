#include "lsp/framing.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "text/integer.hpp"

namespace vora::lsp {

namespace {

constexpr std::string_view kEndOfHeader = "\r\n\r\n";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The Content-Length of a header block: its decimal digits, at most 18 of
// them. Lines that are no `Name: value` are passed over, so that a header
// that follows the bytes of a refused message is still found.
std::optional<std::size_t> content_length(std::string_view header) {
    std::optional<std::size_t> length;
    while (!header.empty()) {
        const std::size_t end = header.find("\r\n");
        const std::string_view line = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view{} : header.substr(end + 2);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !same_name(trimmed(line.substr(0, colon)), "content-length")) continue;
        const std::string_view digits = trimmed(line.substr(colon + 1));
        if (digits.empty() || digits.size() > 18) return std::nullopt;
        std::size_t value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<std::size_t>(c - '0');
        }
        length = value;
    }
    return length;
}

}  // namespace

std::optional<Frame> Framer::refuse(std::string reason) { return Frame{Frame::Kind::Refused, std::move(reason)}; }

void Framer::compact() {
    // Moving the unread bytes down only once half the buffer is read keeps
    // the cost of a message in proportion to its size.
    if (at_ > 65536 && at_ * 2 > buffer_.size()) {
        buffer_.erase(0, at_);
        at_ = 0;
    }
}

bool Framer::discard_header() {
    const std::string_view unread = std::string_view(buffer_).substr(at_);
    const std::size_t end = unread.find(kEndOfHeader);
    if (end == std::string_view::npos) {
        // Its last bytes may begin the end of the header.
        at_ += unread.size() - std::min(unread.size(), kEndOfHeader.size() - 1);
        compact();
        return false;
    }
    at_ += end + kEndOfHeader.size();
    discarding_ = false;
    compact();
    return true;
}

std::optional<Frame> Framer::next(bool ended) {
    if (skip_ > 0) {
        const std::size_t n = std::min(skip_, pending());
        at_ += n;
        skip_ -= n;
        compact();
        if (skip_ > 0) return ended ? std::optional(Frame{}) : std::nullopt;
    }
    if (discarding_ && !discard_header()) return ended ? std::optional(Frame{}) : std::nullopt;
    if (pending() == 0) return ended ? std::optional(Frame{}) : std::nullopt;
    const std::string_view unread = std::string_view(buffer_).substr(at_);
    const std::size_t end = unread.substr(0, limits_.header + kEndOfHeader.size()).find(kEndOfHeader);
    if (end == std::string_view::npos) {
        if (unread.size() >= limits_.header + kEndOfHeader.size()) {
            // Past the limit: the bytes up to the header's end are let go.
            discarding_ = true;
            discard_header();
            std::string reason = "a header of more than ";
            append_integer(reason, limits_.header);
            return refuse(reason + " bytes");
        }
        if (!ended) return std::nullopt;
        at_ = buffer_.size();
        return refuse("the input ended inside a header");
    }
    const std::optional<std::size_t> length = content_length(unread.substr(0, end));
    if (!length) {
        at_ += end + kEndOfHeader.size();
        compact();
        return refuse("a header without a valid Content-Length");
    }
    if (*length > limits_.body) {
        at_ += end + kEndOfHeader.size();
        skip_ = *length;
        std::string reason = "a body of ";
        append_integer(reason, *length);
        reason += " bytes (at most ";
        append_integer(reason, limits_.body);
        return refuse(reason + ")");
    }
    if (unread.size() - end - kEndOfHeader.size() < *length) {
        if (!ended) return std::nullopt;
        at_ = buffer_.size();
        return refuse("the input ended inside a body");
    }
    Frame frame{Frame::Kind::Body, std::string(unread.substr(end + kEndOfHeader.size(), *length))};
    at_ += end + kEndOfHeader.size() + *length;
    compact();
    return frame;
}

bool FrameReader::fill() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            framer_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor left non-blocking by the editor: wait for it.
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
        }
        return false;
    }
}

Frame FrameReader::next() {
    for (;;) {
        if (held_) {
            Frame frame = std::move(*held_);
            held_.reset();
            return frame;
        }
        held_ = framer_.next(ended_);
        if (!held_ && !fill()) ended_ = true;
    }
}

bool FrameReader::ready() {
    if (held_) return true;
    held_ = framer_.next(ended_);
    while (!held_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
        if (!fill()) ended_ = true;
        held_ = framer_.next(ended_);
    }
    return held_.has_value();
}

std::string framed(std::string_view body) {
    std::string out = "Content-Length: ";
    append_integer(out, body.size());
    out += "\r\n\r\n";
    out += body;
    return out;
}

}  // namespace vora::lsp
