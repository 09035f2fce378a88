// Protobuf wire-format reading over a ByteSource: varints, tags and
// length-delimited fields, each bounded by the end of its enclosing message,
// and groups, skipped as protobuf skips an unknown one (their nesting counted
// with the messages', to protobuf's depth limit). A window of the source is
// kept in a small buffer; a skipped length-delimited field costs a
// comparison, never a read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/source.hpp"

namespace vora::model::wire {

enum class Type : std::uint8_t { varint = 0, fixed64 = 1, length = 2, group_start = 3, group_end = 4, fixed32 = 5 };

enum class Failure : std::uint8_t { none, unreadable, truncated, malformed, too_large };

class Reader {
public:
    explicit Reader(ByteSource& source);

    std::uint64_t size() const { return size_; }
    std::uint64_t pos() const { return pos_; }

    // The next tag before `end`: false (and a failure) on a bad tag. An
    // end-group tag is a failure too: a message's fields never hold one
    // outside a group, which skip() passes over whole.
    bool tag(std::uint64_t end, std::uint64_t& field, Type& type);
    bool varint(std::uint64_t end, std::uint64_t& value);
    // The length of a length-delimited field and the end of its bytes.
    bool length(std::uint64_t end, std::uint64_t& field_end);
    // Reads the bytes of a length-delimited field.
    bool bytes(std::uint64_t end, std::string& out);
    // Reads `n` bytes from pos() (within bounds already checked).
    bool read(std::uint64_t n, std::string& out);
    // Skips field `field` of wire type `type`, a group to its end tag.
    bool skip(std::uint64_t end, Type type, std::uint64_t field);

    // Nesting of the messages being read: false (and a failure) past
    // protobuf's limit of 100 messages and groups.
    bool enter();
    void leave() { --depth_; }
    // Moves to `to` (the end of a field already bounds-checked).
    void seek(std::uint64_t to) { pos_ = to; }

    bool fail(Failure failure, std::string reason);
    bool fail(Failure failure, std::string reason, std::uint64_t at);
    Failure failure() const { return failure_; }
    const std::string& reason() const { return reason_; }
    std::uint64_t failed_at() const { return failed_at_; }

private:
    bool fill(std::uint64_t at);
    bool byte(std::uint64_t end, std::uint8_t& b);
    bool varint(std::uint64_t end, int most_bytes, std::uint64_t& value);
    bool any_tag(std::uint64_t end, std::uint64_t& field, unsigned& wire);
    bool skip_group(std::uint64_t end, std::uint64_t field);

    ByteSource& source_;
    std::uint64_t size_;
    std::uint64_t pos_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t buffer_at_ = 0;
    std::size_t buffer_len_ = 0;
    Failure failure_ = Failure::none;
    std::string reason_;
    std::uint64_t failed_at_ = 0;
    int depth_ = 0;
};

inline constexpr int max_depth = 100;

}  // namespace vora::model::wire
