// The prefix inflater.
#include <algorithm>

#include "model/inflate.hpp"

namespace vora::model {

namespace {

constexpr std::uint64_t first_chunk = 512, chunk_size = 64 * 1024;

constexpr std::uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t distance_base[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                             33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t code_length_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The canonical code of `lengths`: 0 when complete, more when incomplete,
// less when over-subscribed.
int construct(Inflater::Huffman& h, const std::uint8_t* lengths, int n) {
    h.count.fill(0);
    for (int s = 0; s < n; ++s) ++h.count[lengths[s]];
    if (h.count[0] == n) return 0;  // no codes: complete, as far as a decode goes
    int left = 1;
    for (int len = 1; len < 16; ++len) {
        left = (left << 1) - h.count[len];
        if (left < 0) return left;
    }
    std::array<std::uint16_t, 16> offsets{};
    for (int len = 1; len < 15; ++len) offsets[len + 1] = static_cast<std::uint16_t>(offsets[len] + h.count[len]);
    for (int s = 0; s < n; ++s) {
        if (lengths[s] != 0) h.symbol[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
    }
    return left;
}

const Inflater::Huffman& fixed_table(bool distances) {
    static const auto tables = [] {
        std::array<Inflater::Huffman, 2> t;
        std::uint8_t lengths[288];
        std::fill(lengths, lengths + 144, 8);
        std::fill(lengths + 144, lengths + 256, 9);
        std::fill(lengths + 256, lengths + 280, 7);
        std::fill(lengths + 280, lengths + 288, 8);
        construct(t[0], lengths, 288);
        std::fill(lengths, lengths + 30, 5);
        construct(t[1], lengths, 30);
        return t;
    }();
    return tables[distances ? 1 : 0];
}

}  // namespace

InflateStatus Inflater::broken(std::string& reason, const char* what) {
    reason = std::string("its deflated data is broken (") + what + ")";
    return InflateStatus::broken;
}

InflateStatus Inflater::failed(Bits status, std::string& reason) {
    switch (status) {
        case Bits::ok: break;
        case Bits::ran_out: reason = "its deflated data ends early"; return InflateStatus::broken;
        case Bits::unreadable: reason = "the file cannot be read"; return InflateStatus::unreadable;
        case Bits::over_budget:
            reason = "the deflated bytes its members' headers take are past the budget";
            return InflateStatus::over_budget;
    }
    return InflateStatus::ok;
}

Inflater::Bits Inflater::next_byte(std::uint8_t& byte) {
    if (chunk_pos_ == chunk_.size()) {
        if (taken_ == available_) return Bits::ran_out;
        // Reads grow from a few hundred bytes (what a header's first block
        // takes) to 64 KiB.
        const std::uint64_t grow = std::clamp<std::uint64_t>(taken_, first_chunk, chunk_size);
        const std::uint64_t n = std::min({grow, available_ - taken_, budget_});
        if (n == 0) return Bits::over_budget;
        budget_ -= n;
        chunk_.resize(static_cast<std::size_t>(n));
        if (source_.read(at_ + taken_, chunk_) != n) return Bits::unreadable;
        taken_ += n;
        chunk_pos_ = 0;
    }
    byte = chunk_[chunk_pos_++];
    return Bits::ok;
}

Inflater::Bits Inflater::need(int n) {
    while (bit_count_ < n) {
        std::uint8_t byte = 0;
        if (const Bits b = next_byte(byte); b != Bits::ok) return b;
        bit_buffer_ |= static_cast<std::uint64_t>(byte) << bit_count_;
        bit_count_ += 8;
    }
    return Bits::ok;
}

std::uint32_t Inflater::take_bits(int n) {
    const auto v = static_cast<std::uint32_t>(bit_buffer_ & ((1ull << n) - 1));
    bit_buffer_ >>= n;
    bit_count_ -= n;
    return v;
}

// One symbol, a bit at a time through the canonical code; -1 for a code
// the table does not hold.
int Inflater::decode(const Huffman& h, Bits& status) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
        if ((status = need(1)) != Bits::ok) return -1;
        code |= static_cast<int>(take_bits(1));
        const int count = h.count[len];
        if (code - count < first) return h.symbol[index + (code - first)];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -1;
}

InflateStatus Inflater::block_header(std::string& reason) {
    if (last_) {
        step_ = Step::end;
        return InflateStatus::ok;
    }
    if (const Bits b = need(3); b != Bits::ok) return failed(b, reason);
    last_ = take_bits(1) != 0;
    switch (take_bits(2)) {
        case 0: {
            take_bits(bit_count_ % 8);  // to the byte
            if (const Bits b = need(32); b != Bits::ok) return failed(b, reason);
            const std::uint32_t len = take_bits(16), complement = take_bits(16);
            if (len != (~complement & 0xffff)) {
                return broken(reason, "a stored block's length is not checked by its complement");
            }
            stored_left_ = len;
            step_ = Step::stored;
            return InflateStatus::ok;
        }
        case 1:
            lengths_ = fixed_table(false);
            distances_ = fixed_table(true);
            step_ = Step::codes;
            return InflateStatus::ok;
        case 2: return dynamic_tables(reason);
        default: return broken(reason, "a block of type 3");
    }
}

InflateStatus Inflater::dynamic_tables(std::string& reason) {
    if (const Bits b = need(14); b != Bits::ok) return failed(b, reason);
    const int nlen = static_cast<int>(take_bits(5)) + 257, ndist = static_cast<int>(take_bits(5)) + 1;
    const int ncode = static_cast<int>(take_bits(4)) + 4;
    if (nlen > 286 || ndist > 30) return broken(reason, "too many length or distance codes");
    std::uint8_t lengths[286 + 30] = {};
    for (int i = 0; i < ncode; ++i) {
        if (const Bits b = need(3); b != Bits::ok) return failed(b, reason);
        lengths[code_length_order[i]] = static_cast<std::uint8_t>(take_bits(3));
    }
    if (construct(lengths_, lengths, 19) != 0) return broken(reason, "an incomplete code length code");
    std::fill(lengths, lengths + 19, 0);
    for (int index = 0; index < nlen + ndist;) {
        Bits status = Bits::ok;
        int symbol = decode(lengths_, status);
        if (status != Bits::ok) return failed(status, reason);
        if (symbol < 0) return broken(reason, "an invalid code length");
        if (symbol < 16) {
            lengths[index++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t len = 0;
        const int extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        if (const Bits b = need(extra); b != Bits::ok) return failed(b, reason);
        if (symbol == 16) {
            if (index == 0) return broken(reason, "a repeat with no length before it");
            len = lengths[index - 1];
        }
        const int repeat = static_cast<int>(take_bits(extra)) + (symbol == 18 ? 11 : 3);
        if (index + repeat > nlen + ndist) return broken(reason, "code lengths past the codes");
        std::fill(lengths + index, lengths + index + repeat, len);
        index += repeat;
    }
    if (lengths[256] == 0) return broken(reason, "no end-of-block code");
    // A code may be incomplete only as a single code of one bit.
    const int left_lengths = construct(lengths_, lengths, nlen);
    if (left_lengths < 0 || (left_lengths > 0 && nlen != lengths_.count[0] + lengths_.count[1])) {
        return broken(reason, "an invalid literal/length code");
    }
    const int left_distances = construct(distances_, lengths + nlen, ndist);
    if (left_distances < 0 || (left_distances > 0 && ndist != distances_.count[0] + distances_.count[1])) {
        return broken(reason, "an invalid distance code");
    }
    step_ = Step::codes;
    return InflateStatus::ok;
}

InflateStatus Inflater::stored_bytes(std::size_t want, std::string& reason) {
    while (stored_left_ > 0 && out_.size() < want) {
        std::uint8_t byte = 0;
        if (const Bits b = next_byte(byte); b != Bits::ok) return failed(b, reason);
        out_.push_back(byte);
        --stored_left_;
    }
    if (stored_left_ == 0) step_ = Step::block;
    return InflateStatus::ok;
}

InflateStatus Inflater::symbols(std::size_t want, std::string& reason) {
    while (out_.size() < want) {
        if (copy_left_ > 0) {
            out_.push_back(out_[out_.size() - copy_distance_]);
            --copy_left_;
            continue;
        }
        Bits status = Bits::ok;
        int symbol = decode(lengths_, status);
        if (status != Bits::ok) return failed(status, reason);
        if (symbol < 0) return broken(reason, "an invalid literal/length code");
        if (symbol < 256) {
            out_.push_back(static_cast<std::uint8_t>(symbol));
            continue;
        }
        if (symbol == 256) {
            step_ = Step::block;
            return InflateStatus::ok;
        }
        symbol -= 257;
        if (symbol >= 29) return broken(reason, "an invalid length");
        if (const Bits b = need(length_extra[symbol]); b != Bits::ok) return failed(b, reason);
        copy_left_ = length_base[symbol] + take_bits(length_extra[symbol]);
        const int d = decode(distances_, status);
        if (status != Bits::ok) return failed(status, reason);
        if (d < 0 || d >= 30) return broken(reason, "an invalid distance code");
        if (const Bits b = need(distance_extra[d]); b != Bits::ok) return failed(b, reason);
        copy_distance_ = distance_base[d] + take_bits(distance_extra[d]);
        if (copy_distance_ > out_.size()) return broken(reason, "a distance too far back");
    }
    return InflateStatus::ok;
}

InflateStatus Inflater::fill(std::size_t want, std::string& reason) {
    while (out_.size() < want && step_ != Step::end) {
        InflateStatus status = InflateStatus::ok;
        switch (step_) {
            case Step::block: status = block_header(reason); break;
            case Step::stored: status = stored_bytes(want, reason); break;
            case Step::codes: status = symbols(want, reason); break;
            case Step::end: break;
        }
        if (status != InflateStatus::ok) return status;
    }
    return InflateStatus::ok;
}

}  // namespace vora::model
