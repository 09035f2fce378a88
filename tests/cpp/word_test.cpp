#include "text/word.hpp"

#include <array>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace vora::word {
namespace {

// The worked examples of the header's comments.
static_assert(first_lane(0x0000800000000000ull) == 5);
static_assert(last_lane(0x0000000000800080ull) == 2);
static_assert(high(0x41FF41C341414141ull) == 0x0080008000000000ull);
static_assert(below(0x41410A4141204141ull, 0x20) == 0x0000800000000000ull);
static_assert(equal(0x4141224141412241ull, '"') == 0x0000800000008000ull);
static_assert(equal(0x0B0A414141414141ull, '\n') == 0x8080000000000000ull);
static_assert(equal_exact(0x0B0A414141414141ull, '\n') == 0x0080000000000000ull);
static_assert(equal_exact(0x0A0A410A41414141ull, '\n') == 0x8080008000000000ull);
static_assert(in_ascii_range(0x41305A617A2D5F39ull, 'A', 'Z') == 0x8000800000000000ull);
static_assert(continuation(0x41BF41C3A9E282ACull) == 0x0080000080008080ull);
static_assert(unprintable_or<'"'>(0x412241097F414141ull) == 0x0080008080000000ull);
static_assert(unprintable_or<>(0x41E9414141414141ull) == 0x0080000000000000ull);
static_assert(sum_lanes(0x0102030405060708ull) == 36);

struct Predicate {
    const char* name;
    std::uint64_t (*flags)(std::uint64_t);
    bool (*byte)(unsigned char);  // the same question of one byte
    bool exact;                   // else lowest-exact
    bool ascii_only;              // defined for words without a byte >= 0x80
};

void PrintTo(const Predicate& p, std::ostream* os) { *os << p.name; }

const Predicate predicates[] = {
    {"high", [](std::uint64_t w) { return high(w); }, [](unsigned char b) { return b >= 0x80; }, true, false},
    {"below 0x01", [](std::uint64_t w) { return below(w, 0x01); }, [](unsigned char b) { return b < 0x01; }, false,
     false},
    {"below 0x20", [](std::uint64_t w) { return below(w, 0x20); }, [](unsigned char b) { return b < 0x20; }, false,
     false},
    {"below 0x80", [](std::uint64_t w) { return below(w, 0x80); }, [](unsigned char b) { return b < 0x80; }, false,
     false},
    {"equal 0x00", [](std::uint64_t w) { return equal(w, 0x00); }, [](unsigned char b) { return b == 0x00; }, false,
     false},
    {"equal \"", [](std::uint64_t w) { return equal(w, '"'); }, [](unsigned char b) { return b == '"'; }, false, false},
    {"equal 0x7F", [](std::uint64_t w) { return equal(w, 0x7F); }, [](unsigned char b) { return b == 0x7F; }, false,
     false},
    {"equal 0xFF", [](std::uint64_t w) { return equal(w, 0xFF); }, [](unsigned char b) { return b == 0xFF; }, false,
     false},
    {"equal_exact \\n", [](std::uint64_t w) { return equal_exact(w, '\n'); }, [](unsigned char b) { return b == '\n'; },
     true, false},
    {"equal_exact 0x80", [](std::uint64_t w) { return equal_exact(w, 0x80); },
     [](unsigned char b) { return b == 0x80; }, true, false},
    {"equal_exact 0x00", [](std::uint64_t w) { return equal_exact(w, 0x00); },
     [](unsigned char b) { return b == 0x00; }, true, false},
    {"continuation", [](std::uint64_t w) { return continuation(w); },
     [](unsigned char b) { return (b & 0xC0) == 0x80; }, true, false},
    {"in_ascii_range 0x09..0x0D", [](std::uint64_t w) { return in_ascii_range(w, 0x09, 0x0D); },
     [](unsigned char b) { return b >= 0x09 && b <= 0x0D; }, true, true},
    {"in_ascii_range 0x00..0x7F", [](std::uint64_t w) { return in_ascii_range(w, 0x00, 0x7F); },
     [](unsigned char b) { return b <= 0x7F; }, true, true},
    {"in_ascii_range _", [](std::uint64_t w) { return in_ascii_range(w, '_', '_'); },
     [](unsigned char b) { return b == '_'; }, true, true},
    {"unprintable_or<>", [](std::uint64_t w) { return unprintable_or<>(w); },
     [](unsigned char b) { return b < 0x20 || b >= 0x7F; }, false, false},
    {"unprintable_or<quote, backslash>", [](std::uint64_t w) { return unprintable_or<'"', '\\'>(w); },
     [](unsigned char b) { return b < 0x20 || b >= 0x7F || b == '"' || b == '\\'; }, false, false},
};

class WordPredicate : public testing::TestWithParam<Predicate> {};

// Every byte value in every lane, the other lanes all one filler byte: the
// bytes on both sides of each predicate's edges, whose borrows and carries
// reach into the lane under test.
TEST_P(WordPredicate, AgreesWithAByteLoopInEveryLane) {
    const Predicate& p = GetParam();
    const unsigned char fillers[] = {0x00, 0x01, 0x09, 0x0A, 0x0B, 0x0D, 0x1F, 0x20, 0x21, 0x22,
                                     0x23, 0x5F, 0x7E, 0x7F, 0x80, 0x81, 0xBF, 0xC0, 0xFE, 0xFF};
    for (const unsigned char filler : fillers) {
        for (std::size_t lane = 0; lane < 8; ++lane) {
            for (unsigned value = 0; value < 256; ++value) {
                std::array<unsigned char, 8> bytes;
                bytes.fill(filler);
                bytes[lane] = static_cast<unsigned char>(value);
                if (p.ascii_only && (filler >= 0x80 || value >= 0x80)) continue;
                const std::uint64_t flags = p.flags(load(bytes.data()));
                std::uint64_t expected = 0;
                for (std::size_t k = 0; k < 8; ++k)
                    if (p.byte(bytes[k])) expected |= std::uint64_t{0x80} << (8 * k);
                SCOPED_TRACE("filler " + std::to_string(filler) + ", lane " + std::to_string(lane) + ", value " +
                             std::to_string(value));
                ASSERT_EQ(flags & ~highs, 0u);
                if (p.exact) {
                    ASSERT_EQ(flags, expected);
                } else {
                    ASSERT_EQ(flags != 0, expected != 0);
                    if (expected) {
                        ASSERT_EQ(first_lane(flags), first_lane(expected));
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Word, WordPredicate, testing::ValuesIn(predicates));

// load() puts p[k] in lane k; sum_lanes adds the lanes; first_lane and
// last_lane find the ends of a run of flags.
TEST(Word, LoadAndSumLanesReadEveryLane) {
    for (std::size_t lane = 0; lane < 8; ++lane) {
        for (unsigned value = 0; value < 256; ++value) {
            std::array<unsigned char, 8> bytes{};
            bytes[lane] = static_cast<unsigned char>(value);
            const std::uint64_t w = load(bytes.data());
            ASSERT_EQ(w, std::uint64_t{value} << (8 * lane));
            ASSERT_EQ(sum_lanes(w), value);
        }
        ASSERT_EQ(first_lane(highs << (8 * lane)), lane);       // lanes lane to 7
        ASSERT_EQ(last_lane(highs >> (8 * (7 - lane))), lane);  // lanes 0 to lane
    }
}

}  // namespace
}  // namespace vora::word
