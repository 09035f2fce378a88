// The records of a configuration file, with their defaults and the one
// declaration of every key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "configuration/fields.hpp"

namespace vora {

using Text = std::string;
using Size = std::uint64_t;

struct ConfigConfig {
    static constexpr std::string_view name = "ConfigConfig";
    static constexpr std::string_view method = "config";  // the converter method given this record

    std::optional<std::vector<float>> mean_values{};
    std::optional<std::vector<float>> std_values{};
    Text quantized_dtype = "asymmetric_quantized-8";
    Text quantized_algorithm = "normal";
    Text quantized_method = "channel";
    std::optional<Text> target_platform{};
    std::optional<bool> quant_img_RGB2BGR = false;
    std::optional<Text> float_dtype = Text("float16");
    std::uint8_t optimization_level = 3;
    std::optional<Text> custom_string{};
    std::optional<bool> remove_weight = false;
    std::optional<bool> compress_weight = false;
    std::optional<Text> inputs_yuv_fmt{};
    std::optional<bool> single_core_mode = false;

    static constexpr auto fields() {
        using R = ConfigConfig;
        return std::tuple{
            with_aliases(
                with_roles(with_example(field("mean_values", &R::mean_values, "Mean values for normalization."),
                                        "[123.675, 116.28, 103.53]"),
                           kPerChannel),
                "mean", "means"),
            with_aliases(with_roles(with_example(field("std_values", &R::std_values,
                                                       "Standard deviation values for normalization."),
                                                 "[58.395, 57.12, 57.375]"),
                                    kPerChannel | kDivisor),
                         "std", "stds"),
            with_choices(field("quantized_dtype", &R::quantized_dtype, "Quantized dtype. [asymmetric_quantized-8]"),
                         one_of("asymmetric_quantized-8")),
            with_choices(field("quantized_algorithm", &R::quantized_algorithm, "Quantized algorithm. [normal, mmse]"),
                         one_of("normal", "mmse")),
            with_choices(field("quantized_method", &R::quantized_method, "Quantized method. [channel, group, layers]"),
                         one_of("channel", "group", "layers")),
            with_aliases(
                with_choices(
                    with_pass(
                        field("target_platform", &R::target_platform,
                              "target platform [vora-s1, vora-s2, vora-m1, vora-m2, vora-l1, vora-l2, vora-x1, ...]",
                              Limits{.min_length = 1, .min_items = 1}),
                        Pass::KeywordOrNone),
                    for_example("vora-s1", "vora-s2", "vora-m1", "vora-m2", "vora-l1", "vora-l2", "vora-x1")),
                "platform"),
            field("quant_img_RGB2BGR", &R::quant_img_RGB2BGR, "BGR channel order instead of RGB"),
            with_choices(field("float_dtype", &R::float_dtype, "float_dtype [float16, float32, bfloat16]"),
                         one_of("float16", "float32", "bfloat16")),
            with_aliases(with_choices(field("optimization_level", &R::optimization_level,
                                            "Optimization level [0, 1, 2, 3]", Limits{.minimum = 0, .maximum = 3}),
                                      one_of("0", "1", "2", "3")),
                         "opt_level", "optimisation_level"),
            with_example(field("custom_string", &R::custom_string, "A custom string to add to the model."),
                         "\"converted by vora-config\""),
            field("remove_weight", &R::remove_weight, "Remove the weights from the model."),
            field("compress_weight", &R::compress_weight, "Compress the model weights."),
            with_example(field("inputs_yuv_fmt", &R::inputs_yuv_fmt, "Input YUV format."), "\"nv12\""),
            field("single_core_mode", &R::single_core_mode, "Single core mode."),
        };
    }
};

struct OnnxLoadConfig {
    static constexpr std::string_view name = "OnnxLoadConfig";
    static constexpr std::string_view method = "load_onnx";

    Text model = "model.onnx";
    std::optional<std::vector<Text>> inputs{};
    std::optional<std::vector<std::vector<Size>>> input_size_list{};
    std::optional<Text> input_initial_val_file{};
    std::optional<std::vector<Text>> outputs{};

    static constexpr auto fields() {
        using R = OnnxLoadConfig;
        return std::tuple{
            with_aliases(
                with_roles(with_pass(field("model", &R::model, "Path to the ONNX model file"), Pass::Positional),
                           kPath | kNonEmpty | kModelFile),
                "model_path", "onnx", "path"),
            with_aliases(with_roles(with_rank(with_example(field("inputs", &R::inputs,
                                                                 "Optional list of input names (e.g. [\"input0\"])"),
                                                           "[\"input0\"]"),
                                              0),
                                    kInputNames),
                         "input_names"),
            with_aliases(
                with_roles(
                    with_rank(with_example(field("input_size_list", &R::input_size_list,
                                                 "Optional shape list matching each input (e.g. [[1, 3, 224, 224]])"),
                                           "[[1, 3, 224, 224]]"),
                              2),
                    kShapes),
                "input_size", "input_sizes", "input_shapes", "input_shape"),
            with_aliases(
                with_roles(
                    with_rank(with_example(with_pass(field("input_initial_val_file", &R::input_initial_val_file,
                                                           "Path to a `.npy` or `.npz` file containing a list of NumPy "
                                                           "arrays"),
                                                     Pass::NumpyArrays, "input_initial_val"),
                                           "\"input_initial_val.npy\""),
                              3),
                    kPath | kNonEmpty | kInitialValuesFile),
                "input_initial_val"),
            with_aliases(
                with_roles(with_rank(with_example(field("outputs", &R::outputs, "Optional list of output names"),
                                                  "[\"output0\"]"),
                                     1),
                           kOutputNames),
                "output_names"),
        };
    }
};

// The model source of the [load] table, selected by its `model_type` tag.
struct LoadConfig {
    static constexpr std::string_view name = "LoadConfig";
    static constexpr std::string_view tag_key = "model_type";
    static constexpr std::string_view onnx_tag = "Onnx";
    static constexpr std::string_view tag_description = "Format of the model to load; Onnx is the one format";

