// The codes of `check`'s findings, each declared once: its name as users
// write it (in suppression comments, reports and `--ignore`-style lists),
// when it is an error or a warning, a one-line description, and why it
// matters to a conversion. Reports, suppression and the rules of SARIF read
// this table.
//
// An error: the converter will fail, or will convert something other than
// what the file says or the model needs. A warning: likely a mistake, but a
// conversion may mean it. Nothing: what is fine, even if unusual. The same
// whether or not `inputs` is set and whether or not the model was read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vora::lint {

enum class CodeId : std::uint8_t {
    read_error,
    write_error,
    parse_error,
    load_error,
    unknown_section,
    unknown_key,
    out_of_range,
    too_short,
    unknown_choice,
    empty_value,
    count_mismatch,
    control_character,
    missing_file,
    model_mismatch,
    not_a_model,
    bad_array_file,
    duplicate_name,
    missing_section,
    dataset_comment,
    backslash_path,
    unknown_code,
    bad_setting,
};

struct CodeInfo {
    CodeId id;
    std::string_view name;
    std::string_view severity;     // when it is an error, when a warning
    std::string_view description;  // one line
    std::string_view explanation;  // why it matters to a conversion
    std::string_view example;      // lines of a file that have the finding ("" where a file cannot show it)
    std::string_view instead;      // the same lines without it
    std::string_view fix;          // what `check --fix` does of it ("" when nothing)
};

