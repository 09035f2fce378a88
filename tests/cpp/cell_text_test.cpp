#include "configuration/value_json.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "configuration/schema.hpp"
#include "support/json_reference.hpp"

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
        CellCase{"empty_array", json::array(), "[]"}, CellCase{"float_array", json::array({0.5, 1.0}), "[0.5,1.0]"},
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
        EqualCase{"unsigned_differ", json(2u), json(3u), false}, EqualCase{"negative_same", json(-7), json(-7), true},
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

// The field-value forms give what cell_text and json_equal give on the JSON
// forms of the same values, for every field of every record and every pair.
template <class R>
void expect_field_forms_match_json(const std::vector<R>& records) {
    for (const R& a : records) {
        const json a_form = record_json(a);
        for_each_field<R>([&](const auto& f, std::size_t) {
            const std::string key(f.key);
            EXPECT_EQ(value_cell_text(f.get(a)), cell_text(a_form[key])) << R::name << "." << key;
            for (const R& b : records) {
                EXPECT_EQ(same_json_form(f.get(a), f.get(b)), json_equal(a_form[key], record_json(b)[key]))
                    << R::name << "." << key << ": " << a_form[key].dump() << " vs " << record_json(b)[key].dump();
            }
        });
    }
}

TEST(FieldValueForms, MatchTheJsonForms) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    ConfigConfig odd_floats;
    odd_floats.mean_values = std::vector<float>{nan};
    odd_floats.std_values = std::vector<float>{0.1f, -0.0f, 1e16f, 1.5e-7f};
    odd_floats.quantized_dtype = "q\"b\\\n\x01\x7f\u00e9";
    odd_floats.target_platform = "";
    odd_floats.quant_img_RGB2BGR = std::nullopt;
    odd_floats.float_dtype = std::nullopt;
    odd_floats.optimization_level = 255;
    ConfigConfig other_floats;  // [inf] and [nan] are both [null]; -0.0 and 0.0 are equal
    other_floats.mean_values = std::vector<float>{inf};
    other_floats.std_values = std::vector<float>{0.1f, 0.0f, 1e16f, -inf};
    other_floats.quant_img_RGB2BGR = true;
    other_floats.custom_string = "null";
    other_floats.optimization_level = 0;
    ConfigConfig empty_lists;
    empty_lists.mean_values = std::vector<float>{};
    empty_lists.std_values = std::vector<float>{-inf};
    expect_field_forms_match_json(std::vector<ConfigConfig>{{}, odd_floats, other_floats, empty_lists});

    OnnxLoadConfig lists;
    lists.model = "";
    lists.inputs = std::vector<std::string>{};
    lists.input_size_list = std::vector<std::vector<Size>>{{}, {std::numeric_limits<Size>::max(), 0}};
    lists.outputs = std::vector<std::string>{"a\"b", "c\\d", ""};
    OnnxLoadConfig other_lists;
    other_lists.inputs = std::vector<std::string>{"x"};
    other_lists.input_size_list = std::vector<std::vector<Size>>{{}};
    other_lists.input_initial_val_file = "f.npz";
    expect_field_forms_match_json(std::vector<OnnxLoadConfig>{{}, lists, other_lists});

    BuildConfig negative;
    negative.vora_batch_size = std::numeric_limits<std::int32_t>::min();
    negative.do_quantization = std::nullopt;
    negative.dataset = "";
    BuildConfig zero;
    zero.vora_batch_size = 0;
    zero.do_quantization = false;
    zero.auto_hybrid = true;
    BuildConfig largest;
    largest.vora_batch_size = std::numeric_limits<std::int32_t>::max();
    expect_field_forms_match_json(std::vector<BuildConfig>{{}, negative, zero, largest});

    AccuracyAnalysisConfig accuracy;
    accuracy.inputs = {"a.jpg", "\t"};
    accuracy.device_id = "0";
    expect_field_forms_match_json(std::vector<AccuracyAnalysisConfig>{{}, accuracy});

    ExportConfig exports;
    exports.export_path = "";
    expect_field_forms_match_json(std::vector<ExportConfig>{{}, exports});
}

}  // namespace
}  // namespace vora
