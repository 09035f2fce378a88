#include "lint/preflight.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "configuration/load.hpp"
#include "configuration/structs.hpp"
#include "lint/suggest.hpp"
#include "model/npy.hpp"
#include "model/onnx.hpp"

namespace vora::lint {

namespace {

// At most this many dataset entries that are not there are reported one by
// one; the rest are counted.
constexpr std::size_t kMostMissingEntries = 20;
// The longest line of a dataset read as a list of files.
constexpr std::size_t kLongestLine = 64 * 1024;

std::string ticked(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '`';
    out += text;
    out += '`';
    return out;
}

std::string plural(std::size_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

std::string listed(const std::vector<std::string_view>& names) {
    if (names.empty()) return "none";
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += names[i];
    }
    return out;
}

// The name of a TensorProto element type.
std::string_view element_type(std::int32_t type) {
    static constexpr std::string_view names[] = {"",       "float32", "uint8",     "int8",       "uint16", "int16",
                                                 "int32",  "int64",   "string",    "bool",       "float16", "float64",
                                                 "uint32", "uint64",  "complex64", "complex128", "bfloat16"};
    return type > 0 && static_cast<std::size_t>(type) < std::size(names) ? names[type] : std::string_view{};
}

std::string dims_text(const std::vector<model::Dim>& dims) {
    std::string out = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i) out += ", ";
        switch (dims[i].kind) {
            case model::DimKind::value: out += std::to_string(dims[i].value); break;
            case model::DimKind::param: out += dims[i].param; break;
            case model::DimKind::unknown: out += '?'; break;
        }
    }
    return out + "]";
}

template <class Int>
std::string shape_text(const std::vector<Int>& shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    return out + "]";
}

// A dimension of the model that a given size must equal; symbolic and
// unknown ones take any size.
std::optional<std::uint64_t> fixed(const model::Dim& dim) {
    if (dim.kind != model::DimKind::value || dim.value <= 0) return std::nullopt;
    return static_cast<std::uint64_t>(dim.value);
}

// A finding's help, read after "expected": "[1, 3, 224, 224], the shape of
// the model's input `x` (float32)".
std::string described(const model::ValueInfo& info) {
    std::string out = info.has_shape ? dims_text(info.dims) : std::string("any shape");
    out += ", the shape of the model's input " + ticked(info.name);
    const std::string_view type = element_type(info.elem_type);
    if (!type.empty()) out += " (" + std::string(type) + ")";
    return out;
}

// Path arithmetic on the bytes of a path, as the converter's would be.
bool absolute(std::string_view path) { return path.starts_with('/'); }

std::string joined(std::string_view folder, std::string_view path) {
    if (folder.empty() || absolute(path)) return std::string(path);
    std::string out(folder);
    if (!out.ends_with('/')) out += '/';
    return out + std::string(path);
}

// The files one line of a dataset names: one per input, separated by
// spaces or tabs when the model has several inputs; the whole line, trimmed,
// when it has one (a path may hold spaces).
std::vector<std::string_view> dataset_entries(std::string_view line, std::size_t inputs) {
    std::vector<std::string_view> items;
    if (inputs <= 1) {
        const std::size_t first = line.find_first_not_of(" \t");
        if (first != std::string_view::npos) items.push_back(line.substr(first, line.find_last_not_of(" \t") + 1 - first));
        return items;
    }
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) items.push_back(line.substr(start, i - start));
    }
    return items;
}

// The folder a file at `path` is in ("" for the folder relative paths are taken from).
std::string folder_of(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return {};
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

enum class Kind { none, file, folder };

Kind kind_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.empty() ? "." : path.c_str(), &st) != 0) return Kind::none;
    return S_ISDIR(st.st_mode) ? Kind::folder : Kind::file;
}

// An input as the converter pairs it with its shape and its initial
// values: a name of `inputs`, or else a graph input, in order.
struct Slot {
    std::string_view name;
    const model::ValueInfo* info = nullptr;   // the graph's, when the name is a value with a type
    const std::vector<Size>* shape = nullptr;  // of input_size_list, when given
    toml::Value shape_value;                   // and its place
};

