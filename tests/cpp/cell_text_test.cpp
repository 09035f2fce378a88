#include "section/cell_text.hpp"

#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace vora {
namespace {

using nlohmann::json;

struct CellCase {
    const char* name;
    json value;
    std::string text;
};

void PrintTo(const CellCase& c, std::ostream* os) { *os << c.name; }

class CellText : public ::testing::TestWithParam<CellCase> {};

TEST_P(CellText, Text) { EXPECT_EQ(cell_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, CellText,
    ::testing::Values(
        CellCase{"null", json(nullptr), "null"}, CellCase{"true", json(true), "true"},
        CellCase{"false", json(false), "false"},
        CellCase{"bare_string", json("asymmetric_quantized-8"), "asymmetric_quantized-8"},
        CellCase{"bare_string_keeps_quotes_and_controls", json("a\"b\\c\n\t"), "a\"b\\c\n\t"},
        CellCase{"empty_string", json(""), ""},
        CellCase{"unsigned", json(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
        CellCase{"signed_stored_non_negative", json(std::int64_t{3}), "3"},
        CellCase{"negative", json(std::int64_t{std::numeric_limits<std::int64_t>::min()}), "-9223372036854775808"},
        CellCase{"integral_float", json(255.0), "255.0"}, CellCase{"negative_zero", json(-0.0), "-0.0"},
        CellCase{"widened_float", json(static_cast<double>(0.1f)), "0.10000000149011612"},
        CellCase{"large_float", json(1e16), "1e+16"}, CellCase{"small_float", json(1.5e-7), "1.5e-7"},
        CellCase{"non_finite_float", json(std::numeric_limits<double>::infinity()), "null"},
        CellCase{"empty_array", json::array(), "[]"},
        CellCase{"float_array", json::array({0.5, 1.0}), "[0.5,1.0]"},
        CellCase{"nested_array", json::parse("[[1,3,224,224]]"), "[[1,3,224,224]]"},
        CellCase{"string_array", json::array({"input0", "b"}), R"(["input0","b"])"},
        CellCase{"escaped_strings",
                 json::array({std::string("q\"b\\s/\b\t\n\f\r") + '\0' + "\x01\x1f\x7f" + "é\u2028"}),
                 std::string(R"(["q\"b\\s/\b\t\n\f\r\u0000\u0001\u001f)") + "\x7f" + "é\u2028\"]"},
        CellCase{"mixed_array", json::parse(R"([null,true,-1,2,2.5,"x",[],{}])"), R"([null,true,-1,2,2.5,"x",[],{}])"},
        CellCase{"object", json::parse(R"({"b":[1.0],"a\n":"t"})"), R"({"a\n":"t","b":[1.0]})"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EqualCase {
    const char* name;
    json a;
    json b;
    bool equal;
};

void PrintTo(const EqualCase& c, std::ostream* os) { *os << c.name; }

class JsonEqual : public ::testing::TestWithParam<EqualCase> {};

TEST_P(JsonEqual, BothOrders) {
    EXPECT_EQ(json_equal(GetParam().a, GetParam().b), GetParam().equal);
    EXPECT_EQ(json_equal(GetParam().b, GetParam().a), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, JsonEqual,
    ::testing::Values(
        EqualCase{"null_null", json(nullptr), json(nullptr), true},
        EqualCase{"null_false", json(nullptr), json(false), false},
        EqualCase{"null_empty_array", json(nullptr), json::array(), false},
        EqualCase{"bools", json(true), json(true), true}, EqualCase{"bools_differ", json(true), json(false), false},
        EqualCase{"unsigned_vs_float", json(3u), json(3.0), false},
        EqualCase{"negative_vs_float", json(-3), json(-3.0), false},
        EqualCase{"zero_vs_float_zero", json(0u), json(0.0), false},
        EqualCase{"unsigned_vs_signed_storage", json(std::uint64_t{3}), json(std::int64_t{3}), true},
        EqualCase{"unsigned_differ", json(2u), json(3u), false},
        EqualCase{"negative_same", json(-7), json(-7), true},
        EqualCase{"negative_vs_positive", json(-7), json(7u), false},
        EqualCase{"floats_same", json(0.5), json(0.5), true},
        EqualCase{"widened_vs_decimal", json(static_cast<double>(0.1f)), json(0.1), false},
        EqualCase{"strings_same", json("float16"), json("float16"), true},
        EqualCase{"strings_differ", json("float16"), json("float32"), false},
        EqualCase{"string_vs_number_text", json("3"), json(3u), false},
        EqualCase{"arrays_same", json::parse("[[1,2],[3]]"), json::parse("[[1,2],[3]]"), true},
        EqualCase{"arrays_length", json::parse("[1,2]"), json::parse("[1,2,3]"), false},
        EqualCase{"arrays_element_kind", json::parse("[1]"), json::parse("[1.0]"), false},
        EqualCase{"objects_same", json::parse(R"({"a":1,"b":[true]})"), json::parse(R"({"b":[true],"a":1})"), true},
        EqualCase{"objects_names", json::parse(R"({"a":1})"), json::parse(R"({"b":1})"), false},
        EqualCase{"objects_extra_member", json::parse(R"({"a":1})"), json::parse(R"({"a":1,"b":null})"), false},
        EqualCase{"objects_values", json::parse(R"({"a":1})"), json::parse(R"({"a":1.0})"), false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vora
