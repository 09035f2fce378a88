// Eight bytes at a time: predicates over the eight bytes ("lanes") of a
// 64-bit word, each answered by a few arithmetic operations instead of a
// loop. Each returns flags: the top bit (0x80) of a lane is set where the
// lane answers yes, every other bit is clear.
//
// Lane k is the byte at p[k] of the eight read by load(), on any machine, so
// first_lane() of the flags is the offset of the first byte that answered.
//
// Two kinds of predicate:
//   - exact: every flag is right (popcount counts the matches);
//   - lowest-exact: the flags are nonzero exactly when some lane answers
//     yes, and the lowest flag is right, but a lane above a lane that
//     answered yes may be flagged falsely (a borrow runs upwards from it).
//     Flags of several lowest-exact predicates may be or-ed: the lowest flag
//     of the union is still right. Use them to find the first stop in a run.
// Lanes are numbered from the low end; the worked examples write words as
// hexadecimal numbers, so lane 0 is the rightmost byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vora::word {

inline constexpr std::uint64_t ones = 0x0101010101010101ull;
inline constexpr std::uint64_t highs = 0x8080808080808080ull;

// The byte `c` in every lane: repeat('\n') == 0x0A0A0A0A0A0A0A0A.
constexpr std::uint64_t repeat(unsigned char c) { return ones * c; }

// The eight bytes at p, p[k] in lane k.
inline std::uint64_t load(const void* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

// The lane of the lowest flag (flags != 0): first_lane(0x0000800000000000) == 5.
constexpr std::size_t first_lane(std::uint64_t flags) { return static_cast<std::size_t>(std::countr_zero(flags)) >> 3; }

// The lane of the highest flag (flags != 0): last_lane(0x0000000000800080) == 2.
constexpr std::size_t last_lane(std::uint64_t flags) {
    return static_cast<std::size_t>(63 - std::countl_zero(flags)) >> 3;
}

// Exact: lanes of 0x80 and above.
// high(0x41FF41C3_41414141) == 0x00800080_00000000.
constexpr std::uint64_t high(std::uint64_t w) { return w & highs; }

// Lowest-exact: lanes below n, for 1 <= n <= 0x80. Subtracting n borrows
// the top bit into a lane below n; ~w drops lanes that had it already.
// below(0x41410A41_41204141, 0x20) == 0x00008000_00000000 (the line feed in
// lane 5, not the space in lane 2).
constexpr std::uint64_t below(std::uint64_t w, unsigned char n) { return (w - repeat(n)) & ~w & highs; }

// Lowest-exact: lanes equal to c, the zero lanes of w ^ repeat(c).
// equal(0x41412241_41412241, '"') == 0x00008000_00008000 (lanes 1 and 5).
// A lane just above a match is flagged falsely when it is c ^ 0x01, the
// borrow taken from it: equal(0x0B0A4141_41414141, '\n') == 0x80800000_00000000.
constexpr std::uint64_t equal(std::uint64_t w, unsigned char c) { return below(w ^ repeat(c), 1); }

// Exact: lanes equal to c. Adding 0x7F to the low seven bits of a lane
// carries into its top bit unless they are all zero, and no carry leaves the
// lane; or-ing x in keeps lanes whose own top bit differs.
// equal_exact(0x0B0A4141_41414141, '\n') == 0x00800000_00000000, and
// equal_exact(0x0A0A410A_41414141, '\n') == 0x80800080_00000000.
constexpr std::uint64_t equal_exact(std::uint64_t w, unsigned char c) {
    const std::uint64_t x = w ^ repeat(c);
    return ~(((x & ~highs) + ~highs) | x) & highs;
}

// Exact for words with no lane of 0x80 and above (test high() first): lanes
// from lo to hi, 0 <= lo <= hi <= 0x7F. w + (0x80 - lo) sets a lane's top
// bit when the lane is at least lo, w + (0x7F - hi) when it is above hi; no
// lane carries into the next.
// in_ascii_range(0x41305A61_7A2D5F39, 'A', 'Z') == 0x80008000_00000000.
constexpr std::uint64_t in_ascii_range(std::uint64_t w, unsigned char lo, unsigned char hi) {
    return (w + repeat(static_cast<unsigned char>(0x80 - lo))) & ~(w + repeat(static_cast<unsigned char>(0x7F - hi))) &
           highs;
}

// Lowest-exact: the lanes that stop a run of printable ASCII (0x20 to 0x7E)
// other than the bytes `cs` (ASCII): control characters (tab included),
// DEL, bytes of 0x80 and above, and the bytes cs. The same as
// below(w, 0x20) | equal(w, 0x7F) | high(w) | equal(w, c)..., in fewer
// operations: the borrows of all the subtractions share one & ~w (a lane
// of 0x80 and above is flagged by | w anyway), and w + 1 carries into the
// top bit of DEL alone among ASCII lanes.
// unprintable_or<'"'>(0x41224109_7F414141) == 0x00800080_80000000 (the `"`,
// the tab and DEL); unprintable_or<>(0x41E94141_41414141) == 0x00800000_00000000.
template <unsigned char... cs>
constexpr std::uint64_t unprintable_or(std::uint64_t w) {
    std::uint64_t borrows = w - repeat(0x20);
    ((borrows |= (w ^ repeat(cs)) - ones), ...);
    return ((borrows & ~w) | (w + ones) | w) & highs;
}

// Exact: UTF-8 continuation bytes, 0b10xxxxxx: the top bit set and the next
// one clear (w << 1 moves each lane's bit 6 to its top bit; lane k - 1's top
// bit lands on lane k's bit 0, masked away).
// continuation(0x41BF41C3_A9E282AC) == 0x00800000_80008080.
constexpr std::uint64_t continuation(std::uint64_t w) { return w & ~(w << 1) & highs; }

// The sum of the eight lanes, when it is below 256 (it lands in the top lane
// of the product): sum_lanes(0x0102030405060708) == 36.
constexpr std::uint64_t sum_lanes(std::uint64_t w) { return (w * ones) >> 56; }

}  // namespace vora::word