inline constexpr CodeInfo kCodeTable[] = {
    {CodeId::read_error, "read-error", "error", "The file cannot be read, or is not UTF-8 text",
     "Neither the converter nor the checks can read the file.", "", "", ""},
    {CodeId::write_error, "write-error", "error", "The fixed file cannot be written",
     "`check --fix` found changes to make but could not write them; the file is left as it was.", "", "", ""},
    {CodeId::parse_error, "parse-error", "error", "The file is not a TOML 1.1.0 document",
     "The module refuses the file with this error: nothing is converted.", "[config]\ntarget_platform = vora-m1",
     "[config]\ntarget_platform = \"vora-m1\"", ""},
    {CodeId::load_error, "load-error", "error",
     "A value does not map onto the configuration, so the file does not load",
     "The module refuses the file with this error (a value of the wrong type or range): nothing is converted.",
     "[load]\nmodel_type = \"onnx\"", "[load]\nmodel_type = \"Onnx\"",
     "corrects a `model_type` written in other letter case or one slip from `Onnx`"},
    {CodeId::unknown_section, "unknown-section", "error", "A section the configuration does not have",
     "The converter ignores the section: its keys take their defaults, so the conversion runs without them.",
     "[Load]\nmodel_type = \"Onnx\"", "[load]\nmodel_type = \"Onnx\"",
     "renames the section when the section meant is certain (other letter case, or the single nearest section)"},
    {CodeId::unknown_key, "unknown-key", "error", "A key the configuration does not have",
     "The converter ignores the key: the key meant takes its default, so the conversion runs without the value.",
     "[config]\noptimisation_level = 2", "[config]\noptimization_level = 2",
     "renames the key when the key meant is certain (other letter case, or the single nearest key of its table, not "
     "set there already) and its value loads under it"},
    {CodeId::out_of_range, "out-of-range",
     "error (a count below one, a dimension of 0, a deviation of 0, a float a 32-bit float cannot hold), else warning",
     "A number below the minimum or above the maximum its key documents",
     "The file loads, but the converter fails on a count below one, a size of 0 or a division by a deviation of 0, "
     "and a 32-bit float makes inf or 0 of a number beyond its range; it documents no meaning for other values "
     "out of range.",
     "[build]\nvora_batch_size = 0", "[build]\nvora_batch_size = 1", ""},
    {CodeId::too_short, "too-short", "warning", "A text or list shorter than its key allows",
     "The file loads, but the converter needs more than the value holds.", "", "", ""},
    {CodeId::unknown_choice, "unknown-choice", "warning", "A text outside the choices its key documents",
     "The file loads, but the converter knows only the listed choices.", "[config]\nquantized_algorithm = \"mmsee\"",
     "[config]\nquantized_algorithm = \"mmse\"",
     "corrects a choice written in other letter case or nearest to a single choice"},
    {CodeId::empty_value, "empty-value", "warning",
     "An empty text or list, which the converter receives instead of the default",
     "An empty value is passed as written, not replaced by the default: remove the line to leave the key unset.",
     "[build]\ndataset = \"\"", "[build]\n# dataset unset: the converter takes its default", ""},
    {CodeId::count_mismatch, "count-mismatch", "error (shapes and input names), warning (per-channel values)",
     "Lists that go together, of different lengths",
     "Lists that are paired by position (inputs and their shapes, means and deviations) cannot be paired.",
     "[config]\nmean_values = [123.675, 116.28, 103.53]\nstd_values = [58.395]",
     "[config]\nmean_values = [123.675, 116.28, 103.53]\nstd_values = [58.395, 57.12, 57.375]", ""},
    {CodeId::control_character, "control-character", "error in a path, else warning",
     "A control character made by an escape in a text",
     "An escape such as \\b or \\e in a basic string becomes a control character: a Windows path in double "
     "quotes names another file.",
     "[export]\nexport_path = \"D:\\exports\\build\\net.vora\"",
     "[export]\nexport_path = 'D:\\exports\\build\\net.vora'", ""},
    {CodeId::missing_file, "missing-file", "error", "A file or folder the configuration names is not there",
     "The conversion reads the file (or writes below the folder) and fails without it. A folder the export goes "
     "into that does not exist yet is created.",
     "[load]\nmodel_type = \"Onnx\"\nmodel = \"models/nte.onnx\"",
     "[load]\nmodel_type = \"Onnx\"\nmodel = \"models/net.onnx\"", ""},
    {CodeId::model_mismatch, "model-mismatch", "error (a channel count: warning)",
     "Input or output names, shapes or arrays that the model does not have",
     "The converter feeds the model by these names and shapes: ones the model does not have fail the "
     "conversion or convert another graph.",
     "[load]\nmodel_type = \"Onnx\"\ninputs = [\"image\"]", "[load]\nmodel_type = \"Onnx\"\ninputs = [\"images\"]", ""},
    {CodeId::not_a_model, "not-a-model", "error", "The model file is not an ONNX model",
     "The converter's model loader refuses the file.", "[load]\nmodel_type = \"Onnx\"\nmodel = \"net.vora\"",
     "[load]\nmodel_type = \"Onnx\"\nmodel = \"net.onnx\"", ""},
    {CodeId::bad_array_file, "bad-array-file", "error", "The initial values file is not an npy or npz file",
     "The converter's array loader refuses the file.",
     "[load]\nmodel_type = \"Onnx\"\ninput_initial_val_file = \"init.txt\"",
     "[load]\nmodel_type = \"Onnx\"\ninput_initial_val_file = \"init.npy\"", ""},
    {CodeId::duplicate_name, "duplicate-name", "error", "The same name twice in a list of input or output names",
     "The converter feeds each input (reads each output) once: a name given twice makes the lists that pair with "
     "the names (shapes, initial values, dataset entries) one too long.",
     "[load]\nmodel_type = \"Onnx\"\ninputs = [\"images\", \"images\"]",
     "[load]\nmodel_type = \"Onnx\"\ninputs = [\"images\"]", ""},
    {CodeId::missing_section, "missing-section", "warning", "Sections of a conversion without the [load] section",
     "Without [load] the converter loads its default model, `model.onnx` in the folder it runs in: the file checks "
     "tell whether it is there (missing-file when not).",
     "[build]\nvora_batch_size = 1",
     "[load]\nmodel_type = \"Onnx\"\nmodel = \"model.onnx\"\n\n[build]\nvora_batch_size = 1", ""},
    {CodeId::dataset_comment, "dataset-comment", "warning", "A line of the dataset that starts with #",
     "The converter reads every line of the dataset as a sample: a line meant as a comment names files that are "
     "not there, and the conversion fails on it.",
     "", "", ""},
    {CodeId::backslash_path, "backslash-path", "warning", "A path that holds backslashes",
     "The converter runs where `/` separates folders: a backslash is a byte of the file's name, and a path written "
     "for Windows names no file.",
     "[load]\nmodel_type = \"Onnx\"\nmodel = 'models\\net.onnx'",
     "[load]\nmodel_type = \"Onnx\"\nmodel = \"models/net.onnx\"",
     "writes the path with forward slashes when a file is there"},
    {CodeId::unknown_code, "unknown-code", "warning", "A suppression comment lists a code that is none of these",
     "The comment silences nothing under that name.", "optimisation_level = 2  # vora-config: ignore[unknown-keys]",
     "optimisation_level = 2  # vora-config: ignore[unknown-key]", ""},
    {CodeId::bad_setting, "bad-setting", "error",
     "A settings file holds a setting that is none, or a value of the wrong type",
     "vora-config check leaves the setting out: the files are checked as if it were not written (a misspelled "
     "`ignore` reports what it meant to drop).",
     "", "", ""},
};

