#include "model/wire.hpp"

#include <algorithm>
#include <cstring>

namespace vora::model::wire {

namespace {
constexpr std::size_t window = 16 * 1024;
}

Reader::Reader(ByteSource& source) : source_(source), size_(source.size()), buffer_(window) {}

bool Reader::fail(Failure failure, std::string reason) { return fail(failure, std::move(reason), pos_); }

bool Reader::fail(Failure failure, std::string reason, std::uint64_t at) {
    if (failure_ == Failure::none) {
        failure_ = failure;
        reason_ = std::move(reason);
        failed_at_ = at;
    }
    return false;
}

bool Reader::fill(std::uint64_t at) {
    buffer_at_ = at;
    buffer_len_ = source_.read(at, std::span<std::uint8_t>(buffer_.data(), buffer_.size()));
    if (buffer_len_ == 0) {
        if (source_.failed()) return fail(Failure::unreadable, "the file cannot be read", at);
        return fail(Failure::truncated, "the file ends inside a field", at);
    }
    return true;
}

bool Reader::byte(std::uint64_t end, std::uint8_t& b) {
    if (pos_ >= end) {
        return fail(Failure::truncated,
                    end >= size_ ? "the file ends inside a field" : "a field runs past the end of its message");
    }
    if (pos_ < buffer_at_ || pos_ >= buffer_at_ + buffer_len_) {
        if (!fill(pos_)) return false;
    }
    b = buffer_[static_cast<std::size_t>(pos_ - buffer_at_)];
    ++pos_;
    return true;
}

bool Reader::varint(std::uint64_t end, std::uint64_t& value) { return varint(end, 10, value); }

bool Reader::varint(std::uint64_t end, int most_bytes, std::uint64_t& value) {
    const std::uint64_t at = pos_;
    value = 0;
    for (int i = 0; i < most_bytes; ++i) {
        std::uint8_t b = 0;
        if (!byte(end, b)) return false;
        value |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
        if ((b & 0x80) == 0) return true;
    }
    return fail(Failure::malformed, "a varint longer than " + std::to_string(most_bytes) + " bytes", at);
}

// A tag is a 32-bit varint (protobuf refuses one of more than 5 bytes or
// past 32 bits): field numbers 1 to 2^29 - 1, wire types 0 to 5.
bool Reader::any_tag(std::uint64_t end, std::uint64_t& field, unsigned& wire) {
    const std::uint64_t at = pos_;
    std::uint64_t key = 0;
    if (!varint(end, 5, key)) return false;
    field = key >> 3;
    wire = static_cast<unsigned>(key & 7);
    if (field == 0 || key > 0xffffffff) {
        return fail(Failure::malformed, "field number " + std::to_string(field) + " is out of range", at);
    }
    if (wire > 5) return fail(Failure::malformed, "wire type " + std::to_string(wire) + " does not exist", at);
    return true;
}

bool Reader::tag(std::uint64_t end, std::uint64_t& field, Type& type) {
    const std::uint64_t at = pos_;
    unsigned wire = 0;
    if (!any_tag(end, field, wire)) return false;
    if (wire == 4) {
        return fail(Failure::malformed, "a group of field " + std::to_string(field) + " ends where none began", at);
    }
    type = static_cast<Type>(wire);
    return true;
}

bool Reader::length(std::uint64_t end, std::uint64_t& field_end) {
    const std::uint64_t at = pos_;
    std::uint64_t n = 0;
    if (!varint(end, 5, n)) return false;
    if (n > end - pos_) {
        return fail(Failure::truncated,
                    "a length of " + std::to_string(n) + " bytes runs past the end of " +
                        (end >= size_ ? std::string("the file") : std::string("its message")),
                    at);
    }
    field_end = pos_ + n;
    return true;
}

bool Reader::bytes(std::uint64_t end, std::string& out) {
    std::uint64_t field_end = 0;
    if (!length(end, field_end)) return false;
    return read(field_end - pos_, out);
}

bool Reader::read(std::uint64_t n, std::string& out) {
    out.resize(static_cast<std::size_t>(n));
    std::size_t done = 0;
    while (done < out.size()) {
        if (pos_ < buffer_at_ || pos_ >= buffer_at_ + buffer_len_) {
            if (!fill(pos_)) return false;
        }
        const std::size_t offset = static_cast<std::size_t>(pos_ - buffer_at_);
        const std::size_t take = std::min(out.size() - done, buffer_len_ - offset);
        std::memcpy(out.data() + done, buffer_.data() + offset, take);
        done += take;
        pos_ += take;
    }
    return true;
}

bool Reader::enter() {
    if (++depth_ <= max_depth) return true;
    return fail(Failure::malformed, "messages and groups nested more than " + std::to_string(max_depth) + " deep");
}

bool Reader::skip(std::uint64_t end, Type type, std::uint64_t field) {
    const std::uint64_t at = pos_;
    std::uint64_t ignored = 0;
    switch (type) {
        case Type::varint: return varint(end, ignored);
        case Type::length:
            if (!length(end, ignored)) return false;
            pos_ = ignored;
            return true;
        case Type::fixed64:
        case Type::fixed32: {
            const std::uint64_t n = type == Type::fixed64 ? 8 : 4;
            if (n > end - pos_)
                return fail(Failure::truncated, "a fixed-size field runs past the end of its message", at);
            pos_ += n;
            return true;
        }
        case Type::group_start: return skip_group(end, field);
        default:
            return fail(Failure::malformed, "a group of field " + std::to_string(field) + " ends where none began", at);
    }
}

// The fields of a group up to the end tag of its field number; the groups
// nested in it by a stack of their field numbers, as deep as enter() lets.
bool Reader::skip_group(std::uint64_t end, std::uint64_t field) {
    const int depth = depth_;
    std::vector<std::uint32_t> open;
    if (!enter()) {
        depth_ = depth;
        return false;
    }
    open.push_back(static_cast<std::uint32_t>(field));
    while (!open.empty()) {
        if (pos_ >= end) {
            depth_ = depth;
            return fail(Failure::truncated,
                        end >= size_ ? "the file ends inside a group" : "a group runs past the end of its message");
        }
        const std::uint64_t at = pos_;
        std::uint64_t number = 0;
        unsigned wire = 0;
        if (!any_tag(end, number, wire)) break;
        if (wire == 4) {
            if (number != open.back()) {
                fail(Failure::malformed,
                     "a group of field " + std::to_string(open.back()) + " ends with field " + std::to_string(number),
                     at);
                break;
            }
            open.pop_back();
            leave();
        } else if (wire == 3) {
            if (!enter()) break;
            open.push_back(static_cast<std::uint32_t>(number));
        } else if (!skip(end, static_cast<Type>(wire), number)) {
            break;
        }
    }
    const bool closed = open.empty();
    depth_ = depth;
    return closed;
}

}  // namespace vora::model::wire