    std::variant<OnnxLoadConfig> source{};

    const OnnxLoadConfig& onnx() const { return std::get<OnnxLoadConfig>(source); }
};

struct BuildConfig {
    static constexpr std::string_view name = "BuildConfig";
    static constexpr std::string_view method = "build";

    std::optional<bool> do_quantization = true;
    std::optional<Text> dataset{};
    std::optional<std::int32_t> vora_batch_size{};
    std::optional<bool> auto_hybrid = false;

    static constexpr auto fields() {
        using R = BuildConfig;
        return std::tuple{
            field("do_quantization", &R::do_quantization, "Whether to quantize the model (default: true)"),
            with_aliases(with_roles(with_example(field("dataset", &R::dataset,
                                                       "Path to dataset file for quantization (default: None)"),
                                                 "\"dataset.txt\""),
                                    kPath | kNonEmpty | kDatasetFile),
                         "dataset_path", "calibration_dataset"),
            with_aliases(with_roles(with_example(field("vora_batch_size", &R::vora_batch_size,
                                                       "Batch size for inference (default: None)"),
                                                 "1"),
                                    kCount),
                         "batch_size", "batch"),
            field("auto_hybrid", &R::auto_hybrid, "Enable automatic hybrid quantization (default: false)"),
        };
    }
};

struct AccuracyAnalysisConfig {
    static constexpr std::string_view name = "AccuracyAnalysisConfig";
    static constexpr std::string_view method = "accuracy_analysis";

    std::vector<Text> inputs{};
    std::optional<Text> output_dir{};
    std::optional<Text> target{};
    std::optional<Text> device_id{};

    // The analysis runs only when there is something to analyse.
    bool calls_converter() const { return !inputs.empty(); }

    static constexpr auto fields() {
        using R = AccuracyAnalysisConfig;
        return std::tuple{
            with_roles(
                with_example(field("inputs", &R::inputs, "Input file paths for accuracy analysis."), "[\"image.jpg\"]"),
                kInputFileList | kPath | kNonEmpty),
            with_roles(with_example(field("output_dir", &R::output_dir,
                                          "Directory where accuracy snapshots and analysis files are written."),
                                    "\"snapshot\""),
                       kPath | kNonEmpty),
            with_example(field("target", &R::target, "Optional target hardware platform for board-side analysis."),
                         "\"vora-m1\""),
            with_example(field("device_id", &R::device_id, "Optional target device ID."), "\"0\""),
        };
    }
};

struct ExportConfig {
    static constexpr std::string_view name = "ExportConfig";
    static constexpr std::string_view method = "export_vora";

    std::optional<Text> export_path{};

    static constexpr auto fields() {
        using R = ExportConfig;
        return std::tuple{
            with_aliases(with_roles(with_example(with_pass(field("export_path", &R::export_path), Pass::Positional),
                                                 "\"model.vora\""),
                                    kPath | kNonEmpty | kOutputPath),
                         "path", "output", "output_path"),
        };
    }
};

// The whole file, and the one list of its sections: loading, the summary and
// the converter calls all walk Configuration::fields(), so its order is the
// order of the converter calls and of the summary.
struct Configuration {
    static constexpr std::string_view name = "Configuration";

    ConfigConfig config{};
    LoadConfig load{};
    BuildConfig build{};
    std::optional<AccuracyAnalysisConfig> accuracy_analysis{};
    ExportConfig exports{};

    static constexpr auto fields() {
        using R = Configuration;
        return std::tuple{field("config", &R::config), field("load", &R::load), field("build", &R::build),
                          field("accuracy_analysis", &R::accuracy_analysis), field("export", &R::exports)};
    }
};

// The record a section stands for in the summary and in its converter call:
// the section's own record, except that [load] stands for the model source
// its tag selected.
template <class R>
const R& section_record(const R& record) {
    return record;
}
inline const OnnxLoadConfig& section_record(const LoadConfig& load) { return load.onnx(); }

// The type of a Configuration field (a section, possibly optional), and the
// record type section_record gives for it.
template <class T>
struct section_value {
    using type = T;
};
template <class T>
struct section_value<std::optional<T>> : section_value<T> {};
template <class Field>
using section_value_t = typename section_value<typename std::remove_cvref_t<Field>::value_type>::type;
template <class Field>
using section_record_t = std::remove_cvref_t<decltype(section_record(std::declval<const section_value_t<Field>&>()))>;

// Calls fn(key, record) for every section the configuration holds, in the
// order of Configuration::fields(), with the record section_record gives. An
// optional section that is absent is skipped.
template <class Fn>
void for_each_section(const Configuration& configuration, Fn&& fn) {
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        const auto& value = f.get(configuration);
        if constexpr (is_optional<std::remove_cvref_t<decltype(value)>>::value) {
            if (value) fn(f.key, section_record(*value));
        } else {
            fn(f.key, section_record(value));
        }
    });
}

}  // namespace vora
