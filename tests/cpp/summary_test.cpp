#include "summary/summary.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "support/summary_text.hpp"

#include "support/table_cells.hpp"

namespace vora {
namespace {

using summary_test::configuration_summary;
using summary_test::section_summary;

// The cell texts of a drawn summary, one vector per table row (single-line
// cells only), trailing padding removed.
std::vector<std::vector<std::string>> table_cells(const std::string& summary) {
    std::vector<std::vector<std::string>> rows;
    std::size_t start = 0;
    while (start < summary.size()) {
        std::size_t end = summary.find('\n', start);
        if (end == std::string::npos) end = summary.size();
        const std::string line = summary.substr(start, end - start);
        start = end + 1;
        const std::string frame = "║";
        if (line.rfind(frame, 0) != 0) continue;
        std::string inner = line.substr(frame.size(), line.size() - 2 * frame.size());
        std::vector<std::string> cells;
        const std::string column_line = "│";
        std::size_t from = 0;
        while (true) {
            const std::size_t at = inner.find(column_line, from);
            std::string cell = inner.substr(from, at == std::string::npos ? std::string::npos : at - from);
            cell.erase(cell.find_last_not_of(' ') + 1);
            cells.push_back(cell);
            if (at == std::string::npos) break;
            from = at + column_line.size();
        }
        rows.push_back(cells);
    }
    return rows;
}

using Rows = std::vector<std::vector<std::string>>;
const std::vector<std::string> kHeader = {"Key", "Value", "Default", "Set by User?", "Description"};

TEST(SectionSummary, BuildSectionExample) {
    BuildConfig build;
    build.do_quantization = false;
    build.dataset = "./dataset.txt";
    EXPECT_EQ(
        section_summary("build", build),
        "[build]\n"
        "╔═══════════════╤═════════════╤═══════╤════════════╤═════════════════════════════════════════════════════╗\n"
        "║Key            │Value        │Default│Set by User?│Description                                          ║\n"
        "╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢\n"
        "║auto_hybrid    │false        │false  │No          │Enable automatic hybrid quantization (default: false)║\n"
        "╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢\n"
        "║dataset        │./dataset.txt│null   │Yes         │Path to dataset file for quantization (default: None)║\n"
        "╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢\n"
        "║do_quantization│false        │true   │Yes         │Whether to quantize the model (default: true)        ║\n"
        "╟───────────────┼─────────────┼───────┼────────────┼─────────────────────────────────────────────────────╢\n"
        "║vora_batch_size│null         │null   │No          │Batch size for inference (default: None)             ║\n"
        "╚═══════════════╧═════════════╧═══════╧════════════╧═════════════════════════════════════════════════════╝\n"
        "\n");
}

TEST(SectionSummary, ExportSection) {
    EXPECT_EQ(section_summary("export", ExportConfig{}),
              "[export]\n"
              "╔═══════════╤═════╤═══════╤════════════╤═══════════╗\n"
              "║Key        │Value│Default│Set by User?│Description║\n"
              "╟───────────┼─────┼───────┼────────────┼───────────╢\n"
              "║export_path│null │null   │No          │           ║\n"
              "╚═══════════╧═════╧═══════╧════════════╧═══════════╝\n"
              "\n");
}

TEST(SectionSummary, DefaultConfigSection) {
    const std::string target = "target platform [vora-s1, vora-s2, vora-m1, vora-m2, vora-l1, vora-l2, vora-x1, ...]";
    const Rows expected = {
        kHeader,
        {"compress_weight", "false", "false", "No", "Compress the model weights."},
        {"custom_string", "null", "null", "No", "A custom string to add to the model."},
        {"float_dtype", "float16", "float16", "No", "float_dtype [float16, float32, bfloat16]"},
        {"inputs_yuv_fmt", "null", "null", "No", "Input YUV format."},
        {"mean_values", "null", "null", "No", "Mean values for normalization."},
        {"optimization_level", "3", "3", "No", "Optimization level [0, 1, 2, 3]"},
        {"quant_img_RGB2BGR", "false", "false", "No", "BGR channel order instead of RGB"},
        {"quantized_algorithm", "normal", "normal", "No", "Quantized algorithm. [normal, mmse]"},
        {"quantized_dtype", "asymmetric_quantized-8", "asymmetric_quantized-8", "No",
         "Quantized dtype. [asymmetric_quantized-8]"},
        {"quantized_method", "channel", "channel", "No", "Quantized method. [channel, group, layers]"},
        {"remove_weight", "false", "false", "No", "Remove the weights from the model."},
        {"single_core_mode", "false", "false", "No", "Single core mode."},
        {"std_values", "null", "null", "No", "Standard deviation values for normalization."},
        {"target_platform", "null", "null", "No", target},
    };
    const std::string summary = section_summary("config", ConfigConfig{});
    EXPECT_EQ(summary.substr(0, 9), "[config]\n");
    EXPECT_EQ(summary.substr(summary.size() - 5), "╝\n\n");
    EXPECT_EQ(table_cells(summary), expected);
}

struct RowCase {
    const char* name;
    std::string summary;
    std::vector<std::string> row;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class SummaryRow : public ::testing::TestWithParam<RowCase> {};

// The row of the case's key appears exactly as given.
TEST_P(SummaryRow, Shows) {
    const Rows rows = table_cells(GetParam().summary);
    const auto& expected = GetParam().row;
    bool found = false;
    for (const auto& row : rows) {
        if (!row.empty() && row[0] == expected[0]) {
            EXPECT_EQ(row, expected);
            found = true;
        }
    }
    EXPECT_TRUE(found) << "no row for " << expected[0];
}

ConfigConfig with_mean_values() {
    ConfigConfig config;
    config.mean_values = std::vector<float>{0.1f};
    config.std_values = std::vector<float>{0.5f, 57.375f};
    config.optimization_level = 2;
    config.float_dtype = "float16";
    config.target_platform = "vora-m2";
    return config;
}

OnnxLoadConfig with_load_lists() {
    OnnxLoadConfig load;
    load.inputs = std::vector<std::string>{};
    load.outputs = std::vector<std::string>{"out\"0", "out\\1"};
    load.input_size_list = std::vector<std::vector<Size>>{{1, 3, 224, 224}};
    load.model = "model.onnx";
    return load;
}

AccuracyAnalysisConfig with_accuracy_inputs(std::vector<std::string> inputs) {
    AccuracyAnalysisConfig accuracy;
    accuracy.inputs = std::move(inputs);
    return accuracy;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SummaryRow,
    ::testing::Values(
        RowCase{"mean_values_single_float",
                section_summary("config", with_mean_values()),
                {"mean_values", "[0.10000000149011612]", "null", "Yes", "Mean values for normalization."}},
        RowCase{"std_values_exact_floats",
                section_summary("config", with_mean_values()),
                {"std_values", "[0.5,57.375]", "null", "Yes", "Standard deviation values for normalization."}},
        RowCase{"optimization_level_changed",
                section_summary("config", with_mean_values()),
                {"optimization_level", "2", "3", "Yes", "Optimization level [0, 1, 2, 3]"}},
        RowCase{"float_dtype_written_as_default",
                section_summary("config", with_mean_values()),
                {"float_dtype", "float16", "float16", "No", "float_dtype [float16, float32, bfloat16]"}},
        RowCase{"target_platform_set",
                section_summary("config", with_mean_values()),
                {"target_platform", "vora-m2", "null", "Yes",
                 "target platform [vora-s1, vora-s2, vora-m1, vora-m2, vora-l1, vora-l2, vora-x1, ...]"}},
        RowCase{"load_inputs_empty_differs_from_null",
                section_summary("load", with_load_lists()),
                {"inputs", "[]", "null", "Yes", "Optional list of input names (e.g. [\"input0\"])"}},
        RowCase{"load_outputs_quoted_and_escaped",
                section_summary("load", with_load_lists()),
                {"outputs", R"(["out\"0","out\\1"])", "null", "Yes", "Optional list of output names"}},
        RowCase{"load_input_size_list",
                section_summary("load", with_load_lists()),
                {"input_size_list", "[[1,3,224,224]]", "null", "Yes",
                 "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])"}},
        RowCase{"load_model_default",
                section_summary("load", with_load_lists()),
                {"model", "model.onnx", "model.onnx", "No", "Path to the ONNX model file"}},
        RowCase{"accuracy_inputs_empty_is_default",
                section_summary("accuracy_analysis", with_accuracy_inputs({})),
                {"inputs", "[]", "[]", "No", "Input file paths for accuracy analysis."}},
        RowCase{"accuracy_inputs_set",
                section_summary("accuracy_analysis", with_accuracy_inputs({"a.jpg"})),
                {"inputs", R"(["a.jpg"])", "[]", "Yes", "Input file paths for accuracy analysis."}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SectionSummary, KeyOrderOfEverySection) {
    const auto keys = [](const std::string& summary) {
        std::vector<std::string> out;
        for (const auto& row : table_cells(summary)) out.push_back(row[0]);
        return out;
    };
    EXPECT_EQ(
        keys(section_summary("load", OnnxLoadConfig{})),
        (std::vector<std::string>{"Key", "input_initial_val_file", "input_size_list", "inputs", "model", "outputs"}));
    EXPECT_EQ(keys(section_summary("accuracy_analysis", AccuracyAnalysisConfig{})),
              (std::vector<std::string>{"Key", "device_id", "inputs", "output_dir", "target"}));
}

// Each section the configuration holds, as "key record-name method": [load]
// stands for its model source, an absent [accuracy_analysis] is left out.
std::vector<std::string> sections_of(const Configuration& configuration) {
    std::vector<std::string> seen;
    for_each_section(configuration, [&](std::string_view key, const auto& record) {
        using R = std::remove_cvref_t<decltype(record)>;
        seen.push_back(std::string(key) + " " + std::string(R::name) + " " + std::string(R::method));
    });
    return seen;
}

TEST(ForEachSection, KeysRecordsAndMethodsInOrder) {
    Configuration configuration;
    EXPECT_EQ(sections_of(configuration),
              (std::vector<std::string>{"config ConfigConfig config", "load OnnxLoadConfig load_onnx",
                                        "build BuildConfig build", "export ExportConfig export_vora"}));
    configuration.accuracy_analysis.emplace();
    EXPECT_EQ(sections_of(configuration),
              (std::vector<std::string>{
                  "config ConfigConfig config", "load OnnxLoadConfig load_onnx", "build BuildConfig build",
                  "accuracy_analysis AccuracyAnalysisConfig accuracy_analysis", "export ExportConfig export_vora"}));

    // The records handed out are the configuration's own.
    std::vector<const void*> records;
    for_each_section(configuration, [&](std::string_view, const auto& record) { records.push_back(&record); });
    EXPECT_EQ(records,
              (std::vector<const void*>{&configuration.config, &configuration.load.onnx(), &configuration.build,
                                        &*configuration.accuracy_analysis, &configuration.exports}));
}

TEST(ConfigurationSummary, SectionsInOrder) {
    Configuration without_accuracy;
    const std::string expected_without = "\n[Configuration Summary]\n\n" + section_summary("config", ConfigConfig{}) +
                                         section_summary("load", OnnxLoadConfig{}) +
                                         section_summary("build", BuildConfig{}) +
                                         section_summary("export", ExportConfig{});
    EXPECT_EQ(configuration_summary(without_accuracy), expected_without);

    Configuration with_accuracy;
    with_accuracy.accuracy_analysis = with_accuracy_inputs({"x.png"});
    with_accuracy.build.auto_hybrid = true;
    with_accuracy.exports.export_path = "out.vora";
    const std::string expected_with = "\n[Configuration Summary]\n\n" + section_summary("config", ConfigConfig{}) +
                                      section_summary("load", OnnxLoadConfig{}) +
                                      section_summary("build", with_accuracy.build) +
                                      section_summary("accuracy_analysis", *with_accuracy.accuracy_analysis) +
                                      section_summary("export", with_accuracy.exports);
    EXPECT_EQ(configuration_summary(with_accuracy), expected_with);
    EXPECT_NE(expected_with.find("╝\n\n[accuracy_analysis]\n╔"), std::string::npos);
    EXPECT_NE(expected_with.find("║export_path│out.vora│null   │Yes         │           ║"), std::string::npos);
}

// The summary as a model Table of owned cells drawn by render.
template <class Record>
std::string model_section(std::string_view name, const Record& record) {
    static const Record defaults{};
    std::vector<std::vector<std::string>> rows;
    for_each_field<Record>([&](const auto& f, std::size_t) {
        rows.push_back({std::string(f.key), value_cell_text(f.get(record)), value_cell_text(f.get(defaults)),
                        same_json_form(f.get(record), f.get(defaults)) ? "No" : "Yes", std::string(f.description)});
    });
    std::sort(rows.begin(), rows.end());
    Table table;
    table.add_row({"Key", "Value", "Default", "Set by User?", "Description"});
    for (auto& row : rows) table.add_row(std::move(row));
    return "[" + std::string(name) + "]\n" + render(table) + "\n\n";
}

// A record whose fixed cells are unlike the real ones: a tab in a key, a
// non-ASCII key, multi-line and whitespace-rewritten defaults and
// descriptions, a default wider than any value.
struct OddRecord {
    std::string plain = "x";
    std::optional<std::string> lines = std::string("first\nsecond\r\nthird");
    std::vector<std::string> list{};
    std::optional<std::vector<float>> floats{};
    bool flag = false;
    std::optional<std::int32_t> number = -7;
    std::string wide = std::string(140, '=');

    static constexpr auto fields() {
        using R = OddRecord;
        return std::tuple{
            field("zeta", &R::plain, "Ends\tthe table"),
            field("\u043a\u043b\u044e\u0447", &R::lines,
                  "\u041e\u043f\u0438\u0441\u0430\u043d\u0438\u0435\non two lines\n"),
            field("a\tkey", &R::list),
            field("flag", &R::flag, "   indented\u3000wide\u00A0space"),
            field("number", &R::number, "a\r\n\r\nb"),
            field("floats", &R::floats, "\U0001F600"),
            field("wide", &R::wide, "long default"),
        };
    }
};

template <class Record>
using Change = std::function<void(Record&)>;

template <class Record>
std::vector<std::pair<const char*, Change<Record>>> changes();

template <>
std::vector<std::pair<const char*, Change<OddRecord>>> changes() {
    return {
        {"defaults", [](OddRecord&) {}},
        {"multi_line_values",
         [](OddRecord& r) {
             r.plain = "one\ntwo\nthree\nfour";
             r.lines = "\n";
             r.list = {"a\nb", "c"};
         }},
        {"non_ascii_values",
         [](OddRecord& r) {
             r.plain = "\u4e2d\u6587\U0001F600";
             r.lines = "\u00e9\u00e8\u00ea";
             r.list = {"\u00fc"};
         }},
        {"whitespace_rewritten_values",
         [](OddRecord& r) {
             r.plain = "a\tb\u3000c  d\u2028";
             r.lines = "x\ry\r\n\tz\f";
             r.flag = true;
         }},
        {"wide_and_empty_values",
         [](OddRecord& r) {
             r.plain = std::string(300, 'v');
             r.lines = "";
             r.floats = std::vector<float>{0.1f, -0.0f, 1e30f};
             r.number.reset();
             r.wide = "";
         }},
        {"malformed_utf8_value", [](OddRecord& r) { r.plain = std::string("\x80") + "a" + "\xC0\xAF" + "\xE2\x82"; }},
    };
}

template <>
std::vector<std::pair<const char*, Change<ConfigConfig>>> changes() {
    return {
        {"defaults", [](ConfigConfig&) {}},
        {"example",
         [](ConfigConfig& c) {
             c.mean_values = std::vector<float>{123.675f, 116.28f, 103.53f};
             c.target_platform = "vora-m1";
             c.quant_img_RGB2BGR = true;
             c.custom_string = "mobilenet_v2 classifier";
         }},
        {"odd_strings",
         [](ConfigConfig& c) {
             c.custom_string = "line one\nline two\twith tab\n\tindented";
             c.target_platform = "v\u00f6r\u00e4 \u4e2d\u6587";
             c.float_dtype = "a\u00A0b\u3000c  d";
             c.inputs_yuv_fmt = "x\r\ny\rz\n";
             c.quantized_dtype = "";
             c.optimization_level = 0;
         }},
    };
}

template <class Record>
class SummaryAgainstModel : public ::testing::Test {};

using ModelRecords = ::testing::Types<OddRecord, ConfigConfig>;
TYPED_TEST_SUITE(SummaryAgainstModel, ModelRecords);

TYPED_TEST(SummaryAgainstModel, SameText) {
    for (const auto& [name, change] : changes<TypeParam>()) {
        TypeParam record;
        change(record);
        EXPECT_EQ(section_summary("odd", record), model_section("odd", record)) << name;
    }
}

// Drawn through sinks of small buffers, one after another for configurations
// of different sizes: each buffer handed on full, the last piece at finish,
// and together the whole summary.
TEST(ConfigurationSummary, DrawnThroughSmallBuffers) {
    Configuration small;
    Configuration large;
    large.config.custom_string = std::string(500, 'c') + "\n" + std::string(20, 'd');
    large.accuracy_analysis = with_accuracy_inputs({"a.png", "b.png"});
    large.load.source = with_load_lists();
    Configuration odd = large;
    odd.build.dataset = "\u00e9\ttab\r\nline";

    for (const std::size_t buffer_size : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        for (const Configuration* configuration : {&small, &large, &small, &odd, &large}) {
            std::vector<std::string> pieces;
            std::vector<char> buffer(buffer_size);
            Sink sink(
                buffer,
                [](void* to, std::string_view bytes) {
                    static_cast<std::vector<std::string>*>(to)->emplace_back(bytes);
                },
                &pieces);
            draw_configuration_summary(*configuration, sink);
            sink.finish();
            std::string whole;
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                if (i + 1 < pieces.size()) {
                    EXPECT_EQ(pieces[i].size(), buffer_size);
                }
                whole += pieces[i];
            }
            EXPECT_EQ(whole, configuration_summary(*configuration));
        }
    }
    std::string model = "\n[Configuration Summary]\n\n";
    for_each_section(odd, [&](std::string_view key, const auto& record) { model += model_section(key, record); });
    EXPECT_EQ(configuration_summary(odd), model);
}

}  // namespace
}  // namespace vora
