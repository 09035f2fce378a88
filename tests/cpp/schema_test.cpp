#include "configuration/schema.hpp"

#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "configuration/value_json.hpp"
#include "support/json_reference.hpp"

namespace vora {
namespace {

using nlohmann::json;

constexpr const char* kConfigSchema = R"json({
  "$schema": "https://json-schema.org/draft/2020-12/schema",
  "title": "ConfigConfig",
  "type": "object",
  "properties": {
    "mean_values": {"type": ["array", "null"], "items": {"type": "number", "format": "float"},
                    "description": "Mean values for normalization.", "default": null},
    "std_values": {"type": ["array", "null"], "items": {"type": "number", "format": "float"},
                   "description": "Standard deviation values for normalization.", "default": null},
    "quantized_dtype": {"type": "string", "description": "Quantized dtype. [asymmetric_quantized-8]",
                        "default": "asymmetric_quantized-8"},
    "quantized_algorithm": {"type": "string", "description": "Quantized algorithm. [normal, mmse]",
                            "default": "normal"},
    "quantized_method": {"type": "string", "description": "Quantized method. [channel, group, layers]",
                         "default": "channel"},
    "target_platform": {"type": ["string", "null"],
                        "description": "target platform [vora-s1, vora-s2, vora-m1, vora-m2, vora-l1, vora-l2, vora-x1, ...]",
                        "minLength": 1, "default": null},
    "quant_img_RGB2BGR": {"type": ["boolean", "null"], "description": "BGR channel order instead of RGB",
                          "default": false},
    "float_dtype": {"type": ["string", "null"], "description": "float_dtype [float16, float32, bfloat16]",
                    "default": "float16"},
    "optimization_level": {"type": "integer", "format": "uint8", "minimum": 0, "maximum": 3,
                           "description": "Optimization level [0, 1, 2, 3]", "default": 3},
    "custom_string": {"type": ["string", "null"], "description": "A custom string to add to the model.",
                      "default": null},
    "remove_weight": {"type": ["boolean", "null"], "description": "Remove the weights from the model.",
                      "default": false},
    "compress_weight": {"type": ["boolean", "null"], "description": "Compress the model weights.",
                        "default": false},
    "inputs_yuv_fmt": {"type": ["string", "null"], "description": "Input YUV format.", "default": null},
    "single_core_mode": {"type": ["boolean", "null"], "description": "Single core mode.", "default": false}
  }
})json";

constexpr const char* kLoadSchema = R"json({
  "$schema": "https://json-schema.org/draft/2020-12/schema",
  "title": "OnnxLoadConfig",
  "type": "object",
  "properties": {
    "model": {"type": "string", "description": "Path to the ONNX model file", "default": "model.onnx"},
    "inputs": {"type": ["array", "null"], "items": {"type": "string"},
               "description": "Optional list of input names (e.g. [\"input0\"])", "default": null},
    "input_size_list": {"type": ["array", "null"],
                        "items": {"type": "array", "items": {"type": "integer", "format": "uint", "minimum": 0}},
                        "description": "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])",
                        "default": null},
    "input_initial_val_file": {"type": ["string", "null"],
                               "description": "Path to a `.npy` or `.npz` file containing a list of NumPy arrays",
                               "default": null},
    "outputs": {"type": ["array", "null"], "items": {"type": "string"},
                "description": "Optional list of output names", "default": null}
  }
})json";

constexpr const char* kBuildSchema = R"json({
  "$schema": "https://json-schema.org/draft/2020-12/schema",
  "title": "BuildConfig",
  "type": "object",
  "properties": {
    "do_quantization": {"type": ["boolean", "null"], "description": "Whether to quantize the model (default: true)",
                        "default": true},
    "dataset": {"type": ["string", "null"], "description": "Path to dataset file for quantization (default: None)",
                "default": null},
    "vora_batch_size": {"type": ["integer", "null"], "format": "int32",
                        "description": "Batch size for inference (default: None)", "default": null},
    "auto_hybrid": {"type": ["boolean", "null"], "description": "Enable automatic hybrid quantization (default: false)",
                    "default": false}
  }
})json";

constexpr const char* kAccuracySchema = R"json({
  "$schema": "https://json-schema.org/draft/2020-12/schema",
  "title": "AccuracyAnalysisConfig",
  "type": "object",
  "properties": {
    "inputs": {"type": "array", "items": {"type": "string"},
               "description": "Input file paths for accuracy analysis.", "default": []},
    "output_dir": {"type": ["string", "null"],
                   "description": "Directory where accuracy snapshots and analysis files are written.",
                   "default": null},
    "target": {"type": ["string", "null"],
               "description": "Optional target hardware platform for board-side analysis.", "default": null},
    "device_id": {"type": ["string", "null"], "description": "Optional target device ID.", "default": null}
  }
})json";

constexpr const char* kExportSchema = R"json({
  "$schema": "https://json-schema.org/draft/2020-12/schema",
  "properties": {"export_path": {"default": null, "type": ["string", "null"]}},
  "title": "ExportConfig",
  "type": "object"
})json";

struct SchemaCase {
    const char* name;
    const json& (*build)();
    const char* expected;
};