class FileChecker {
public:
    FileChecker(const toml::Document& document, const Configuration& configuration, const FileCheckOptions& options,
                std::vector<Finding>& out)
        : root_(document.root_table()), configuration_(configuration), options_(options), out_(out) {}

    void run() {
        const toml::Value load = section("load");
        const OnnxLoadConfig& onnx = configuration_.load.onnx();
        std::optional<model::ModelResult> graph;
        if (load) graph = read_model(load, onnx);
        const model::Model* model = graph && graph->ok() ? &graph->model : nullptr;
        if (model) check_names(load, onnx, *model);
        const std::vector<Slot> slots = pair_inputs(load, onnx, model);
        if (model) check_shapes(load, onnx, *model, slots);
        if (load && onnx.input_initial_val_file) check_arrays(get(load, "input_initial_val_file"), onnx, slots);
        if (configuration_.build.dataset) {
            check_dataset(get(section("build"), "dataset"), *configuration_.build.dataset, slots.size());
        }
        if (configuration_.accuracy_analysis) {
            const toml::Value inputs = get(section("accuracy_analysis"), "inputs");
            const std::vector<Text>& paths = configuration_.accuracy_analysis->inputs;
            std::size_t i = 0;
            if (inputs && inputs.is_array()) {
                for (const toml::Value entry : inputs.as_array()) {
                    if (i < paths.size()) expect_file("accuracy_analysis.inputs", entry, paths[i]);
                    ++i;
                }
            }
        }
        if (configuration_.exports.export_path) check_export(get(section("export"), "export_path"));
    }

private:
    toml::Value section(std::string_view name) const {
        const toml::Value value = root_.get(name);
        return value && value.is_table() ? value : toml::Value{};
    }

    static toml::Value get(toml::Value table, std::string_view key) {
        return table && table.is_table() ? table.as_table().get(key) : toml::Value{};
    }

    std::string resolved(std::string_view path) const { return joined(options_.base, path); }

    Finding& add(Severity severity, Code code, std::uint32_t begin, std::uint32_t end, std::string message,
                 std::optional<std::string> help = {}) {
        Finding& finding = out_.emplace_back(severity, code, begin, end);
        finding.set_message(std::move(message));
        if (help) finding.set_help(std::move(help));
        return finding;
    }

    Finding& add(Severity severity, Code code, toml::Value at, std::string message,
                 std::optional<std::string> help = {}) {
        return add(severity, code, at.offset(), at.end_offset(), std::move(message), std::move(help));
    }

    // A warning when no file is at the path `key` names; whether one is.
    bool expect_file(std::string_view key, toml::Value at, std::string_view path) {
        if (path.empty()) return false;  // empty-value tells of it
        const std::string where = resolved(path);
        const Kind kind = kind_of(where);
        if (kind == Kind::file) return true;
        add(Severity::Warning, kMissingFile, at,
            ticked(key) + " names " + ticked(where) +
                (kind == Kind::none ? ", which does not exist" : ", a folder, not a file"));
        return false;
    }

    // The model `model` names, or its default at the [load] header.
    std::optional<model::ModelResult> read_model(toml::Value load, const OnnxLoadConfig& onnx) {
        const toml::Value value = get(load, "model");
        const std::string path = resolved(onnx.model);
        if (value) {
            if (!expect_file("model", value, onnx.model)) return std::nullopt;
        } else if (kind_of(path) != Kind::file) {
            const auto [begin, end] = header(load);
            add(Severity::Warning, kMissingFile, begin, end,
                "`model` is not set: the converter loads its default, " + ticked(OnnxLoadConfig{}.model) + ", and " +
                    ticked(path) + (kind_of(path) == Kind::none ? " does not exist" : " is a folder, not a file"));
            return std::nullopt;
        }
        model::ModelResult result = model::read_onnx_file(path);
        if (!result.ok()) {
            if (value) {
                add(Severity::Error, kNotAModel, value, ticked(path) + " is " + result.message);
            } else {
                const auto [begin, end] = header(load);
                add(Severity::Error, kNotAModel, begin, end,
                    "the default `model`, " + ticked(path) + ", is " + result.message);
            }
        }
        return result;
    }

