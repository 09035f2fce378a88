// Raw deflate streams (the members of an .npz archive) inflated only as far
// as their first bytes are asked for: input is pulled from the source as
// the output needs it, so a header costs what its own bytes take to
// inflate, and asking for more resumes where the last call stopped.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/source.hpp"

namespace vora::model {

enum class InflateStatus : std::uint8_t {
    ok,           // output() holds the bytes asked for (fewer only where the stream ends sooner)
    broken,       // the deflated data is invalid or ends before the bytes asked for
    unreadable,   // the source cannot be read
    over_budget,  // the budget of deflated bytes is spent: nothing more is known
};

class Inflater {
public:
    // The stream of at most `available` bytes at `at`; `budget` is the
    // deflated bytes left to all the streams that share it (taken as read).
    Inflater(ByteSource& source, std::uint64_t at, std::uint64_t available, std::uint64_t& budget)
        : source_(source), at_(at), available_(available), budget_(budget) {}

    // Inflates until `want` bytes are out or the stream ends.
    InflateStatus fill(std::size_t want, std::string& reason);
    const std::vector<std::uint8_t>& output() const { return out_; }
    std::uint64_t consumed() const { return taken_; }  // deflated bytes read so far

    struct Huffman {
        std::array<std::uint16_t, 16> count{};    // codes of each length
        std::array<std::uint16_t, 288> symbol{};  // the symbols in code order
    };

private:
    enum class Step : std::uint8_t { block, stored, codes, end };
    enum class Bits : std::uint8_t { ok, ran_out, unreadable, over_budget };

    Bits need(int n);
    std::uint32_t take_bits(int n);
    Bits next_byte(std::uint8_t& byte);
    InflateStatus block_header(std::string& reason);
    InflateStatus dynamic_tables(std::string& reason);
    InflateStatus stored_bytes(std::size_t want, std::string& reason);
    InflateStatus symbols(std::size_t want, std::string& reason);
    int decode(const Huffman& h, Bits& status);
    InflateStatus failed(Bits status, std::string& reason);
    static InflateStatus broken(std::string& reason, const char* what);

    ByteSource& source_;
    std::uint64_t at_, available_;
    std::uint64_t& budget_;
    std::uint64_t taken_ = 0;  // bytes of the stream read into `chunk_`
    std::vector<std::uint8_t> chunk_;
    std::size_t chunk_pos_ = 0;
    std::uint64_t bit_buffer_ = 0;
    int bit_count_ = 0;
    std::vector<std::uint8_t> out_;
    Step step_ = Step::block;
    bool last_ = false;
    std::uint32_t stored_left_ = 0;
    std::uint32_t copy_left_ = 0, copy_distance_ = 0;
    Huffman lengths_, distances_;
};

}  // namespace vora::model