void PrintTo(const SchemaCase& c, std::ostream* os) { *os << c.name; }

class SectionSchema : public ::testing::TestWithParam<SchemaCase> {};

// Whether both values are stored alike throughout (nlohmann keeps a
// non-negative integer either signed or unsigned; the documents use unsigned).
bool same_storage(const json& a, const json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_array()) {
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
            if (!same_storage(a[i], b[i])) return false;
        }
    }
    if (a.is_object()) {
        for (auto it = a.begin(); it != a.end(); ++it) {
            if (b.contains(it.key()) && !same_storage(it.value(), b[it.key()])) return false;
        }
    }
    return true;
}

TEST_P(SectionSchema, IsExactlyTheDocument) {
    const json actual = GetParam().build();
    const json expected = json::parse(GetParam().expected);
    EXPECT_TRUE(json_equal(actual, expected)) << actual.dump(2) << "\n---\n" << expected.dump(2);
    EXPECT_TRUE(same_storage(actual, expected));
}

TEST_P(SectionSchema, IsTheSameDocumentOnEveryCall) { EXPECT_EQ(&GetParam().build(), &GetParam().build()); }

INSTANTIATE_TEST_SUITE_P(Sections, SectionSchema,
                         ::testing::Values(SchemaCase{"config", &section_schema<ConfigConfig>, kConfigSchema},
                                           SchemaCase{"load", &section_schema<OnnxLoadConfig>, kLoadSchema},
                                           SchemaCase{"build", &section_schema<BuildConfig>, kBuildSchema},
                                           SchemaCase{"accuracy_analysis", &section_schema<AccuracyAnalysisConfig>,
                                                      kAccuracySchema},
                                           SchemaCase{"export", &section_schema<ExportConfig>, kExportSchema}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordJson, DefaultsOfEverySection) {
    EXPECT_EQ(record_json(ConfigConfig{}).dump(),
              R"({"compress_weight":false,"custom_string":null,"float_dtype":"float16","inputs_yuv_fmt":null,)"
              R"("mean_values":null,"optimization_level":3,"quant_img_RGB2BGR":false,"quantized_algorithm":"normal",)"
              R"("quantized_dtype":"asymmetric_quantized-8","quantized_method":"channel","remove_weight":false,)"
              R"("single_core_mode":false,"std_values":null,"target_platform":null})");
    EXPECT_EQ(
        record_json(OnnxLoadConfig{}).dump(),
        R"({"input_initial_val_file":null,"input_size_list":null,"inputs":null,"model":"model.onnx","outputs":null})");
    EXPECT_EQ(record_json(BuildConfig{}).dump(),
              R"({"auto_hybrid":false,"dataset":null,"do_quantization":true,"vora_batch_size":null})");
    EXPECT_EQ(record_json(AccuracyAnalysisConfig{}).dump(),
              R"({"device_id":null,"inputs":[],"output_dir":null,"target":null})");
    EXPECT_EQ(record_json(ExportConfig{}).dump(), R"({"export_path":null})");
}

TEST(RecordJson, NumberRepresentations) {
    ConfigConfig config;
    config.mean_values = std::vector<float>{0.1f, 0.5f, -2.0f};
    config.std_values =
        std::vector<float>{std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(), 255.0f};
    config.optimization_level = 255;
    const json form = record_json(config);
    const json& mean = form["mean_values"];
    ASSERT_EQ(mean.size(), 3u);
    EXPECT_TRUE(mean[0].is_number_float());
    EXPECT_EQ(mean[0].get<double>(), 0.10000000149011612);
    EXPECT_EQ(mean[1].get<double>(), 0.5);
    EXPECT_EQ(mean[2].get<double>(), -2.0);
    EXPECT_TRUE(json_equal(form["std_values"], json::parse("[null, null, null, 255.0]")));
    EXPECT_TRUE(json_equal(form["optimization_level"], json::parse("255")));

    BuildConfig negative;
    negative.vora_batch_size = -7;
    BuildConfig positive;
    positive.vora_batch_size = std::numeric_limits<std::int32_t>::max();
    EXPECT_TRUE(record_json(negative)["vora_batch_size"].is_number_integer());
    EXPECT_EQ(record_json(negative)["vora_batch_size"].get<std::int64_t>(), -7);
    EXPECT_TRUE(record_json(positive)["vora_batch_size"].is_number_unsigned());
    EXPECT_EQ(record_json(positive)["vora_batch_size"].get<std::uint64_t>(), 2147483647u);

    OnnxLoadConfig load;
    load.input_size_list = std::vector<std::vector<Size>>{{1, 3, 224, 224}, {std::numeric_limits<Size>::max()}, {}};
    load.inputs = std::vector<std::string>{};
    const json load_form = record_json(load);
    EXPECT_EQ(load_form["input_size_list"].dump(), "[[1,3,224,224],[18446744073709551615],[]]");
    EXPECT_TRUE(load_form["input_size_list"][1][0].is_number_unsigned());
    EXPECT_EQ(load_form["inputs"].dump(), "[]");
}

}  // namespace
}  // namespace vora