    // The bytes of the [load] header ([load] itself), or of the key where
    // the table is made otherwise (`load = {...}`, `load.model_type = ...`).
    std::pair<std::uint32_t, std::uint32_t> header(toml::Value load) const {
        const std::optional<toml::Member> member = root_.member("load");
        const std::string_view text = member->doc->text();
        const auto [key_begin, key_end] = member->key_offsets();
        const std::uint32_t begin = load.offset();
        if (begin < text.size() && text[begin] == '[' && begin <= key_begin) {
            const std::size_t close = text.find(']', key_end);
            if (close != std::string_view::npos) return {begin, static_cast<std::uint32_t>(close + 1)};
        }
        return {key_begin, key_end};
    }

    // Each name of `inputs` and `outputs` must be a value of the graph.
    void check_names(toml::Value load, const OnnxLoadConfig& onnx, const model::Model& model) {
        const auto check = [&](std::string_view key, const std::optional<std::vector<Text>>& names,
                               const std::vector<model::ValueInfo>& side, std::string_view what) {
            const toml::Value list = get(load, key);
            if (!names || !list || !list.is_array()) return;
            std::vector<std::string_view> candidates;
            for (const model::ValueInfo& info : side) candidates.push_back(info.name);
            std::size_t i = 0;
            for (const toml::Value entry : list.as_array()) {
                if (i >= names->size()) break;
                const std::string& name = (*names)[i++];
                if (std::binary_search(model.names.begin(), model.names.end(), name)) continue;
                std::string message = ticked(key) + " names " + ticked(name) +
                                      ", which is no value of the model; its " + std::string(what) + " are " +
                                      listed(candidates);
                std::optional<std::size_t> near = nearest(name, candidates);
                std::string_view meant;
                if (near) {
                    meant = candidates[*near];
                } else {
                    const std::vector<std::string_view> all(model.names.begin(), model.names.end());
                    if (const auto other = nearest(name, all)) meant = all[*other];
                }
                if (!meant.empty()) message += "; did you mean " + ticked(meant) + "?";
                Finding& finding = add(Severity::Error, kModelMismatch, entry, std::move(message));
                if (!meant.empty()) finding.set_suggestion(std::string(meant));
            }
        };
        check("inputs", onnx.inputs, model.inputs, "inputs");
        check("outputs", onnx.outputs, model.outputs, "outputs");
    }

    static const model::ValueInfo* find_value(const model::Model& model, std::string_view name) {
        for (const auto* list : {&model.inputs, &model.value_info, &model.outputs}) {
            for (const model::ValueInfo& info : *list) {
                if (info.name == name) return &info;
            }
        }
        return nullptr;
    }

    // The inputs the converter feeds: those `inputs` names, else the
    // graph's (when the model was read), each with its shape of
    // input_size_list.
    std::vector<Slot> pair_inputs(toml::Value load, const OnnxLoadConfig& onnx, const model::Model* model) const {
        std::vector<Slot> slots;
        if (onnx.inputs) {
            for (const Text& name : *onnx.inputs) {
                slots.push_back(Slot{name, model ? find_value(*model, name) : nullptr, nullptr, {}});
            }
        } else if (model) {
            for (const model::ValueInfo& info : model->inputs) slots.push_back(Slot{info.name, &info, nullptr, {}});
        }
        const toml::Value shapes = get(load, "input_size_list");
        if (onnx.input_size_list && shapes && shapes.is_array()) {
            std::size_t i = 0;
            for (const toml::Value shape : shapes.as_array()) {
                if (i >= slots.size() || i >= onnx.input_size_list->size()) break;
                slots[i].shape = &(*onnx.input_size_list)[i];
                slots[i].shape_value = shape;
                ++i;
            }
        }
        return slots;
    }