static_assert(
    [] {
        for (std::size_t i = 0; i < std::size(kCodeTable); ++i) {
            if (static_cast<std::size_t>(kCodeTable[i].id) != i) return false;
        }
        return true;
    }(),
    "the code table lists every code once, in the order of CodeId");

// The names of the codes, in the table's order.
inline constexpr auto kCodeNames = [] {
    std::array<std::string_view, std::size(kCodeTable)> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kCodeTable[i].name;
    return names;
}();

// A finding's code; it reads as its name.
class Code {
public:
    constexpr Code(CodeId id) : id_(id) {}  // NOLINT: the constants below are codes
    constexpr CodeId id() const { return id_; }
    constexpr const CodeInfo& info() const { return kCodeTable[static_cast<std::size_t>(id_)]; }
    constexpr std::string_view text() const { return info().name; }
    constexpr operator std::string_view() const { return text(); }  // NOLINT
    friend constexpr bool operator==(Code a, Code b) { return a.id_ == b.id_; }

private:
    CodeId id_;
};

// The code of a name, or nothing when no code has it.
constexpr std::optional<Code> code_named(std::string_view name) {
    for (const CodeInfo& info : kCodeTable) {
        if (info.name == name) return Code(info.id);
    }
    return std::nullopt;
}

inline constexpr Code kReadError = CodeId::read_error;
inline constexpr Code kWriteError = CodeId::write_error;
inline constexpr Code kParseError = CodeId::parse_error;
inline constexpr Code kLoadError = CodeId::load_error;
inline constexpr Code kUnknownSection = CodeId::unknown_section;
inline constexpr Code kUnknownKey = CodeId::unknown_key;
inline constexpr Code kOutOfRange = CodeId::out_of_range;
inline constexpr Code kTooShort = CodeId::too_short;
inline constexpr Code kUnknownChoice = CodeId::unknown_choice;
inline constexpr Code kEmptyValue = CodeId::empty_value;
inline constexpr Code kCountMismatch = CodeId::count_mismatch;
inline constexpr Code kControlCharacter = CodeId::control_character;
inline constexpr Code kMissingFile = CodeId::missing_file;
inline constexpr Code kModelMismatch = CodeId::model_mismatch;
inline constexpr Code kNotAModel = CodeId::not_a_model;
inline constexpr Code kBadArrayFile = CodeId::bad_array_file;
inline constexpr Code kDuplicateName = CodeId::duplicate_name;
inline constexpr Code kMissingSection = CodeId::missing_section;
inline constexpr Code kDatasetComment = CodeId::dataset_comment;
inline constexpr Code kBackslashPath = CodeId::backslash_path;
inline constexpr Code kUnknownCode = CodeId::unknown_code;
inline constexpr Code kBadSetting = CodeId::bad_setting;

}  // namespace vora::lint
