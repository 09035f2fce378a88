#include "lint/preflight.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "configuration/load.hpp"
#include "configuration/structs.hpp"
#include "lint/suggest.hpp"
#include "model/npy.hpp"
#include "model/onnx.hpp"
#include "model/source.hpp"
#include "text/format.hpp"

namespace vora::lint {

namespace {

// At most this many entries of a list of files (the dataset's lines,
// accuracy_analysis.inputs) that are not there are reported one by one; the
// rest are counted in one finding.
constexpr std::size_t kMostMissingEntries = 20;
// The longest line of a dataset read as a list of files.
constexpr std::size_t kLongestLine = 64 * 1024;
// The bytes of a dataset read at a time.
constexpr std::size_t kDatasetBlock = 64 * 1024;

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

// What a message shows of the names and shapes a model holds: a finding's
// text stays within a few kilobytes whatever the model (a list of a hundred
// thousand inputs, a name of a megabyte, a million dimensions).
constexpr std::size_t kLongestShownName = 100;  // bytes
constexpr std::size_t kMostShownNames = 10;
constexpr std::size_t kMostShownDims = 8;
constexpr std::size_t kLongestShownPath = 400;  // bytes

// `text`, or its first `most` bytes (not cutting a character) and "...".
std::string cut(std::string_view text, std::size_t most) {
    if (text.size() <= most) return std::string(text);
    std::size_t end = most;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "...";
}

// A name of the model, in backticks: a long one cut, with its length.
std::string shown(std::string_view name) {
    if (name.size() <= kLongestShownName) return ticked(name);
    return ticked(cut(name, kLongestShownName)) + " (" + std::to_string(name.size()) + " bytes)";
}

// The names of values: the first few, then how many more.
std::string listed(const std::vector<model::ValueInfo>& values) {
    if (values.empty()) return "none";
    std::string out;
    for (std::size_t i = 0; i < values.size() && i < kMostShownNames; ++i) {
        if (i) out += ", ";
        out += cut(values[i].name, kLongestShownName);
    }
    if (values.size() > kMostShownNames) out += " and " + std::to_string(values.size() - kMostShownNames) + " more";
    return out;
}

// A list of dimensions of `rank` as "[a, b, c]": the first few, then their number.
template <class Dims, class Text>
std::string dims_list(const Dims& dims, std::uint64_t rank, Text text) {
    std::string out = "[";
    for (std::size_t i = 0; i < dims.size() && i < kMostShownDims; ++i) {
        if (i) out += ", ";
        out += text(dims[i]);
    }
    if (rank > kMostShownDims) out += ", ... (" + std::to_string(rank) + " dimensions)";
    return out + "]";
}

// The name of a TensorProto element type.
std::string_view element_type(std::int32_t type) {
    static constexpr std::string_view names[] = {"",       "float32", "uint8",     "int8",       "uint16",  "int16",
                                                 "int32",  "int64",   "string",    "bool",       "float16", "float64",
                                                 "uint32", "uint64",  "complex64", "complex128", "bfloat16"};
    return type > 0 && static_cast<std::size_t>(type) < std::size(names) ? names[type] : std::string_view{};
}

std::string dims_text(const model::ValueInfo& info) {
    return dims_list(info.dims, info.rank, [](const model::Dim& dim) {
        switch (dim.kind) {
            case model::DimKind::value: return std::to_string(dim.value);
            case model::DimKind::param: return cut(dim.param, kLongestShownName);
            case model::DimKind::unknown: break;
        }
        return std::string("?");
    });
}

template <class Int>
std::string shape_text(const std::vector<Int>& shape) {
    return dims_list(shape, shape.size(), [](Int size) { return std::to_string(size); });
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
    std::string out = info.has_shape ? dims_text(info) : std::string("any shape");
    out += ", the shape of the model's input " + shown(info.name);
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
        if (first != std::string_view::npos)
            items.push_back(line.substr(first, line.find_last_not_of(" \t") + 1 - first));
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

// What a path names: nothing, a regular file, a folder, something else (a
// FIFO, a device: what `what` says), or nothing because the name holds a
// NUL byte (the system would look up only the bytes before it).
enum class Kind { none, file, folder, other, nul };

struct Found {
    Found(Kind kind, std::string_view what = {}) : kind(kind), what(what) {}
    Kind kind;
    std::string_view what;  // of Kind::other: "a FIFO", "a character device", ...
};

// Looked up by its whole name, symbolic links followed as opening it would;
// nothing is opened.
Found look_up(const std::string& path) {
    if (path.find('\0') != std::string::npos) return {Kind::nul};
    struct stat st{};
    if (::stat(path.empty() ? "." : path.c_str(), &st) != 0) return {Kind::none};
    if (S_ISDIR(st.st_mode)) return {Kind::folder};
    if (S_ISREG(st.st_mode)) return {Kind::file};
    return {Kind::other, model::file_type_text(st.st_mode)};
}

Kind kind_of(const std::string& path) { return look_up(path).kind; }

// Why a path names no file, after it: ", which does not exist", ", a folder,
// not a file", ", which is not a regular file (a FIFO)", ", which holds a NUL
// byte: ...". Without `which`, as a sentence's verb: " does not exist".
std::string no_file(const Found& found, bool which) {
    const std::string lead = which ? ", which" : "";
    switch (found.kind) {
        case Kind::folder: return which ? ", a folder, not a file" : " is a folder, not a file";
        case Kind::other: return lead + " is not a regular file (" + std::string(found.what) + ")";
        case Kind::nul: return lead + " holds a NUL byte: no file has such a name";
        case Kind::none:
        case Kind::file: break;
    }
    return lead + " does not exist";
}

// The lines of a regular file, read a block at a time through `source`:
// no more than its size when opened, in no more memory than a block and the
// longest line.
class Lines {
public:
    explicit Lines(model::ByteSource& source) : source_(source), buffer_(kLongestLine + 1 + kDatasetBlock) {}

    // The next line, without its line feed; nothing at the end, after a
    // read error (failed()) or at a line longer than kLongestLine bytes
    // (too_long()).
    std::optional<std::string_view> next() {
        for (bool more = true;; more = fill()) {
            const std::string_view held(reinterpret_cast<const char*>(buffer_.data()) + start_, end_ - start_);
            const std::size_t feed = held.find('\n');
            if (feed != std::string_view::npos && feed <= kLongestLine) {
                start_ += feed + 1;
                return held.substr(0, feed);
            }
            if (held.size() > kLongestLine) {
                too_long_ = true;
                return std::nullopt;
            }
            if (!more) {
                start_ = end_;
                if (held.empty() || source_.failed()) return std::nullopt;
                return held;  // the last line, without a line feed
            }
        }
    }

    bool failed() const { return source_.failed(); }
    bool too_long() const { return too_long_; }

private:
    // Moves what is held to the front and reads more after it; false at
    // the end of the file or on an error.
    bool fill() {
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
        end_ -= start_;
        start_ = 0;
        const std::size_t n = source_.read(offset_, std::span(buffer_).subspan(end_));
        offset_ += n;
        end_ += n;
        return n > 0;
    }

    model::ByteSource& source_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0, end_ = 0;  // the bytes held, not yet given out
    std::uint64_t offset_ = 0;         // in the file, of the byte after them
    bool too_long_ = false;
};

// An input as the converter pairs it with its shape and its initial
// values: a name of `inputs`, or else a graph input, in order.
struct Slot {
    std::string_view name;
    const model::ValueInfo* info = nullptr;    // the graph's, when the name is a value with a type
    const std::vector<Size>* shape = nullptr;  // of input_size_list, when given
    toml::Value shape_value;                   // and its place
};

// The names a misspelled one of `inputs` or `outputs` was likely meant to
// be: one of the model's inputs (or outputs), else another value. The search
// is bounded, whatever the model: at most kMostCandidates names of each kind,
// none longer than kLongestCandidate bytes, and for the first
// kMostSuggestions wrong names of a configuration only; the words are read
// once, when the first wrong name comes.
class Suggester {
public:
    static constexpr std::size_t kMostCandidates = 1000;
    static constexpr std::size_t kLongestCandidate = 128;  // bytes
    static constexpr std::size_t kMostSuggestions = 50;

    Suggester(const std::vector<model::ValueInfo>& side, const std::vector<std::string>& names)
        : side_(side), names_(names) {}

    // The side's names, as a message lists them.
    const std::string& listed() {
        if (!listed_) listed_ = vora::lint::listed(side_);
        return *listed_;
    }

    // The name `name` was likely meant to be ("" when none is near, or
    // when `left` suggestions have been made).
    std::string_view meant(std::string_view name, std::size_t& left) {
        if (left == 0 || name.size() > kLongestCandidate) return {};
        --left;
        if (!side_words_) {
            side_words_.emplace(words(side_.size(), [&](std::size_t i) -> std::string_view { return side_[i].name; }));
            other_words_.emplace(words(names_.size(), [&](std::size_t i) -> std::string_view { return names_[i]; }));
        }
        for (const Vocabulary* vocabulary : {&*side_words_, &*other_words_}) {
            if (const auto near = vocabulary->match(name).nearest) return vocabulary->words()[*near];
        }
        return {};
    }

private:
    template <class Name>
    static Vocabulary words(std::size_t n, Name name) {
        std::vector<std::string_view> chosen;
        for (std::size_t i = 0; i < n && chosen.size() < kMostCandidates; ++i) {
            if (name(i).size() <= kLongestCandidate) chosen.push_back(name(i));
        }
        return Vocabulary(chosen);
    }

    const std::vector<model::ValueInfo>& side_;
    const std::vector<std::string>& names_;
    std::optional<std::string> listed_;
    std::optional<Vocabulary> side_words_, other_words_;
};

// A key the file checks look at, found by its role in the declaration:
// how messages name it, where it and its section are written, its value.
struct Key {
    std::string name;                   // `inputs`; `accuracy_analysis.inputs` where an earlier section has the key too
    const Place* place = nullptr;       // where the key is written, when it is (in a table)
    const Place* section = nullptr;     // where its section is written, when it is
    const std::string* text = nullptr;  // a text's value, when set
    const std::vector<Text>* texts = nullptr;                // a list of texts, when set (and mapped)
    const std::vector<std::vector<Size>>* shapes = nullptr;  // a list of shapes, when set
    const std::vector<float>* numbers = nullptr;             // a list of numbers, when set
    std::string default_text;                                // a text key's default

    toml::Value value() const { return place ? place->value : toml::Value{}; }
    // Whether its section is written as a table (the form the checks read).
    bool in_table() const { return section && section->value.is_table(); }
};

template <class T>
void hold(Key& key, const T& value) {
    if constexpr (is_optional<T>::value) {
        if (value) hold(key, *value);
    } else if constexpr (std::is_same_v<T, Text>) {
        key.text = &value;
    } else if constexpr (std::is_same_v<T, std::vector<Text>>) {
        key.texts = &value;
    } else if constexpr (std::is_same_v<T, std::vector<std::vector<Size>>>) {
        key.shapes = &value;
    } else if constexpr (std::is_same_v<T, std::vector<float>>) {
        key.numbers = &value;
    }
}

// Whether a section declared before the one at `section` has a key named `key`.
bool declared_before(std::size_t section, std::string_view key) {
    bool found = false;
    for_each_field<Configuration>([&](const auto& s, std::size_t index) {
        if (index >= section) return;
        for_each_field<section_record_t<decltype(s)>>([&](const auto& f, std::size_t) { found |= f.key == key; });
    });
    return found;
}

// The keys declared with `role`, in the sections the configuration holds,
// in declaration order.
std::vector<Key> keys_with(unsigned role, const Configuration& configuration, const Places& places) {
    std::vector<Key> keys;
    for_each_field<Configuration>([&](const auto& s, std::size_t section) {
        using Record = section_record_t<decltype(s)>;
        const auto& held = s.get(configuration);
        const Record* record = nullptr;
        if constexpr (is_optional<std::remove_cvref_t<decltype(held)>>::value) {
            if (held) record = &section_record(*held);
        } else {
            record = &section_record(held);
        }
        if (!record) return;
        for_each_field<Record>([&](const auto& f, std::size_t index) {
            if (!(f.roles & role)) return;
            Key& key = keys.emplace_back();
            key.name =
                declared_before(section, f.key) ? std::string(s.key) + "." + std::string(f.key) : std::string(f.key);
            key.place = places.find<Record>(index);
            key.section = places.find<Configuration>(section);
            hold(key, f.get(*record));
            if constexpr (std::is_same_v<typename std::remove_cvref_t<decltype(f)>::value_type, Text>)
                key.default_text = f.get(Record{});
        });
    });
    return keys;
}

// The first key declared with `role`; an empty one when there is none.
Key key_with(unsigned role, const Configuration& configuration, const Places& places) {
    std::vector<Key> keys = keys_with(role, configuration, places);
    return keys.empty() ? Key{} : std::move(keys.front());
}

class FileChecker {
public:
    FileChecker(const Configuration& configuration, const Places& places, const FileCheckOptions& options,
                std::vector<Finding>& out)
        : places_(places),
          options_(options),
          out_(out),
          model_(key_with(kModelFile, configuration, places)),
          initial_values_(key_with(kInitialValuesFile, configuration, places)),
          dataset_(key_with(kDatasetFile, configuration, places)),
          input_files_(keys_with(kInputFileList, configuration, places)),
          exports_(keys_with(kOutputPath, configuration, places)),
          input_names_(key_with(kInputNames, configuration, places)),
          output_names_(key_with(kOutputNames, configuration, places)),
          shapes_(key_with(kShapes, configuration, places)),
          per_channel_(keys_with(kPerChannel, configuration, places)) {}

    void run() {
        std::optional<model::ModelResult> graph;
        if (model_.in_table()) graph = read_model();
        if (!model_.section) no_model_section();
        const model::Model* model = graph && graph->ok() ? &graph->model : nullptr;
        if (model) check_names(*model);
        const std::vector<Slot> slots = pair_inputs(model);
        if (model) check_shapes(*model, slots);
        if (initial_values_.text) check_arrays(initial_values_.value(), slots);
        if (dataset_.text) check_dataset(dataset_.value(), *dataset_.text, slots.size());
        for (const Key& files : input_files_) check_inputs(files);
        for (const Key& path : exports_) {
            if (path.text) check_export(path);
        }
    }

private:
    std::string resolved(std::string_view path) const { return joined(options_.base, path); }

    Finding& add(Severity severity, Code code, std::uint32_t begin, std::uint32_t end, std::string message,
                 std::optional<std::string> help = {}) {
        Finding& finding = out_.emplace_back(severity, code, begin, end, std::move(message));
        finding.help = std::move(help);
        return finding;
    }

    Finding& add(Severity severity, Code code, toml::Value at, std::string message,
                 std::optional<std::string> help = {}) {
        return add(severity, code, at.offset(), at.end_offset(), std::move(message), std::move(help));
    }

    // The finding of `code` found before at the value `at`, if any.
    Finding* finding_at(Code code, toml::Value at) {
        for (Finding& finding : out_) {
            if (finding.code == code && finding.range && finding.range->begin == at.offset()) return &finding;
        }
        return nullptr;
    }

    // Whether an error found before (a control character made by an
    // escape, say) lies in the value `at`: what follows from it is not told.
    bool holds_error(toml::Value at) {
        if (!error_starts_) error_starts_ = error_starts(out_);  // made when first asked: most files name no path
        const auto first = std::lower_bound(error_starts_->begin(), error_starts_->end(), at.offset());
        return first != error_starts_->end() && *first < at.end_offset();
    }

    // Where the errors found before the file checks start, in order: looked
    // up for each path (a list of paths may be long, and so may the findings).
    static std::vector<std::size_t> error_starts(const std::vector<Finding>& findings) {
        std::vector<std::size_t> starts;
        for (const Finding& finding : findings) {
            if (finding.severity == Severity::Error && finding.range) starts.push_back(finding.range->begin);
        }
        std::sort(starts.begin(), starts.end());
        return starts;
    }

    // A path with backslashes whose forward-slash form names a file: that
    // form is the fix of its backslash-path warning.
    void fix_backslashes(toml::Value at, std::string_view path) {
        if (path.find('\\') == std::string_view::npos) return;
        std::string forward(path);
        std::replace(forward.begin(), forward.end(), '\\', '/');
        Finding* finding = finding_at(kBackslashPath, at);
        if (!finding || kind_of(resolved(forward)) != Kind::file) return;
        finding->fix = Fix{Applicability::Certain, Edit{at.offset(), at.end_offset(), quoted_text(forward), true}};
        finding->help = "write the path with forward slashes: " + ticked(resolved(forward)) + " is there";
        finding->help_lead = {};
    }

    // An error when no regular file is at the path `key` names (nothing, a
    // folder, a FIFO or a device, a name with a NUL byte); whether one is.
    // Nothing is said of a path that holds an error already.
    bool expect_file(const std::string& key, toml::Value at, std::string_view path) {
        if (path.empty() || holds_error(at)) return false;  // empty-value, control-character tell of it
        fix_backslashes(at, path);
        const std::string where = resolved(path);
        const Found found = look_up(where);
        if (found.kind == Kind::file) return true;
        add(Severity::Error, kMissingFile, at, ticked(key) + " names " + ticked(where) + no_file(found, true));
        return false;
    }

    // Each entry of a list of input files a file: the first entries that
    // are not reported one by one, the rest counted at the first of them.
    void check_inputs(const Key& files) {
        const toml::Value inputs = files.value();
        if (!inputs || !inputs.is_array()) return;
        std::size_t missing = 0;
        toml::Value first_counted;
        // The entries as the document holds them: the mapping for the checks
        // keeps no input file list (the file loads, so each is a string).
        for (const toml::Value entry : inputs.as_array()) {
            if (!entry.is_string()) return;
            const std::string_view path = entry.as_string();
            if (path.empty()) continue;  // empty-value tells of it
            if (missing < kMostMissingEntries) {
                if (!expect_file(files.name, entry, path)) ++missing;
            } else if (kind_of(resolved(path)) != Kind::file && missing++ == kMostMissingEntries) {
                first_counted = entry;
            }
        }
        if (missing > kMostMissingEntries) {
            const std::size_t more = missing - kMostMissingEntries;
            add(Severity::Error, kMissingFile, first_counted,
                std::to_string(more) + " more " + (more == 1 ? "entry" : "entries") + " of " + ticked(files.name) +
                    " name no file, from this one on");
        }
    }

    // Sections without the model's: the converter loads its default model,
    // told at the first section's header, with whether it is there. A file
    // of the settings alone ([config]) is left alone: it reads as settings
    // to convert with, not as a conversion of the default model.
    void no_model_section() {
        const Place* first = nullptr;
        bool converts = false;  // a section of a step after the settings: the file means a conversion
        for_each_field<Configuration>([&](const auto& f, std::size_t index) {
            const Place* place = places_.find<Configuration>(index);
            if (!place) return;
            if (!first || place->key.begin < first->key.begin) first = place;
            converts |= !std::is_same_v<section_record_t<decltype(f)>, ConfigConfig>;
        });
        if (!first || !converts) return;
        std::string_view section;
        for_each_field<Configuration>([&](const auto& f, std::size_t) {
            if (std::is_same_v<section_value_t<decltype(f)>, LoadConfig>) section = f.key;
        });
        const std::string path = resolved(model_.default_text);
        const Found found = look_up(path);
        std::string message = "the file has no [" + std::string(section) + "] section: the converter loads its " +
                              "default model, " + ticked(path);
        if (found.kind != Kind::file) message += no_file(found, true);
        Finding& added = add(Severity::Warning, kMissingSection, first->key.begin, first->key.end, std::move(message));
        added.help = "add [" + std::string(section) + "] with " + std::string(LoadConfig::tag_key) + " = " +
                     quoted_text(LoadConfig::onnx_tag) + " and the model's path";
        added.help_lead = {};
    }

    // The model the model key names, or its default at its section's header.
    std::optional<model::ModelResult> read_model() {
        const toml::Value value = model_.value();
        const std::string path = resolved(*model_.text);
        if (value) {
            if (!expect_file(model_.name, value, *model_.text)) return std::nullopt;
        } else if (const Found found = look_up(path); found.kind != Kind::file) {
            const ByteRange header = model_.section->key;
            add(Severity::Error, kMissingFile, header.begin, header.end,
                ticked(model_.name) + " is not set: the converter loads its default, " + ticked(model_.default_text) +
                    ", and " + ticked(path) + no_file(found, false));
            return std::nullopt;
        }
        // Of the graph's values, those the input and output names name (and
        // a sample of the others) are read, not all.
        std::vector<std::string> wanted;
        for (const std::vector<Text>* names : {input_names_.texts, output_names_.texts}) {
            if (names) wanted.insert(wanted.end(), names->begin(), names->end());
        }
        model::ModelResult result = model::read_onnx_file(path, model::ReadOptions{&wanted});
        const ByteRange at = value ? model_.place->value_range() : model_.section->key;
        if (!result.ok()) {
            add(Severity::Error, kNotAModel, at.begin, at.end,
                (value ? ticked(path) : "the default " + ticked(model_.name) + ", " + ticked(path) + ",") + " is " +
                    result.message);
        } else {
            check_data_files(at.begin, at.end, path, result.model);
        }
        return result;
    }

    // The files onnx loads the initializers' data from, beside the model.
    void check_data_files(std::uint32_t begin, std::uint32_t end, const std::string& path, const model::Model& model) {
        const std::vector<model::DataFileProblem> problems = model::data_file_problems(model, path);
        if (problems.empty()) return;
        std::string message = "the model " + ticked(path) + " keeps initializers' data in " +
                              ticked(cut(problems.front().path, kLongestShownPath)) + ", which " +
                              std::string(problems.front().why);
        if (problems.size() > 1) {
            message += "; " + std::to_string(problems.size() - 1) + " more of its data files cannot be loaded";
        }
        add(Severity::Error, kMissingFile, begin, end, std::move(message));
    }

    // Each name of the input and output names must be a value of the graph.
    void check_names(const model::Model& model) {
        Suggester inputs(model.inputs, model.names), outputs(model.outputs, model.names);
        const auto check = [&](const Key& key, Suggester& suggester, std::string_view side) {
            const toml::Value list = key.value();
            if (!key.texts || !list || !list.is_array()) return;
            const std::vector<Text>& names = *key.texts;
            std::size_t i = 0;
            for (const toml::Value entry : list.as_array()) {
                if (i >= names.size()) break;
                const std::string& name = names[i++];
                if (std::binary_search(model.names.begin(), model.names.end(), name)) {
                    if (&key == &input_names_) weight_named(entry, name, model);
                    continue;
                }
                std::string message = ticked(key.name) + " names " + ticked(name) +
                                      ", which is no value of the model; " + std::string(side) + suggester.listed();
                const std::string_view meant = suggester.meant(name, suggestions_left_);
                if (!meant.empty()) message += "; did you mean " + ticked(meant) + "?";
                Finding& finding = add(Severity::Error, kModelMismatch, entry, std::move(message));
                if (!meant.empty()) finding.suggestion = std::string(meant);
            }
        };
        check(input_names_, inputs, "its inputs are ");
        check(output_names_, outputs, "its outputs are ");
        some_graph_inputs(model);
    }

    // An input name that names a weight of the model: the converter would
    // feed a constant.
    void weight_named(toml::Value entry, const std::string& name, const model::Model& model) {
        const auto& weights = model.initializers;
        if (std::find(weights.begin(), weights.end(), name) == weights.end()) return;
        const auto input = std::find_if(model.inputs.begin(), model.inputs.end(),
                                        [&](const model::ValueInfo& info) { return info.name == name; });
        if (input != model.inputs.end()) return;
        Finding& added = add(Severity::Warning, kModelMismatch, entry,
                             ticked(input_names_.name) + " names " + shown(name) +
                                 ", a weight of the model (an initializer), not a graph input or a value a node makes");
        added.help = "name an input of the model: " + listed(model.inputs);
        added.help_lead = {};
    }

    // Input names that name some of the graph's inputs and leave others
    // out: the converter feeds only those named.
    void some_graph_inputs(const model::Model& model) {
        const toml::Value list = input_names_.value();
        if (!input_names_.texts || !list) return;
        const std::unordered_set<std::string_view> names(input_names_.texts->begin(), input_names_.texts->end());
        std::vector<model::ValueInfo> left;
        for (const model::ValueInfo& input : model.inputs) {
            if (!names.contains(input.name)) left.push_back(input);
        }
        if (left.empty() || left.size() == model.inputs.size()) return;
        Finding& added =
            add(Severity::Warning, kModelMismatch, list,
                ticked(input_names_.name) + " names " + std::to_string(model.inputs.size() - left.size()) + " of the " +
                    plural(model.inputs.size(), "input") + " of the model and leaves out " + listed(left));
        added.help = "name every input of the model, or remove " + ticked(input_names_.name) + " to feed them all";
        added.help_lead = {};
    }

    // The value a name of `inputs` is: the first graph input, value_info
    // entry or output of that name.
    static std::unordered_map<std::string_view, const model::ValueInfo*> values_of(const model::Model& model) {
        std::unordered_map<std::string_view, const model::ValueInfo*> values;
        for (const auto* list : {&model.inputs, &model.value_info, &model.outputs}) {
            for (const model::ValueInfo& info : *list) values.emplace(info.name, &info);
        }
        return values;
    }

    // The inputs the converter feeds: those the input names name, else the
    // graph's (when the model was read), each with its shape of the list of
    // shapes.
    std::vector<Slot> pair_inputs(const model::Model* model) const {
        std::vector<Slot> slots;
        if (input_names_.texts) {
            const auto values = model ? values_of(*model) : decltype(values_of(*model)){};
            for (const Text& name : *input_names_.texts) {
                const auto found = values.find(name);
                slots.push_back(Slot{name, found == values.end() ? nullptr : found->second, nullptr, {}});
            }
        } else if (model) {
            for (const model::ValueInfo& info : model->inputs) slots.push_back(Slot{info.name, &info, nullptr, {}});
        }
        const toml::Value shapes = shapes_.value();
        if (shapes_.shapes && shapes && shapes.is_array()) {
            std::size_t i = 0;
            for (const toml::Value shape : shapes.as_array()) {
                if (i >= slots.size() || i >= shapes_.shapes->size()) break;
                slots[i].shape = &(*shapes_.shapes)[i];
                slots[i].shape_value = shape;
                ++i;
            }
        }
        return slots;
    }

    // The shapes against the graph's inputs: their number (when the input
    // names do not choose them: the value checks count against those, by
    // the same rule), each shape's
    // rank and fixed dimensions; the per-channel values against the
    // channels of 4-D inputs.
    void check_shapes(const model::Model& model, const std::vector<Slot>& slots) {
        const toml::Value shapes = shapes_.value();
        bool paired = true;
        if (shapes_.shapes && !input_names_.texts && shapes_.shapes->size() != model.inputs.size() && shapes) {
            Finding& added = add(Severity::Error, kCountMismatch, shapes,
                                 ticked(shapes_.name) + " holds " + plural(shapes_.shapes->size(), "shape") +
                                     " and the model has " + plural(model.inputs.size(), "input") +
                                     (model.inputs.empty() ? "" : " (" + listed(model.inputs) + ")"));
            added.help = "write " + plural(model.inputs.size(), "shape") + ", one for each input of the model";
            added.help_lead = {};
            paired = false;
        }
        for (const Slot& slot : slots) {
            if (!paired || !slot.shape || !slot.info || !slot.info->has_shape) continue;
            const std::vector<model::Dim>& dims = slot.info->dims;  // the first of rank
            const std::vector<Size>& shape = *slot.shape;
            if (shape.size() != slot.info->rank) {
                add(Severity::Error, kModelMismatch, slot.shape_value,
                    "the shape " + shape_text(shape) + " of input " + shown(slot.name) + " has " +
                        plural(shape.size(), "dimension") + " and the model's " + std::to_string(slot.info->rank),
                    described(*slot.info));
                continue;
            }
            std::size_t d = 0;
            for (const toml::Value size : slot.shape_value.as_array()) {
                if (d >= dims.size()) break;
                const std::optional<std::uint64_t> want = fixed(dims[d]);
                if (shape[d] == 0) {
                    zero_size_help(size, slot, d);
                } else if (want && *want != shape[d]) {
                    add(Severity::Error, kModelMismatch, size,
                        "dimension " + std::to_string(d) + " of input " + shown(slot.name) + " is " +
                            std::to_string(shape[d]) + " here and " + std::to_string(*want) + " in the model",
                        described(*slot.info));
                }
                ++d;
            }
        }
        if (!shapes_.shapes || (paired && shapes_.shapes->size() >= slots.size())) unfixed_dimensions(slots);
        for (const Key& values : per_channel_) check_channels(values, slots);
    }

    // A size of 0 has its error from the value checks: its help is what the
    // model has there.
    void zero_size_help(toml::Value size, const Slot& slot, std::size_t d) {
        Finding* finding = finding_at(kOutOfRange, size);
        if (!finding) return;
        const model::Dim& dim = slot.info->dims[d];
        std::string help = "write the size of dimension " + std::to_string(d) + " of input " + shown(slot.name);
        if (const std::optional<std::uint64_t> want = fixed(dim)) {
            help = "write " + std::to_string(*want) + ", the size of dimension " + std::to_string(d) + " of input " +
                   shown(slot.name) + " in the model";
        } else if (dim.kind == model::DimKind::param) {
            help += " (`" + cut(dim.param, kLongestShownName) + "` in the model), 1 at least";
        }
        finding->help = std::move(help);
        finding->help_lead = {};
    }

    // The inputs fed with the model's own shape whose shape has symbolic
    // or unknown dimensions: the converter needs sizes there. Told at the
    // model key (or its section's header).
    void unfixed_dimensions(const std::vector<Slot>& slots) {
        const ByteRange at = model_.place ? model_.place->value_range() : model_.section->key;
        for (const Slot& slot : slots) {
            if (slot.shape || !slot.info || !slot.info->has_shape) continue;
            const std::vector<model::Dim>& dims = slot.info->dims;
            const auto open = std::find_if(dims.begin(), dims.end(), [](const model::Dim& dim) { return !fixed(dim); });
            if (open == dims.end()) continue;
            add(Severity::Warning, kModelMismatch, at.begin, at.end,
                "input " + shown(slot.name) + " of the model has the shape " + dims_text(*slot.info) + ", and no " +
                    ticked(shapes_.name) + " entry gives the size of its dimension " +
                    std::to_string(open - dims.begin()),
                std::string("a shape for each input, e.g. ") + ticked(shapes_.name) + " = [" +
                    fixed_example(*slot.info) + "]");
        }
    }

    // The model's shape of an input, its open dimensions made 1: a shape to start from.
    static std::string fixed_example(const model::ValueInfo& info) {
        std::string out = "[";
        for (std::size_t d = 0; d < info.dims.size(); ++d) {
            if (d) out += ", ";
            const std::optional<std::uint64_t> size = fixed(info.dims[d]);
            out += size ? std::to_string(*size) : "1";
        }
        return out + "]";
    }

    // A list of one value per channel: one for all channels, or as many as
    // the channel dimension of each 4-D input holds: dimension 1 (NCHW) or
    // the last (NHWC), the one of 1, 3 or 4 (dimension 1 first).
    void check_channels(const Key& key, const std::vector<Slot>& slots) {
        const toml::Value value = key.value();
        if (!key.numbers || key.numbers->empty() || !value || holds_error(value)) return;
        const std::uint64_t n = key.numbers->size();
        if (n == 1) return;
        for (const Slot& slot : slots) {
            std::optional<std::uint64_t> second, last;
            if (slot.shape && slot.shape->size() == 4) {
                second = (*slot.shape)[1];
                last = (*slot.shape)[3];
            } else if (!slot.shape && slot.info && slot.info->has_shape && slot.info->rank == 4) {
                second = fixed(slot.info->dims[1]);
                last = fixed(slot.info->dims[3]);
            } else {
                continue;
            }
            const auto channel_like = [](std::optional<std::uint64_t> size) {
                return size && (*size == 1 || *size == 3 || *size == 4);
            };
            const bool nchw = channel_like(second);
            if (!nchw && !channel_like(last)) continue;  // no dimension reads as channels
            const std::uint64_t channels = nchw ? *second : *last;
            if (channels == n) continue;
            add(Severity::Warning, kModelMismatch, value,
                ticked(key.name) + " holds " + plural(n, "value") + " and input " + shown(slot.name) + " has " +
                    plural(channels, "channel") + " (its " + (nchw ? "dimension 1" : "last dimension") + ")",
                "1 value for all channels, or " + std::to_string(channels) + ", one per channel of input " +
                    shown(slot.name));
            return;
        }
    }

    // The arrays of input_initial_val_file, one per input, of its shape.
    void check_arrays(toml::Value at, const std::vector<Slot>& slots) {
        if (!at || !expect_file(initial_values_.name, at, *initial_values_.text)) return;
        const std::string path = resolved(*initial_values_.text);
        const model::ArraysResult arrays = model::read_arrays_file(path);
        if (!arrays.ok()) {
            add(Severity::Error, kBadArrayFile, at, ticked(path) + " is " + arrays.message);
            return;
        }
        if (slots.empty()) return;  // nothing known to compare with
        if (arrays.arrays.size() != slots.size()) {
            add(Severity::Error, kModelMismatch, at,
                ticked(initial_values_.name) + " holds " + plural(arrays.arrays.size(), "array") +
                    " and the model takes " + plural(slots.size(), "input"));
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
                expected = shape_text(*slot.shape) + " (" + shapes_.name + ")";
            } else if (slot.info && slot.info->has_shape) {
                const std::vector<model::Dim>& dims = slot.info->dims;  // the first of rank
                same = slot.info->rank == shape.size();
                for (std::size_t d = 0; same && d < dims.size(); ++d) {
                    const std::optional<std::uint64_t> want = fixed(dims[d]);
                    same = !want || *want == shape[d];
                }
                expected = dims_text(*slot.info);
            } else {
                continue;
            }
            if (same) continue;
            const std::string& member = arrays.arrays[i].name;
            add(Severity::Error, kModelMismatch, at,
                "array " + std::to_string(i) + (member.empty() ? "" : " (" + ticked(member) + ")") + " of " +
                    ticked(initial_values_.name) + " has the shape " + shape_text(shape) + " and input " +
                    shown(slot.name) + " " + expected);
        }
    }

    // Each line of the dataset a sample: a file per input, separated by
    // spaces when there are several, relative to the dataset's folder or
    // to the base. The dataset is opened as a FileSource (which never waits
    // on a FIFO and refuses what is not a regular file) and read no further
    // than its size.
    void check_dataset(toml::Value at, const Text& dataset, std::size_t inputs) {
        if (!at || !expect_file(dataset_.name, at, dataset)) return;
        const std::string path = resolved(dataset);
        model::FileSource file(path);
        if (!file.error().empty()) {
            add(Severity::Error, kMissingFile, at, ticked(path) + " cannot be read: " + file.error());
            return;
        }
        const std::string folder = folder_of(path);
        std::size_t entries = 0, missing = 0, number = 0;
        Lines lines(file);
        while (const std::optional<std::string_view> line = lines.next()) {
            ++number;
            std::string_view rest = *line;
            if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
            const std::vector<std::string_view> items = dataset_entries(rest, inputs);
            entries += items.size();
            if (items.empty()) continue;
            std::optional<std::pair<Severity, Code>> kind;
            std::string message = dataset_line(number, rest, items, inputs, folder, kind);
            if (!kind || ++missing > kMostMissingEntries) continue;
            add(kind->first, kind->second, at, std::move(message));
        }
        if (lines.too_long()) {
            // No file list has such a line: a binary file, say.
            add(Severity::Error, kMissingFile, at,
                ticked(path) + " is no list of files: line " + std::to_string(number + 1) + " is longer than " +
                    std::to_string(kLongestLine) + " bytes");
            return;
        }
        if (lines.failed()) {
            add(Severity::Error, kMissingFile, at,
                ticked(path) + " cannot be read after line " + std::to_string(number));
            return;
        }
        if (missing > kMostMissingEntries) {
            add(Severity::Error, kMissingFile, at,
                std::to_string(missing - kMostMissingEntries) + " more " +
                    (missing - kMostMissingEntries == 1 ? "entry" : "entries") + " of the dataset do not exist");
        }
        if (entries == 0) {
            add(Severity::Warning, kEmptyValue, at, "the dataset " + ticked(path) + " lists no sample");
        }
    }

    // What is wrong with the line `number` of a dataset, of `items` (as
    // dataset_entries gives them), its finding's severity and code into
    // `kind`; one finding a line at most. A line starting with `#` is no
    // comment: it is a sample that names files; a line of another number of
    // files than the converter feeds inputs (of one input: a line that is no
    // file, of words that each are) does not pair with them.
    std::string dataset_line(std::size_t number, std::string_view line, const std::vector<std::string_view>& items,
                             std::size_t inputs, const std::string& folder,
                             std::optional<std::pair<Severity, Code>>& kind) const {
        const std::string lead = "line " + std::to_string(number) + " of the dataset";
        if (items.front().starts_with('#')) {
            kind = {Severity::Warning, kDatasetComment};
            return lead + " starts with `#`: the converter reads every line as a sample, this one too";
        }
        std::vector<std::string_view> files = items;
        if (inputs == 1 && !dataset_entry_is_there(items.front(), folder)) {
            const std::vector<std::string_view> words = dataset_entries(line, 2);
            const auto there = [&](std::string_view word) { return dataset_entry_is_there(word, folder); };
            if (words.size() > 1 && std::all_of(words.begin(), words.end(), there)) files = words;
        }
        if (inputs >= 1 && files.size() != inputs) {
            kind = {Severity::Error, kCountMismatch};
            return lead + " names " + plural(files.size(), "file") + " and the converter feeds " +
                   plural(inputs, "input") + ", a file each";
        }
        for (const std::string_view item : files) {
            if (dataset_entry_is_there(item, folder)) continue;
            kind = {Severity::Error, kMissingFile};
            return missing_entry(number, item, folder);
        }
        return {};
    }

    // Whether a dataset entry names a regular file, next to the dataset or
    // from the base.
    bool dataset_entry_is_there(std::string_view item, const std::string& folder) const {
        return kind_of(joined(folder, item)) == Kind::file || kind_of(resolved(item)) == Kind::file;
    }

    // Why the entry `item` on line `number` names no file: a NUL byte in
    // it, something that is no regular file where it was looked for, or
    // nothing at either place tried.
    std::string missing_entry(std::size_t number, std::string_view item, const std::string& folder) const {
        const std::string near = joined(folder, item);
        const std::string here = resolved(item);
        std::string message = "line " + std::to_string(number) + " of the dataset names " + ticked(item);
        if (item.find('\0') != std::string_view::npos) return message + no_file({Kind::nul}, true);
        for (const std::string* tried : {&near, &here}) {
            const Found found = look_up(*tried);
            if (found.kind == Kind::other) return message + ": " + ticked(*tried) + no_file(found, false);
        }
        message += ", which does not exist: tried " + ticked(near);
        if (here != near) message += " and " + ticked(here);
        return message;
    }

    // The folder the export is written into must be there, and the path
    // must be one a file can have (no NUL byte).
    void check_export(const Key& key) {
        const toml::Value at = key.value();
        if (!at || key.text->empty() || holds_error(at)) return;
        const std::string path = resolved(*key.text);
        if (path.find('\0') != std::string::npos) {
            add(Severity::Error, kMissingFile, at,
                ticked(key.name) + " names " + ticked(path) + no_file({Kind::nul}, true));
            return;
        }
        // The conversion makes the folders that are not there yet: the one
        // nearest that is must be a folder.
        std::string folder = folder_of(path);
        Kind kind = kind_of(folder);
        while (kind == Kind::none && !folder.empty() && folder != "/") {
            folder = folder_of(folder);
            kind = kind_of(folder);
        }
        if (kind == Kind::folder || kind == Kind::none) return;
        add(Severity::Error, kMissingFile, at,
            ticked(key.name) + " would be written below " + ticked(folder.empty() ? "." : folder) +
                ", which is not a folder");
    }

    const Places& places_;
    const FileCheckOptions& options_;
    std::vector<Finding>& out_;
    const Key model_, initial_values_, dataset_;
    const std::vector<Key> input_files_, exports_;
    const Key input_names_, output_names_, shapes_;
    const std::vector<Key> per_channel_;
    // Where the errors found before the file checks start, sorted (the file
    // checks add none that these look up).
    std::optional<std::vector<std::size_t>> error_starts_;
    std::size_t suggestions_left_ = Suggester::kMostSuggestions;
};

}  // namespace

void check_files(const Configuration& configuration, const Places& places, const FileCheckOptions& options,
                 std::vector<Finding>& out) {
    FileChecker(configuration, places, options, out).run();
}

}  // namespace vora::lint
