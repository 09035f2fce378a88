#include "text/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace vora {
namespace {

struct DoubleCase {
    double value;
    const char* json;
    std::string display;
};

void PrintTo(const DoubleCase& c, std::ostream* os) { *os << c.json; }

// `head`, `count` zeros, `tail`. Built by appending: GCC 12 warns falsely
// (-Wrestrict) about "text" + std::string(...) in the inlined initialisers below.
std::string zeros(const char* head, std::size_t count, const char* tail) {
    std::string text(head);
    text.append(count, '0');
    text.append(tail);
    return text;
}

class DoubleText : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleText, JsonForm) { EXPECT_EQ(format_json_double(GetParam().value), GetParam().json); }

TEST_P(DoubleText, DisplayForm) { EXPECT_EQ(format_display_double(GetParam().value), GetParam().display); }

INSTANTIATE_TEST_SUITE_P(
    Values, DoubleText,
    ::testing::Values(
        // Zeros and small integral values.
        DoubleCase{0.0, "0.0", "0.0"}, DoubleCase{-0.0, "-0.0", "-0.0"}, DoubleCase{3.0, "3.0", "3.0"},
        DoubleCase{255.0, "255.0", "255.0"}, DoubleCase{-1.5, "-1.5", "-1.5"}, DoubleCase{0.5, "0.5", "0.5"},
        DoubleCase{57.375, "57.375", "57.375"}, DoubleCase{123456.789, "123456.789", "123456.789"},
        DoubleCase{1.0000000000000002, "1.0000000000000002", "1.0000000000000002"},
        // Single-precision values widened to double keep all their digits.
        DoubleCase{static_cast<double>(0.1f), "0.10000000149011612", "0.10000000149011612"},
        DoubleCase{static_cast<double>(123.675f), "123.67500305175781", "123.67500305175781"},
        DoubleCase{0.1, "0.1", "0.1"},
        // Around the lower switch point 1e-5.
        DoubleCase{0.001, "0.001", "0.001"}, DoubleCase{1e-5, "0.00001", "0.00001"},
        DoubleCase{-1e-5, "-0.00001", "-0.00001"}, DoubleCase{1.5e-5, "0.000015", "0.000015"},
        DoubleCase{9.999999999999999e-6, "9.999999999999999e-6", "0.000009999999999999999"},
        DoubleCase{1e-6, "1e-6", "0.000001"}, DoubleCase{1e-7, "1e-7", "0.0000001"},
        DoubleCase{1.5e-7, "1.5e-7", "0.00000015"}, DoubleCase{-2.5e-10, "-2.5e-10", "-0.00000000025"},
        // Around the upper switch point 1e16.
        DoubleCase{1e15, "1000000000000000.0", "1000000000000000.0"},
        DoubleCase{1234567890123456.8, "1234567890123456.8", "1234567890123456.8"},
        DoubleCase{9999999999999998.0, "9999999999999998.0", "9999999999999998.0"},
        DoubleCase{1e16, "1e+16", "10000000000000000.0"}, DoubleCase{-1e16, "-1e+16", "-10000000000000000.0"},
        DoubleCase{1.2345678901234568e+17, "1.2345678901234568e+17", "123456789012345680.0"},
        DoubleCase{1e100, "1e+100", zeros("1", 100, ".0")}, DoubleCase{1e300, "1e+300", zeros("1", 300, ".0")},
        // Extremes.
        DoubleCase{std::numeric_limits<double>::max(), "1.7976931348623157e+308",
                   zeros("17976931348623157", 292, ".0")},
        DoubleCase{std::numeric_limits<double>::denorm_min(), "5e-324", zeros("0.", 323, "5")},
        DoubleCase{std::numeric_limits<double>::min(), "2.2250738585072014e-308",
                   zeros("0.", 307, "22250738585072014")}));

// In the range of fixed notation the JSON form is the shortest fixed text
// std::to_chars finds, ".0" added to an integral one: for values whose exact
// decimal is short (multiples of 2^-10 of every size) and for
// single-precision values widened to double.
TEST(DoubleText, JsonFormIsTheShortestFixedText) {
    std::mt19937_64 random(20260);
    const auto expect_shortest = [](double value) {
        if (!(std::fabs(value) >= 1e-5 && std::fabs(value) < 1e16) && value != 0.0) return;
        char text[64];
        const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
        std::string expected(text, static_cast<std::size_t>(end - text));
        if (expected.find('.') == std::string::npos) expected += ".0";
        ASSERT_EQ(format_json_double(value), expected);
    };
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = random();
        const auto units = static_cast<double>(bits >> (11 + bits % 53));
        expect_shortest((bits & 1024 ? -units : units) / static_cast<double>(1 << (bits >> 32) % 11));
        float single;
        const auto single_bits = static_cast<std::uint32_t>(bits >> 16);
        std::memcpy(&single, &single_bits, sizeof single);
        expect_shortest(static_cast<double>(single));
    }
}

TEST(DoubleText, NonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(format_display_double(inf), "inf");
    EXPECT_EQ(format_display_double(-inf), "-inf");
    EXPECT_EQ(format_display_double(nan), "NaN");
    EXPECT_EQ(format_display_double(std::copysign(nan, -1.0)), "NaN");
    // No JSON number exists for them; they are the JSON null.
    EXPECT_EQ(format_json_double(inf), "null");
    EXPECT_EQ(format_json_double(-inf), "null");
    EXPECT_EQ(format_json_double(nan), "null");
}

}  // namespace
}  // namespace vora
