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

bool Reader::varint(std::uint64_t end, std::uint64_t& value) {
    const std::uint64_t at = pos_;
    value = 0;
    for (int i = 0; i < 10; ++i) {
        std::uint8_t b = 0;
        if (!byte(end, b)) return false;
        value |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
        if ((b & 0x80) == 0) return true;
    }
    return fail(Failure::malformed, "a varint longer than 10 bytes", at);
}

bool Reader::tag(std::uint64_t end, std::uint64_t& field, Type& type) {
    const std::uint64_t at = pos_;
    std::uint64_t key = 0;
    if (!varint(end, key)) return false;
    field = key >> 3;
    const auto wire = static_cast<unsigned>(key & 7);
    if (field == 0 || field > 0x1fffffff) {
        return fail(Failure::malformed, "field number " + std::to_string(field) + " is out of range", at);
    }
    if (wire == 3 || wire == 4) return fail(Failure::malformed, "a group (wire type " + std::to_string(wire) + ")", at);
    if (wire > 5) return fail(Failure::malformed, "wire type " + std::to_string(wire) + " does not exist", at);
    type = static_cast<Type>(wire);
    return true;
}

bool Reader::length(std::uint64_t end, std::uint64_t& field_end) {
    const std::uint64_t at = pos_;
    std::uint64_t n = 0;
    if (!varint(end, n)) return false;
    if (n > end - pos_) {
        return fail(Failure::truncated,
                    "a length of " + std::to_string(n) + " bytes runs past the end of " +
                        (end >= size_ ? std::string("the file") : std::string("its message")),
                    at);
    }
    field_end = pos_ + n;
    return true;
}

bool Reader::bytes(std::uint64_t end, std::size_t limit, std::string& out) {
    const std::uint64_t at = pos_;
    std::uint64_t field_end = 0;
    if (!length(end, field_end)) return false;
    const std::uint64_t n = field_end - pos_;
    if (n > limit) {
        return fail(Failure::too_large, "a name of " + std::to_string(n) + " bytes (the limit is " +
                                            std::to_string(limit) + ")", at);
    }
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

bool Reader::skip(std::uint64_t end, Type type) {
    const std::uint64_t at = pos_;
    std::uint64_t ignored = 0;
    switch (type) {
    case Type::varint:
        return varint(end, ignored);
    case Type::length:
        if (!length(end, ignored)) return false;
        pos_ = ignored;
        return true;
    case Type::fixed64:
    case Type::fixed32: {
        const std::uint64_t n = type == Type::fixed64 ? 8 : 4;
        if (n > end - pos_) return fail(Failure::truncated, "a fixed-size field runs past the end of its message", at);
        pos_ += n;
        return true;
    }
    default:
        return fail(Failure::malformed, "a group", at);
    }
}

}  // namespace vora::model::wire