    // input_size_list against the graph's inputs: their number (when
    // `inputs` does not choose them: count-mismatch tells of `inputs`),
    // each shape's rank and fixed dimensions; mean_values and std_values
    // against the channels of 4-D inputs.
    void check_shapes(toml::Value load, const OnnxLoadConfig& onnx, const model::Model& model,
                      const std::vector<Slot>& slots) {
        const toml::Value shapes = get(load, "input_size_list");
        bool paired = true;
        if (onnx.input_size_list && !onnx.inputs && onnx.input_size_list->size() != model.inputs.size() && shapes) {
            std::vector<std::string_view> names;
            for (const model::ValueInfo& info : model.inputs) names.push_back(info.name);
            add(Severity::Error, kModelMismatch, shapes,
                "`input_size_list` holds " + plural(onnx.input_size_list->size(), "shape") + " and the model has " +
                    plural(model.inputs.size(), "input") + (names.empty() ? "" : " (" + listed(names) + ")"));
            paired = false;
        }
        for (const Slot& slot : slots) {
            if (!paired || !slot.shape || !slot.info || !slot.info->has_shape) continue;
            const std::vector<model::Dim>& dims = slot.info->dims;
            const std::vector<Size>& shape = *slot.shape;
            if (shape.size() != dims.size()) {
                add(Severity::Error, kModelMismatch, slot.shape_value,
                    "the shape " + shape_text(shape) + " of input " + ticked(slot.name) + " has " +
                        plural(shape.size(), "dimension") + " and the model's " + std::to_string(dims.size()),
                    described(*slot.info));
                continue;
            }
            std::size_t d = 0;
            for (const toml::Value size : slot.shape_value.as_array()) {
                if (d >= dims.size()) break;
                const std::optional<std::uint64_t> want = fixed(dims[d]);
                if (want && *want != shape[d]) {
                    add(Severity::Error, kModelMismatch, size,
                        "dimension " + std::to_string(d) + " of input " + ticked(slot.name) + " is " +
                            std::to_string(shape[d]) + " here and " + std::to_string(*want) + " in the model",
                        described(*slot.info));
                }
                ++d;
            }
        }
        check_channels("mean_values", configuration_.config.mean_values, slots);
        check_channels("std_values", configuration_.config.std_values, slots);
    }

    // A list of one value per channel: its length must be dimension 1 or
    // the last dimension of each 4-D input (NCHW or NHWC).
    void check_channels(std::string_view key, const std::optional<std::vector<float>>& values,
                        const std::vector<Slot>& slots) {
        const toml::Value value = get(section("config"), key);
        if (!values || values->empty() || !value) return;
        const std::uint64_t n = values->size();
        for (const Slot& slot : slots) {
            std::optional<std::uint64_t> channels, last;
            if (slot.shape && slot.shape->size() == 4) {
                channels = (*slot.shape)[1];
                last = (*slot.shape)[3];
            } else if (!slot.shape && slot.info && slot.info->has_shape && slot.info->dims.size() == 4) {
                channels = fixed(slot.info->dims[1]);
                last = fixed(slot.info->dims[3]);
            } else {
                continue;
            }
            if (!channels || !last || *channels == n || *last == n) continue;
            std::optional<std::string> help = plural(*channels, "value");
            if (*last != *channels) *help += " or " + std::to_string(*last);
            *help += ", one per channel of input " + ticked(slot.name);
            add(Severity::Warning, kModelMismatch, value,
                ticked(key) + " holds " + plural(n, "value") + " and input " + ticked(slot.name) + " has " +
                    std::to_string(*channels) + " in dimension 1 and " + std::to_string(*last) +
                    " in its last",
                std::move(help));
            return;
        }
    }

