#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <tuple>

#include "configuration/load.hpp"
#include "io/read_file.hpp"
#include "text/utf8.hpp"

namespace vora {
namespace {

Configuration load_ok(std::string_view text) {
    auto result = parse_configuration(text);
    if (auto* err = std::get_if<LoadError>(&result)) {
        ADD_FAILURE() << "unexpected error:\n" << err->render();
        return {};
    }
    return std::get<Configuration>(std::move(result));
}

std::string load_error(std::string_view text) {
    auto result = parse_configuration(text);
    if (auto* err = std::get_if<LoadError>(&result)) return err->render();
    ADD_FAILURE() << "expected an error for:\n" << text;
    return {};
}

TEST(Load, EmptyFileGivesEveryDefault) {
    for (std::string_view text : {"", "# only a comment\n\n"}) {
        const Configuration c = load_ok(text);
        EXPECT_EQ(c.config.quantized_dtype, "asymmetric_quantized-8");
        EXPECT_EQ(c.config.quantized_algorithm, "normal");
        EXPECT_EQ(c.config.quantized_method, "channel");
        EXPECT_EQ(c.config.float_dtype, std::optional<std::string>("float16"));
        EXPECT_EQ(c.config.optimization_level, 3);
        EXPECT_EQ(c.config.quant_img_RGB2BGR, std::optional<bool>(false));
        EXPECT_FALSE(c.config.mean_values || c.config.target_platform || c.config.custom_string);
        EXPECT_EQ(c.load.onnx().model, "model.onnx");
        EXPECT_FALSE(c.load.onnx().inputs || c.load.onnx().input_size_list);
        EXPECT_EQ(c.build.do_quantization, std::optional<bool>(true));
        EXPECT_EQ(c.build.auto_hybrid, std::optional<bool>(false));
        EXPECT_FALSE(c.build.vora_batch_size);
        EXPECT_FALSE(c.accuracy_analysis);
        EXPECT_FALSE(c.exports.export_path);
    }
}

TEST(Load, ValuesAndForms) {
    const Configuration c = load_ok(R"(
unknown_top = 1
[config]
mean_values = [0, 0.5, -1]
std_values = [inf, nan]
optimization_level = 7
quantized_dtype = ""
Quantized_Method = "ignored, wrong case"
target_platform = 'vora-m1'
[load]
model_type = "Onnx"
model = "net.onnx"
input_size_list = [[1, 3, 224, 224], [18446744073709551615]]
inputs = []
extra = { anything = 1 }
[build]
dataset = "./data.txt"
vora_batch_size = -1
[accuracy_analysis]
[export.nested]
ignored = true
)");
    EXPECT_EQ(*c.config.mean_values, (std::vector<float>{0.0f, 0.5f, -1.0f}));
    EXPECT_TRUE(std::isinf((*c.config.std_values)[0]));
    EXPECT_TRUE(std::isnan((*c.config.std_values)[1]));
    EXPECT_EQ(c.config.optimization_level, 7);
    EXPECT_EQ(c.config.quantized_dtype, "");
    EXPECT_EQ(c.config.quantized_method, "channel");
    EXPECT_EQ(*c.config.target_platform, "vora-m1");
    EXPECT_EQ(c.load.onnx().model, "net.onnx");
    EXPECT_EQ(*c.load.onnx().input_size_list,
              (std::vector<std::vector<Size>>{{1, 3, 224, 224}, {18446744073709551615ULL}}));
    EXPECT_TRUE(c.load.onnx().inputs && c.load.onnx().inputs->empty());
    EXPECT_EQ(*c.build.dataset, "./data.txt");
    EXPECT_EQ(c.build.do_quantization, std::optional<bool>(true));
    EXPECT_EQ(*c.build.vora_batch_size, -1);
    ASSERT_TRUE(c.accuracy_analysis);
    EXPECT_TRUE(c.accuracy_analysis->inputs.empty());
    EXPECT_FALSE(c.accuracy_analysis->output_dir);
}

TEST(Load, SectionForms) {
    // Inline tables over several lines (TOML 1.1), dotted keys, arrays read by
    // position, and date-times giving the defaults.
    Configuration c = load_ok(
        "config = {\n  optimization_level = 1,\n  custom_string = \"\\e\\x41\",\n}\n"
        "build.dataset = \"d\"\n"
        "load = [\"Onnx\", \"m.onnx\", [\"in\"]]\n"
        "export = 1979-05-27T07:32:00Z\n");
    EXPECT_EQ(c.config.optimization_level, 1);
    EXPECT_EQ(*c.config.custom_string,
              "\x1b"
              "A");
    EXPECT_EQ(*c.build.dataset, "d");
    EXPECT_EQ(c.load.onnx().model, "m.onnx");
    EXPECT_EQ(*c.load.onnx().inputs, std::vector<std::string>{"in"});
    EXPECT_FALSE(c.exports.export_path);

    c = load_ok("build = [false, \"set\"]\naccuracy_analysis = [[\"a\", \"b\"], \"out\"]\nconfig = 07:32\n");
    EXPECT_EQ(c.build.do_quantization, std::optional<bool>(false));
    EXPECT_EQ(*c.build.dataset, "set");
    EXPECT_EQ(c.build.auto_hybrid, std::optional<bool>(false));
    EXPECT_EQ(c.accuracy_analysis->inputs, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(*c.accuracy_analysis->output_dir, "out");
    EXPECT_EQ(c.config.optimization_level, 3);
}

struct ErrorCase {
    const char* name;
    std::string text;
    std::string rendered;
};

class LoadErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LoadErrors, RenderExactly) { EXPECT_EQ(load_error(GetParam().text), GetParam().rendered); }

// `check` goes on past the first error; the first it collects is loading's own.
TEST_P(LoadErrors, FirstOfEveryErrorIsLoadingsOwn) {
    auto parsed = toml::parse(GetParam().text);
    if (!std::holds_alternative<toml::Document>(parsed)) return;
    const auto loaded = map_configuration(std::get<toml::Document>(parsed));
    const std::vector<LoadError> all = mapping_errors(std::get<toml::Document>(parsed));
    ASSERT_FALSE(all.empty());
    const LoadError& first = std::get<LoadError>(loaded);
    EXPECT_EQ(all[0].message, first.message);
    EXPECT_EQ(all[0].path, first.path);
    EXPECT_EQ(all[0].range.has_value(), first.range.has_value());
    if (all[0].range && first.range) {
        EXPECT_EQ(all[0].range->begin, first.range->begin);
        EXPECT_EQ(all[0].range->end, first.range->end);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, LoadErrors,
    ::testing::Values(
        ErrorCase{"u8_range", "[config]\n# level\noptimization_level = 300\n",
                  "TOML parse error at line 3, column 22\n  |\n3 | optimization_level = 300\n"
                  "  |                      ^^^\ninvalid value: integer `300`, expected u8\n"},
        ErrorCase{"u8_float", "config.optimization_level = 3.0",
                  "TOML parse error at line 1, column 29\n  |\n1 | config.optimization_level = 3.0\n"
                  "  |                             ^^^\ninvalid type: floating point `3.0`, expected u8\n"},
        ErrorCase{"empty_load", "\n[load]\n",
                  "TOML parse error at line 2, column 1\n  |\n2 | [load]\n  | ^^^^^^\n"
                  "missing field `model_type`\n"},
        ErrorCase{"variant_case", "[load]\nmodel_type = \"onnx\"\n",
                  "TOML parse error at line 2, column 14\n  |\n2 | model_type = \"onnx\"\n"
                  "  |              ^^^^^^\nunknown variant `onnx`, expected `Onnx`\n"},
        ErrorCase{"variant_type", "[load]\nmodel_type = 1\n",
                  "TOML parse error at line 2, column 14\n  |\n2 | model_type = 1\n"
                  "  |              ^\ninvalid type: integer `1`, expected variant identifier\n"},
        ErrorCase{"load_scalar", "load = \"Onnx\"\n",
                  "TOML parse error at line 1, column 8\n  |\n1 | load = \"Onnx\"\n  |        ^^^^^^\n"
                  "invalid type: string \"Onnx\", expected internally tagged enum LoadConfig\n"},
        ErrorCase{"payload_points_at_load", "load = { model_type = \"Onnx\", model = true }\n",
                  "TOML parse error at line 1, column 8\n  |\n1 | load = { model_type = \"Onnx\", model = true }\n"
                  "  |        ^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^\n"
                  "invalid type: boolean `true`, expected a string\n"},
        ErrorCase{"flat_shapes", "[load]\nmodel_type = \"Onnx\"\ninput_size_list = [1, 3]\n",
                  "TOML parse error at line 1, column 1\n  |\n1 | [load]\n  | ^^^^^^\n"
                  "invalid type: integer `1`, expected a sequence\n"},
        ErrorCase{"negative_size", "load = [\"Onnx\", \"m\", [], [[-1]]]",
                  "TOML parse error at line 1, column 8\n  |\n1 | load = [\"Onnx\", \"m\", [], [[-1]]]\n"
                  "  |        ^^^^^^^^^^^^^^^^^^^^^^^^^\ninvalid value: integer `-1`, expected usize\n"},
        ErrorCase{"i32_range", "[build]\nvora_batch_size = 2147483648\n",
                  "TOML parse error at line 2, column 19\n  |\n2 | vora_batch_size = 2147483648\n"
                  "  |                   ^^^^^^^^^^\ninvalid value: integer `2147483648`, expected i32\n"},
        ErrorCase{"boolean", "[build]\ndo_quantization = \"yes\"\n",
                  "TOML parse error at line 2, column 19\n  |\n2 | do_quantization = \"yes\"\n"
                  "  |                   ^^^^^\ninvalid type: string \"yes\", expected a boolean\n"},
        ErrorCase{"section_type", "build = 1\n",
                  "TOML parse error at line 1, column 9\n  |\n1 | build = 1\n  |         ^\n"
                  "invalid type: integer `1`, expected struct BuildConfig\n"},
        ErrorCase{"list_element", "[config]\nmean_values = [1, \"a\\\"\\\\\\t\\u0001\"]\n",
                  "TOML parse error at line 2, column 19\n  |\n2 | mean_values = [1, \"a\\\"\\\\\\t\\u0001\"]\n"
                  "  |                   ^^^^^^^^^^^^^^^\n"
                  "invalid type: string \"a\\\"\\\\\\t\\u{1}\", expected f32\n"},
        ErrorCase{"not_a_list", "[config]\nmean_values = 0\n",
                  "TOML parse error at line 2, column 15\n  |\n2 | mean_values = 0\n  |               ^\n"
                  "invalid type: integer `0`, expected a sequence\n"},
        ErrorCase{"date_value", "[export]\nexport_path = 1979-05-27\n",
                  "TOML parse error at line 2, column 15\n  |\n2 | export_path = 1979-05-27\n"
                  "  |               ^^^^^^^^^^\ninvalid type: map, expected a string\n"},
        ErrorCase{"table_as_list", "[accuracy_analysis]\ninputs = {}\n",
                  "TOML parse error at line 2, column 10\n  |\n2 | inputs = {}\n  |          ^^\n"
                  "invalid type: map, expected a sequence\n"},
        ErrorCase{"float_forms", "[config]\ncustom_string = -1e300\n",
                  "TOML parse error at line 2, column 17\n  |\n2 | custom_string = -1e300\n"
                  "  |                 ^^^^^^\ninvalid type: floating point `-1" +
                      std::string(300, '0') + ".0`, expected a string\n"},
        ErrorCase{"nan", "[config]\ncustom_string = nan\n",
                  "TOML parse error at line 2, column 17\n  |\n2 | custom_string = nan\n"
                  "  |                 ^^^\ninvalid type: floating point `NaN`, expected a string\n"},
        ErrorCase{"columns_in_characters", "[config]\n\"é\" = 1\ncustom_string = [\"ü\"]\n",
                  "TOML parse error at line 3, column 17\n  |\n3 | custom_string = [\"ü\"]\n"
                  "  |                 ^^^^^\ninvalid type: sequence, expected a string\n"},
        ErrorCase{"crlf_line", "[build]\r\nauto_hybrid = 0\r\n",
                  "TOML parse error at line 2, column 15\n  |\n2 | auto_hybrid = 0\n  |               ^\n"
                  "invalid type: integer `0`, expected a boolean\n"},
        ErrorCase{"caret_cut_at_line_end", "load = { model_type = \"Onnx\",\n  model = 1 }\n",
                  "TOML parse error at line 1, column 8\n  |\n1 | load = { model_type = \"Onnx\",\n"
                  "  |        ^^^^^^^^^^^^^^^^^^^^^^\ninvalid type: integer `1`, expected a string\n"},
        ErrorCase{"integer_overflow", "x = [18446744073709551616]\n",
                  "TOML parse error at line 1, column 6\n  |\n1 | x = [18446744073709551616]\n"
                  "  |      ^^^^^^^^^^^^^^^^^^^^\ninteger number overflowed\n"},
        ErrorCase{"negative_overflow", "x = -9223372036854775809\n",
                  "TOML parse error at line 1, column 5\n  |\n1 | x = -9223372036854775809\n"
                  "  |     ^^^^^^^^^^^^^^^^^^^^\ninteger number overflowed\n"},
        ErrorCase{"hex_overflow", "x = 0x1_0000_0000_0000_0000\n",
                  "TOML parse error at line 1, column 5\n  |\n1 | x = 0x1_0000_0000_0000_0000\n"
                  "  |     ^^^^^^^^^^^^^^^^^^^^^^^\ninteger number overflowed\n"},
        ErrorCase{"float_overflow", "x = { y = -1.8e308 }\n",
                  "TOML parse error at line 1, column 11\n  |\n1 | x = { y = -1.8e308 }\n"
                  "  |           ^^^^^^^^\nfloating-point number overflowed\n"},
        ErrorCase{"wide_value_in_range_check", "[config]\noptimization_level = 0xFFFF_FFFF_FFFF_FFFF\n",
                  "TOML parse error at line 2, column 22\n  |\n2 | optimization_level = 0xFFFF_FFFF_FFFF_FFFF\n"
                  "  |                      ^^^^^^^^^^^^^^^^^^^^^\n"
                  "invalid value: integer `18446744073709551615`, expected u8\n"},
        ErrorCase{"wide_value_type", "[config]\ncustom_string = +9223372036854775808\n",
                  "TOML parse error at line 2, column 17\n  |\n2 | custom_string = +9223372036854775808\n"
                  "  |                 ^^^^^^^^^^^^^^^^^^^^\n"
                  "invalid type: integer `9223372036854775808`, expected a string\n"},
        ErrorCase{"non_ascii_bare_key", "[config]\nμ = 1\n",
                  "TOML parse error at line 2, column 1\n  |\n2 | μ = 1\n  | ^\n"
                  "a bare key may only hold ASCII letters, digits, `-` and `_`, found `μ`; put keys with other "
                  "characters in quotes\n"},
        ErrorCase{"plus_in_bare_key", "a+b = 1\n",
                  "TOML parse error at line 1, column 2\n  |\n1 | a+b = 1\n  |  ^\n"
                  "a bare key may only hold ASCII letters, digits, `-` and `_`, found `+`; put keys with other "
                  "characters in quotes\n"},
        ErrorCase{"hex_float", "x = [1.0, 0x1.8p1]\n",
                  "TOML parse error at line 1, column 11\n  |\n1 | x = [1.0, 0x1.8p1]\n  |           ^^^^^^^\n"
                  "hexadecimal floats are not allowed\n"},
        // Later lines, after quoted keys and multi-byte text on the same line.
        ErrorCase{"bare_key_after_quoted_keys", "\"a b\" = 1\n'c.d' = 2\n[t]\n\"é\".λ = 1\n",
                  "TOML parse error at line 4, column 5\n  |\n4 | \"é\".λ = 1\n  |     ^\n"
                  "a bare key may only hold ASCII letters, digits, `-` and `_`, found `λ`; put keys with other "
                  "characters in quotes\n"},
        ErrorCase{"hex_float_on_a_later_line", "x = 1.5\n# 0x\ny = [2.5,\n  -0x1.8p1]\n",
                  "TOML parse error at line 4, column 3\n  |\n4 |   -0x1.8p1]\n  |   ^^^^^^^^\n"
                  "hexadecimal floats are not allowed\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, FirstBadKeyInTheFileIsReported) {
    // Two bad keys: the one written first wins, whatever the declaration order.
    EXPECT_TRUE(load_error("[config]\noptimization_level = 300\nmean_values = 1\n")
                    .starts_with("TOML parse error at line 2, column 22\n"));
    EXPECT_TRUE(load_error("[config]\nmean_values = 1\noptimization_level = 300\n")
                    .starts_with("TOML parse error at line 2, column 15\n"));
    EXPECT_TRUE(load_error("build = 1\n[config]\noptimization_level = 300\n")
                    .starts_with("TOML parse error at line 1, column 9\n"));
    EXPECT_TRUE(load_error("[load]\nmodel_type = 'Onnx'\noutputs = 1\nmodel = 2\n")
                    .ends_with("invalid type: integer `1`, expected a sequence\n"));
}

TEST(Load, KeysOnOneLongLineAreCheckedInLinearTime) {
    // 50,000 quoted keys that need their source looked at, on one line full
    // of non-ASCII text, then a bare key that is not allowed.
    std::string text = "x = {";
    for (int i = 0; i < 50000; ++i) text += "\"é " + std::to_string(i) + "\" = 1, ";
    const std::size_t column = utf8::count_code_points(text) + 1;
    text += "μ = 2}\n";
    const std::string rendered = load_error(text);
    EXPECT_TRUE(rendered.starts_with("TOML parse error at line 1, column " + std::to_string(column) + "\n"))
        << rendered.substr(0, 60);
    EXPECT_TRUE(rendered.ends_with("found `μ`; put keys with other characters in quotes\n"));
}

TEST(Load, WideIntegersAreExactAndLinear) {
    // Many unsigned-only literals in one file: every one keeps its exact value.
    std::string text = "[load]\nmodel_type = \"Onnx\"\ninput_size_list = [\n";
    for (int i = 0; i < 20000; ++i)
        text += "  [18446744073709551615, " + std::to_string(i) + ", 9223372036854775808],\n";
    text += "]\nunknown = [0xFFFF_FFFF_FFFF_FFFF, \"18446744073709551615 = x\"]\n";
    text += "18446744073709551615 = 'a digit key stays a key'\n";
    const Configuration c = load_ok(text);
    const auto& shapes = *c.load.onnx().input_size_list;
    ASSERT_EQ(shapes.size(), 20000u);
    EXPECT_EQ(shapes[19999], (std::vector<Size>{18446744073709551615ULL, 19999, 9223372036854775808ULL}));
}

TEST(Load, ByteOrderMarkKeepsPositionsInOneFrame) {
    const Configuration c = load_ok(
        "\xEF\xBB\xBF"
        "config.mean_values = [18446744073709551615]\n");
    EXPECT_EQ((*c.config.mean_values)[0], 18446744073709551615.0f);
    EXPECT_EQ(load_error("\xEF\xBB\xBF"
                         "build = 1\n"),
              "TOML parse error at line 1, column 9\n  |\n1 | build = 1\n  |         ^\n"
              "invalid type: integer `1`, expected struct BuildConfig\n");
    EXPECT_EQ(load_error("\xEF\xBB\xBF"
                         "x = [0x1.0p0]\n"),
              "TOML parse error at line 1, column 6\n  |\n1 | x = [0x1.0p0]\n  |      ^^^^^^^\n"
              "hexadecimal floats are not allowed\n");
}

TEST(Load, WideIntegerAsFloat) {
    const Configuration c = load_ok("config.mean_values = [18446744073709551615, 1]");
    EXPECT_EQ((*c.config.mean_values)[0], 18446744073709551615.0f);
}

// What a mapping error holds as data: its kind, the expected type as the
// message names it and in words, what was found, the byte range and the
// key path. The message is rendered from these. An entry of [load] beside
// its tag points at the table ([load] in the header: bytes 0 to 6).
struct DataCase {
    const char* name;
    std::string text;
    LoadErrorKind kind;
    std::string expected;
    std::optional<std::string> in_words;
    std::string found;
    std::uint32_t begin, end;
    std::string path;
};

class LoadErrorData : public ::testing::TestWithParam<DataCase> {};

TEST_P(LoadErrorData, KindExpectedFoundRangeAndPath) {
    const DataCase& c = GetParam();
    const LoadError error = std::get<LoadError>(parse_configuration(c.text));
    EXPECT_EQ(error.kind, c.kind);
    EXPECT_EQ(error.expected.text(), c.expected);
    EXPECT_EQ(error.expected.in_words(), c.in_words);
    EXPECT_EQ(error.found(), c.found);
    ASSERT_TRUE(error.range);
    EXPECT_EQ(std::pair(error.range->begin, error.range->end), std::pair(c.begin, c.end));
    std::string path;
    for (const std::string& key : error.path) path += (path.empty() ? "" : ".") + key;
    EXPECT_EQ(path, c.path);
}

// A syntax error holds the reader's byte offsets, and an entry of [load]
// beside its tag the byte offsets of its key; both count a byte-order mark
// (a string left open runs from its quote to the end).
TEST(Load, SyntaxErrorsAndKeysAtFaultHoldByteRanges) {
    struct Case {
        std::string text;
        std::uint32_t begin, end;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> key;
    };
    for (const Case& c :
         {Case{"a = \n", 4, 5, std::nullopt}, Case{"\xEF\xBB\xBFk = 'x\xC3\xA9", 7, 11, std::nullopt},
          Case{"[load]\nmodel_type = \"Onnx\"\ninput_size_list = [[1, -2]]\n", 0, 6, std::pair(27u, 42u)},
          Case{"\xEF\xBB\xBF[load]\nmodel_type = \"Onnx\"\n'inputs' = 1\n", 3, 9, std::pair(30u, 38u)}}) {
        const LoadError error = std::get<LoadError>(parse_configuration(c.text));
        ASSERT_TRUE(error.range) << c.text;
        EXPECT_EQ(std::pair(error.range->begin, error.range->end), std::pair(c.begin, c.end)) << c.text;
        if (c.key) {
            const std::vector<LoadError> all = mapping_errors(std::get<toml::Document>(toml::parse(c.text)));
            ASSERT_TRUE(!all.empty() && all[0].key) << c.text;
            EXPECT_EQ(std::pair(all[0].key->begin, all[0].key->end), *c.key) << c.text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LoadErrorData,
    ::testing::Values(DataCase{"out_of_range", "[config]\noptimization_level = 300\n", LoadErrorKind::InvalidValue,
                               "u8", "an integer from 0 to 255", "integer `300`", 30, 33, "config.optimization_level"},
                      DataCase{"float_for_i32", "build.vora_batch_size = 2.5", LoadErrorKind::InvalidType, "i32",
                               "an integer from -2147483648 to 2147483647", "floating point `2.5`", 24, 27,
                               "build.vora_batch_size"},
                      DataCase{"size_in_list", "[load]\nmodel_type = \"Onnx\"\ninput_size_list = [[1, -2]]\n",
                               LoadErrorKind::InvalidValue, "usize", "a whole number ≥ 0", "integer `-2`", 0, 6,
                               "load.input_size_list"},
                      DataCase{"string_for_bool", "build.auto_hybrid = \"yes\"", LoadErrorKind::InvalidType,
                               "a boolean", std::nullopt, "string \"yes\"", 20, 25, "build.auto_hybrid"},
                      DataCase{"section_not_table", "export = 1", LoadErrorKind::InvalidType, "struct ExportConfig",
                               "a table", "integer `1`", 9, 10, "export"},
                      DataCase{"load_not_table", "load = [\"Onnx\", 1]", LoadErrorKind::InvalidType, "a string",
                               std::nullopt, "integer `1`", 7, 18, "load.model"},
                      DataCase{"missing_tag", "[load]\nmodel = \"m\"\n", LoadErrorKind::MissingField, "`model_type`",
                               std::nullopt, "", 0, 6, "load"},
                      DataCase{"tag_not_string", "load.model_type = 1", LoadErrorKind::InvalidType,
                               "variant identifier", "the string \"Onnx\"", "integer `1`", 18, 19, "load.model_type"},
                      DataCase{"unknown_variant", "load.model_type = \"Tf\"", LoadErrorKind::UnknownVariant, "`Onnx`",
                               std::nullopt, "Tf", 18, 22, "load.model_type"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, NoPositionRendersMessageAndPath) {
    LoadError e{"missing field `model_type`", {"load"}, ""};
    EXPECT_EQ(e.render(), "missing field `model_type`\nin `load`\n");
    e.path = {"config", "optimization_level"};
    EXPECT_EQ(e.render(), "missing field `model_type`\nin `config.optimization_level`\n");
    e.path.clear();
    EXPECT_EQ(e.render(), "missing field `model_type`\n");
}

// Inputs that once aborted or misbehaved inside the parser, and hostile input.
TEST(Load, HostileInputsAreRejectedCleanly) {
    std::vector<std::string> inputs = {"[",
                                       "[!]",
                                       "[.]",
                                       "[..]",
                                       "[[[",
                                       "[[",
                                       "]",
                                       "=",
                                       "\"",
                                       "'''",
                                       "a = {",
                                       "a = [",
                                       "a.",
                                       "\xEF\xBB\xBF[",
                                       std::string("a = \"\0\"", 7)};
    inputs.push_back(std::string(100000, '['));
    inputs.push_back("a = " + std::string(100000, '[') + std::string(100000, ']'));
    inputs.push_back("a = " + std::string(100000, '{'));
    for (const std::string& text : inputs) {
        const std::string rendered = load_error(text);
        EXPECT_TRUE(rendered.starts_with("TOML parse error at line ")) << rendered;
    }
    std::mt19937 rng(12345);
    const std::string alphabet = "[]{}=\"'.,#\n \\abc01xe+-_:μ\t";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int length = static_cast<int>(rng() % 40);
        for (int i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
        if (!utf8::valid(text)) continue;
        auto result = parse_configuration(text);
        if (auto* err = std::get_if<LoadError>(&result)) {
            EXPECT_FALSE(err->render().empty());
        }
    }
}

std::string dotted(std::size_t parts) {
    std::string key = "a";
    for (std::size_t i = 1; i < parts; ++i) key += ".a";
    return key;
}

TEST(Load, NestingDepthIsBounded) {
    // Deep dotted keys and headers would exhaust the stack while the parsed
    // tree is built or torn down; they are refused with a position.
    const std::string deep_errors[] = {
        dotted(100000) + " = 1\n",
        "[" + dotted(100000) + "]\n",
        "[[" + dotted(4096) + "]]\n",
        "x = 1\n" + dotted(100000) + " = 1\n= broken",
        "[" + dotted(2100) + "]\n" + dotted(2100) + " = 1\n",
        "t = {" + dotted(1400) + " = [{" + dotted(1400) + " = {" + dotted(1400) + " = 1}}]}\n",
    };
    for (const std::string& text : deep_errors) {
        const std::string rendered = load_error(text);
        EXPECT_NE(rendered.find("tables and arrays may nest at most 4096 levels deep"), std::string::npos)
            << rendered.substr(0, 200);
    }
    // The error points at the first key part beyond the limit.
    EXPECT_TRUE(load_error(dotted(100000) + " = 1\n").starts_with("TOML parse error at line 1, column 8193\n"));

    // Deep but within bounds, and many dots that do not nest.
    std::string fine = "[" + dotted(2000) + "]\n" + dotted(2000) + " = [[1]]\n";
    fine += "[accuracy_analysis]\ninputs = [";
    for (int i = 0; i < 5000; ++i) fine += "\"img." + std::to_string(i) + ".jpg\", ";
    fine += "]\n";
    const Configuration c = load_ok(fine);
    EXPECT_EQ(c.accuracy_analysis->inputs.size(), 5000u);
}

TEST(Utf8, Validity) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain ascii, longer than eight bytes", true},
        {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", true},  // é 中 😀
        {"\xEF\xBF\xBD", true},                          // U+FFFD written out
        {"\xF4\x8F\xBF\xBF", true},                      // U+10FFFF
        {"\xC0\xAF", false},                             // overlong '/'
        {"\xE0\x80\xAF", false},                         // overlong, three bytes
        {"\xED\xA0\x80", false},                         // a surrogate
        {"\xF4\x90\x80\x80", false},                     // above U+10FFFF
        {"abcdefgh\xC3", false},                         // truncated at the end
        {"\xC3(", false},                                // bad continuation
        {"\x80", false},                                 // lone continuation
        {"\xFF", false},
    };
    for (const auto& [bytes, ok] : cases) EXPECT_EQ(utf8::valid(bytes), ok) << bytes;
}

// The TOML 1.1.0 conformance corpus: every valid document loads without a
// syntax error (it may still fail the mapping), every invalid one is refused.
std::vector<std::string> corpus(std::string_view kind) {
    std::vector<std::string> names;
    std::ifstream list(std::string(VORA_TOML_TEST_DIR) + "/files-toml-1.1.0");
    std::string line;
    while (std::getline(list, line)) {
        if (line.starts_with(kind) && line.ends_with(".toml")) names.push_back(line);
    }
    return names;
}

std::string file_bytes(const std::string& relative) {
    std::ifstream in(std::string(VORA_TOML_TEST_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool is_mapping_message(std::string_view m) {
    for (std::string_view prefix : {"invalid type: ", "invalid value: ", "missing field ", "unknown variant "})
        if (m.starts_with(prefix)) return true;
    return false;
}

TEST(TomlCorpus, ValidDocumentsParse) {
    const auto names = corpus("valid/");
    ASSERT_EQ(names.size(), 220u);
    for (const std::string& name : names) {
        const std::string text = file_bytes(name);
        ASSERT_TRUE(utf8::valid(text)) << name;
        auto result = parse_configuration(text);
        if (auto* err = std::get_if<LoadError>(&result)) {
            EXPECT_TRUE(is_mapping_message(err->message)) << name << "\n" << err->render();
        }
    }
}

TEST(TomlCorpus, InvalidDocumentsAreRefused) {
    const auto names = corpus("invalid/");
    ASSERT_EQ(names.size(), 492u);
    for (const std::string& name : names) {
        const std::string text = file_bytes(name);
        if (!utf8::valid(text)) continue;  // refused before parsing: "stream did not contain valid UTF-8"
        auto result = parse_configuration(text);
        auto* err = std::get_if<LoadError>(&result);
        ASSERT_NE(err, nullptr) << name << " was accepted";
        EXPECT_FALSE(is_mapping_message(err->message)) << name;
        EXPECT_TRUE(err->render().starts_with("TOML parse error at line ")) << name;
    }
}

TEST(ReadFile, Failures) {
    const auto dir = std::filesystem::temp_directory_path();
    auto message = [](std::string_view path) {
        auto r = read_text_file(path, kDocumentLimit);
        auto* e = std::get_if<ReadError>(&r);
        return e ? e->message : std::string("<read>");
    };
    EXPECT_EQ(message((dir / "vora-no-such-file.toml").string()), "No such file or directory (os error 2)");
    EXPECT_EQ(message(dir.string()), "Is a directory (os error 21)");
    EXPECT_EQ(message(std::string("a\0b", 3)), "file name contained an unexpected NUL byte");
    const auto bad = dir / "vora-bad-utf8.toml";
    std::ofstream(bad, std::ios::binary) << "a = \"\xC3\x28\"";
    EXPECT_EQ(message(bad.string()), "stream did not contain valid UTF-8");
    std::ofstream(bad, std::ios::binary) << "a = \"\xED\xA0\x80\"";  // an encoded surrogate
    EXPECT_EQ(message(bad.string()), "stream did not contain valid UTF-8");
    std::filesystem::remove(bad);
}

}  // namespace
}  // namespace vora

namespace vora {
namespace {

TEST(Load, ValuesReachTheRecordAsWritten) {
    // A line-ending backslash drops spaces, tabs and line breaks only: a
    // no-break space at the start of the next line stays. A float of any
    // number of digits reads as the nearest double.
    const Configuration c = load_ok(
        "[config]\ncustom_string = \"\"\"a \\\n\xC2\xA0"
        "b\"\"\"\nmean_values = [0." +
        std::string(200, '5') + "]\n");
    EXPECT_EQ(*c.config.custom_string,
              "a \xC2\xA0"
              "b");
    EXPECT_EQ((*c.config.mean_values)[0], 0.5555555555555556f);
    // An integer of any length beyond both 64-bit ranges is refused where it
    // stands, under a key the configuration ignores as much as under a known one.
    EXPECT_EQ(load_error("[config]\nnot_a_key = " + std::string(130, '7') + "\n"),
              "TOML parse error at line 2, column 13\n  |\n2 | not_a_key = " + std::string(130, '7') + "\n  |" +
                  std::string(13, ' ') + std::string(130, '^') + "\ninteger number overflowed\n");
}

}  // namespace
}  // namespace vora

namespace vora {
namespace {

// Where the mapping keeps each key: the bytes of the key (a section's whole
// header when it has one) and of its value, for the checks that place
// findings there.
struct PlaceCase {
    const char* name;
    std::string_view text;
    const Place* (*find)(const Places&);
    std::string_view key;    // nothing kept when empty
    std::string_view value;  // not compared when empty
};

const Place* model_place(const Places& p) { return p.find<OnnxLoadConfig>(0); }
const Place* load_place(const Places& p) { return p.find<Configuration>(1); }
const Place* mean_place(const Places& p) { return p.find<ConfigConfig>(0); }
const Place* accuracy_inputs_place(const Places& p) { return p.find<AccuracyAnalysisConfig>(0); }

class MappedPlaces : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(MappedPlaces, KeyAndValueBytes) {
    const PlaceCase& c = GetParam();
    auto parsed = toml::parse(c.text);
    ASSERT_TRUE(std::holds_alternative<toml::Document>(parsed));
    Configuration configuration;
    Places places;
    ASSERT_FALSE(map_configuration(std::get<toml::Document>(parsed), configuration, /*lean=*/true, &places));
    const Place* place = c.find(places);
    if (c.key.empty()) {
        EXPECT_EQ(place, nullptr);
        return;
    }
    ASSERT_NE(place, nullptr);
    EXPECT_EQ(c.text.substr(place->key.begin, place->key.end - place->key.begin), c.key);
    const ByteRange value = place->value_range();
    if (!c.value.empty()) {
        EXPECT_EQ(c.text.substr(value.begin, value.end - value.begin), c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Load, MappedPlaces,
    ::testing::Values(
        PlaceCase{"model_in_a_table", "[load]\nmodel_type = \"Onnx\"\nmodel = \"m.onnx\"\n", model_place, "model",
                  "\"m.onnx\""},
        PlaceCase{"header_of_a_section", "# c\n[load]  # l\nmodel_type = \"Onnx\"\n", load_place, "[load]", ""},
        PlaceCase{"header_with_blanks", "[ load ]\nmodel_type = \"Onnx\"\n", load_place, "[ load ]", ""},
        PlaceCase{"inline_section", "load = { model_type = \"Onnx\", model = \"x\" }\n", load_place, "load",
                  "{ model_type = \"Onnx\", model = \"x\" }"},
        PlaceCase{"key_of_an_inline_section", "load = { model_type = \"Onnx\", model = \"x\" }\n", model_place, "model",
                  "\"x\""},
        PlaceCase{"no_model_key", "[load]\nmodel_type = \"Onnx\"\n", model_place, "", ""},
        PlaceCase{"array_form_keeps_no_key", "load = [\"Onnx\", \"m.onnx\"]\n", model_place, "", ""},
        PlaceCase{"list_of_numbers", "[config]\nmean_values = [1, 2.5]\n", mean_place, "mean_values", "[1, 2.5]"},
        PlaceCase{"input_file_list_unmapped_but_placed", "[accuracy_analysis]\ninputs = [\"a.jpg\", \"b.jpg\"]\n",
                  accuracy_inputs_place, "inputs", "[\"a.jpg\", \"b.jpg\"]"},
        PlaceCase{"no_section", "", load_place, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vora