    // The arrays of input_initial_val_file, one per input, of its shape.
    void check_arrays(toml::Value at, const OnnxLoadConfig& onnx, const std::vector<Slot>& slots) {
        if (!at || !expect_file("input_initial_val_file", at, *onnx.input_initial_val_file)) return;
        const std::string path = resolved(*onnx.input_initial_val_file);
        const model::ArraysResult arrays = model::read_arrays_file(path);
        if (!arrays.ok()) {
            add(Severity::Error, kBadArrayFile, at, ticked(path) + " is " + arrays.message);
            return;
        }
        if (slots.empty()) return;  // nothing known to compare with
        if (arrays.arrays.size() != slots.size()) {
            add(Severity::Error, kModelMismatch, at,
                "`input_initial_val_file` holds " + plural(arrays.arrays.size(), "array") + " and the model takes " +
                    plural(slots.size(), "input"));
            return;
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (!arrays.arrays[i].header_read) continue;  // not judged: the inflate budget was spent before it
            const std::vector<std::uint64_t>& shape = arrays.arrays[i].shape;
            const Slot& slot = slots[i];
            bool same = true;
            std::string expected;
            if (slot.shape) {
                same = shape == *slot.shape;
                expected = shape_text(*slot.shape) + " (input_size_list)";
            } else if (slot.info && slot.info->has_shape) {
                const std::vector<model::Dim>& dims = slot.info->dims;
                same = dims.size() == shape.size();
                for (std::size_t d = 0; same && d < dims.size(); ++d) {
                    const std::optional<std::uint64_t> want = fixed(dims[d]);
                    same = !want || *want == shape[d];
                }
                expected = dims_text(dims);
            } else {
                continue;
            }
            if (same) continue;
            const std::string& member = arrays.arrays[i].name;
            add(Severity::Error, kModelMismatch, at,
                "array " + std::to_string(i) + (member.empty() ? "" : " (" + ticked(member) + ")") +
                    " of `input_initial_val_file` has the shape " + shape_text(shape) + " and input " +
                    ticked(slot.name) + " " + expected);
        }
    }

    // Each line of the dataset a sample: a file per input, separated by
    // spaces when there are several, relative to the dataset's folder or
    // to the base.
    void check_dataset(toml::Value at, const Text& dataset, std::size_t inputs) {
        if (!at || !expect_file("dataset", at, dataset)) return;
        const std::string path = resolved(dataset);
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            add(Severity::Warning, kMissingFile, at, ticked(path) + " cannot be read");
            return;
        }
        const std::string folder = folder_of(path);
        std::size_t entries = 0, missing = 0, number = 0;
        std::vector<char> buffer(kLongestLine + 1);
        for (;;) {
            in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            if (in.bad() || (in.fail() && in.gcount() == 0)) break;  // the end
            if (in.fail() && !in.eof()) {
                // No file list has such a line: a binary file, say.
                add(Severity::Warning, kMissingFile, at,
                    ticked(path) + " is no list of files: line " + std::to_string(number + 1) + " is longer than " +
                        std::to_string(kLongestLine) + " bytes");
                return;
            }
            ++number;
            std::string_view rest(buffer.data(), static_cast<std::size_t>(in.gcount()) - (in.eof() ? 0 : 1));
            if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
            for (const std::string_view item : dataset_entries(rest, inputs)) {
                ++entries;
                const std::string near = joined(folder, item);
                const std::string here = joined(options_.base, item);
                if (kind_of(near) == Kind::file || kind_of(here) == Kind::file) continue;
                if (++missing > kMostMissingEntries) continue;
                std::string tried = ticked(near);
                if (here != near) tried += " and " + ticked(here);
                add(Severity::Warning, kMissingFile, at,
                    "line " + std::to_string(number) + " of the dataset names " + ticked(item) +
                        ", which does not exist: tried " + tried);
            }
        }
        if (missing > kMostMissingEntries) {
            add(Severity::Warning, kMissingFile, at,
                std::to_string(missing - kMostMissingEntries) + " more " +
                    (missing - kMostMissingEntries == 1 ? "entry" : "entries") + " of the dataset do not exist");
        }
        if (entries == 0) {
            add(Severity::Warning, kEmptyValue, at, "the dataset " + ticked(path) + " lists no sample");
        }
    }

    // The folder the export is written into must be there.
    void check_export(toml::Value at) {
        if (!at || configuration_.exports.export_path->empty()) return;
        const std::string folder = folder_of(resolved(*configuration_.exports.export_path));
        const Kind kind = kind_of(folder);
        if (kind == Kind::folder) return;
        add(Severity::Warning, kMissingFile, at,
            "`export_path` would be written into " + ticked(folder.empty() ? "." : folder) +
                (kind == Kind::none ? ", which does not exist" : ", which is not a folder"));
    }

    toml::Table root_;
    const Configuration& configuration_;
    const FileCheckOptions& options_;
    std::vector<Finding>& out_;
};

}  // namespace

void check_files(const toml::Document& document, const Configuration& configuration, const FileCheckOptions& options,
                 std::vector<Finding>& out) {
    FileChecker(document, configuration, options, out).run();
}

}  // namespace vora::lint
