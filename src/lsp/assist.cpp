#include "lsp/assist.hpp"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "configuration/call_plan.hpp"
#include "configuration/file_schema.hpp"
#include "configuration/load.hpp"
#include "configuration/structs.hpp"
#include "model/onnx.hpp"

namespace vora::lsp {

namespace {

using json = nlohmann::json;

// ---------------------------------------------------------------------------
// The keys as the declaration gives them.
// ---------------------------------------------------------------------------

// The name of a value type: "integer", "list of texts", ...; `plural`: of
// several ("integers").
template <class T>
std::string type_name(bool plural = false) {
    if constexpr (is_optional<T>::value) {
        return type_name<typename T::value_type>(plural);
    } else if constexpr (is_vector<T>::value) {
        return (plural ? "lists of " : "list of ") + type_name<typename T::value_type>(true);
    } else {
        const std::string_view name = std::is_same_v<T, bool>          ? "boolean"
                                      : std::is_same_v<T, std::string> ? "text"
                                      : std::is_same_v<T, float>       ? "number"
                                                                       : "integer";
        return std::string(name) + (plural ? "s" : "");
    }
}

template <class T>
constexpr bool is_text() {
    if constexpr (is_optional<T>::value) {
        return is_text<typename T::value_type>();
    } else {
        return std::is_same_v<T, std::string>;
    }
}

struct Key {
    std::string_view section;
    std::string_view key;
    std::string_view method;   // the converter call that gets it ("" for the model_type tag)
    std::string_view keyword;  // its keyword there ("" when positional)
    std::string description;
    std::string type;
    bool text = false;  // values are texts
    bool optional = false;
    std::string example;
    Choices choices;
    Limits limits;
    unsigned roles = kNoRole;
};

const json& schema() {
    static const json made = file_schema();
    return made;
}

// The TOML form of a JSON value (a default of the schema).
std::string toml_form(const json& value) {
    if (value.is_null()) return "";
    if (value.is_number_float()) {
        std::string out = value.dump();
        return out.find_first_of(".eE") == std::string::npos ? out + ".0" : out;
    }
    return value.dump();
}

const std::vector<Key>& keys() {
    static const std::vector<Key> made = [] {
        std::vector<Key> all;
        for_each_field<Configuration>([&](const auto& section, std::size_t) {
            using Record = section_record_t<decltype(section)>;
            if constexpr (std::is_same_v<section_value_t<decltype(section)>, LoadConfig>) {
                Key tag{section.key,
                        LoadConfig::tag_key,
                        "",
                        "",
                        std::string(LoadConfig::tag_description),
                        "text",
                        true,
                        false,
                        "\"Onnx\"",
                        one_of(LoadConfig::onnx_tag),
                        {},
                        kNoRole};
                all.push_back(tag);
            }
            for_each_field<Record>([&](const auto& f, std::size_t) {
                using T = typename std::remove_cvref_t<decltype(f)>::value_type;
                const json& declared =
                    schema()["properties"][std::string(section.key)]["properties"][std::string(f.key)];
                Key key{section.key,
                        f.key,
                        Record::method,
                        f.pass == Pass::Positional ? "" : f.call_name(),
                        std::string(f.description),
                        type_name<T>(),
                        is_text<T>(),
                        is_optional<T>::value,
                        std::string(f.example),
                        f.choices,
                        f.limits,
                        f.roles};
                if (key.description.empty()) key.description = declared.value("description", "");
                if (key.example.empty()) {
                    const json value = declared.value("default", json());
                    key.example = toml_form(value);
                    if (key.example.empty() || key.example == "\"\"" || key.example == "[]") {
                        key.example = key.choices.count ? std::string(key.choices.items().front())
                                      : key.text        ? ""
                                                        : "1";
                        if (key.text) key.example = "\"" + key.example + "\"";
                    }
                }
                all.push_back(std::move(key));
            });
        });
        return all;
    }();
    return made;
}

const Key* key_named(std::string_view section, std::string_view key) {
    for (const Key& k : keys()) {
        if (k.section == section && k.key == key) return &k;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Where the cursor is: a line read on its own, and the header above it, so
// that a text being edited that does not parse is read all the same.
// ---------------------------------------------------------------------------

bool key_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool blank(char c) { return c == ' ' || c == '\t'; }

struct Segment {
    std::string name;
    std::size_t begin = 0;  // of the name as written, quotes included
    std::size_t end = 0;
};

// The dotted name that starts at text[at] (blanks skipped), its segments
// unquoted; `at` is left after it.
std::vector<Segment> dotted_name(std::string_view text, std::size_t& at, std::size_t end) {
    std::vector<Segment> segments;
    for (;;) {
        while (at < end && blank(text[at])) ++at;
        Segment segment{{}, at, at};
        if (at < end && (text[at] == '"' || text[at] == '\'')) {
            const std::size_t close = text.find(text[at], at + 1);
            if (close == std::string_view::npos || close >= end) return segments;
            segment.name = std::string(text.substr(at + 1, close - at - 1));
            at = close + 1;
        } else {
            while (at < end && key_char(text[at])) ++at;
            segment.name = std::string(text.substr(segment.begin, at - segment.begin));
        }
        segment.end = at;
        if (segment.end == segment.begin) return segments;
        segments.push_back(std::move(segment));
        while (at < end && blank(text[at])) ++at;
        if (at >= end || text[at] != '.') return segments;
        ++at;
    }
}

struct Place {
    std::size_t line_begin = 0;
    std::size_t line_end = 0;
    std::string section;                          // the table the line belongs to ("" at the top level)
    bool header = false;                          // the line is a table header
    std::vector<Segment> name;                    // the header's name, or the key the line sets
    std::size_t equals = std::string_view::npos;  // of a key line
};

std::size_t line_begin_of(std::string_view text, std::size_t at) {
    const std::size_t newline = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
    return newline == std::string_view::npos ? 0 : newline + 1;
}

std::size_t line_end_of(std::string_view text, std::size_t at) {
    const std::size_t newline = text.find('\n', at);
    return newline == std::string_view::npos ? text.size() : newline;
}

// The header a line stands under: the nearest line above that starts with
// `[`, its first segment.
std::string section_above(std::string_view text, std::size_t line_begin) {
    while (line_begin > 0) {
        const std::size_t begin = line_begin_of(text, line_begin - 1);
        std::size_t at = begin;
        while (at < line_begin && blank(text[at])) ++at;
        if (at < line_begin && text[at] == '[') {
            at += at + 1 < line_begin && text[at + 1] == '[' ? 2 : 1;
            const std::vector<Segment> name = dotted_name(text, at, line_begin);
            return name.empty() ? std::string() : name.front().name;
        }
        line_begin = begin;
    }
    return {};
}

// The place of byte `at`; the line's section is `section` when given, else
// found above the line.
Place place_at(std::string_view text, std::size_t at, const std::string* section = nullptr) {
    Place place;
    place.line_begin = line_begin_of(text, at);
    place.line_end = line_end_of(text, at);
    std::size_t i = place.line_begin;
    while (i < place.line_end && blank(text[i])) ++i;
    if (i < place.line_end && text[i] == '[') {
        place.header = true;
        i += i + 1 < place.line_end && text[i + 1] == '[' ? 2 : 1;
        place.name = dotted_name(text, i, place.line_end);
        return place;
    }
    place.section = section ? *section : section_above(text, place.line_begin);
    place.name = dotted_name(text, i, place.line_end);
    if (i < place.line_end && text[i] == '=') place.equals = i;
    // A dotted key at the top level sets a key of a section.
    if (place.section.empty() && place.name.size() == 2) {
        place.section = place.name.front().name;
        place.name.erase(place.name.begin());
    }
    return place;
}

// ---------------------------------------------------------------------------
// Hover.
// ---------------------------------------------------------------------------

std::string code(std::string_view text) { return "`" + std::string(text) + "`"; }

std::string choices_line(const Key& key) {
    std::string line = key.choices.closed() ? "one of: " : "for example: ";
    for (const std::string_view item : key.choices.items()) {
        if (line.back() != ' ') line += ", ";
        line += code(key.text ? "\"" + std::string(item) + "\"" : std::string(item));
    }
    return line;
}

std::string limits_line(const Key& key) {
    const Limits& l = key.limits;
    if (l.minimum && l.maximum) return "range: " + std::to_string(*l.minimum) + " to " + std::to_string(*l.maximum);
    if (l.minimum) return "at least " + std::to_string(*l.minimum);
    if (l.maximum) return "at most " + std::to_string(*l.maximum);
    if (key.roles & kCount) return "at least 1";
    if (l.min_length) return "at least " + std::to_string(*l.min_length) + " character";
    return {};
}

// What the converter gets of the key with the text as it is: its argument
// in the call, as repr() writes it.
std::string received(const Key& key, std::string_view text) {
    if (key.method.empty()) return {};
    const LoadResult loaded = parse_configuration(text);
    const auto* configuration = std::get_if<Configuration>(&loaded);
    if (!configuration) return "the converter receives nothing: the file does not load";
    for (const PlannedCall& call : call_plan(*configuration, kDefaultPython)) {
        if (call.method != key.method) continue;
        for (const PlannedArgument& argument : call.arguments) {
            if (argument.keyword != key.keyword) continue;
            const std::string shown =
                argument.keyword.empty() ? argument.repr : std::string(argument.keyword) + "=" + argument.repr;
            return "the converter receives: " + code(std::string(call.method) + "(" + shown + ")");
        }
        return "the converter receives: nothing (" + code(key.method) + " is called without it)";
    }
    return "the converter receives: nothing (" + code(key.method) + " is not called)";
}

std::string_view element_type(std::int32_t type) {
    static constexpr std::string_view names[] = {"",       "float32", "uint8",     "int8",       "uint16",  "int16",
                                                 "int32",  "int64",   "string",    "bool",       "float16", "float64",
                                                 "uint32", "uint64",  "complex64", "complex128", "bfloat16"};
    return type > 0 && static_cast<std::size_t>(type) < std::size(names) ? names[type] : std::string_view("?");
}

std::string shape(const model::ValueInfo& info) {
    if (!info.has_shape) return "any shape";
    std::string out = "[";
    for (std::size_t i = 0; i < info.dims.size(); ++i) {
        if (i) out += ", ";
        const model::Dim& dim = info.dims[i];
        out += dim.kind == model::DimKind::value   ? std::to_string(dim.value)
               : dim.kind == model::DimKind::param ? dim.param
                                                   : "?";
    }
    if (info.rank > info.dims.size()) out += ", ...";
    return out + "]";
}

// The keys a section sets in the text: those of the lines under its
// headers (and its dotted keys at the top level), with where each line is.
std::vector<Place> key_lines(std::string_view text, std::string_view section) {
    std::vector<Place> lines;
    std::string current;  // the section of the lines read, from the headers
    for (std::size_t begin = 0; begin < text.size();) {
        Place place = place_at(text, begin, &current);
        const std::size_t next = place.line_end + 1;
        if (place.header) {
            current = place.name.empty() ? std::string() : place.name.front().name;
        } else if (place.section == section && place.name.size() == 1 && place.equals != std::string_view::npos) {
            lines.push_back(std::move(place));
        }
        begin = next;
    }
    return lines;
}

// The model file the text names ([load].model written as a plain quoted
// text, else its default), under the base folder. Read from the lines, so
// that a text being edited that does not parse names its model still.
std::string model_path(std::string_view text, const CheckSettings& settings) {
    std::string model = std::string(OnnxLoadConfig{}.model);
    const auto declared =
        std::find_if(keys().begin(), keys().end(), [](const Key& key) { return key.roles & kModelFile; });
    for (const Place& place : key_lines(text, declared->section)) {
        if (place.name.front().name != declared->key) continue;
        std::size_t at = place.equals + 1;
        while (at < place.line_end && blank(text[at])) ++at;
        if (at == place.line_end || (text[at] != '"' && text[at] != '\'')) continue;
        const std::size_t close = text.find(text[at], at + 1);
        if (close >= place.line_end) continue;
        const std::string_view written = text.substr(at + 1, close - at - 1);
        if (text[at] == '"' && written.find('\\') != std::string_view::npos) continue;
        model = std::string(written);
    }
    if (model.empty() || model.front() == '/' || settings.base.empty()) return model;
    return settings.base + "/" + model;
}

struct ModelNames {
    std::string path;
    std::string error;  // why it cannot be read
    model::Model model;
};

ModelNames model_of(std::string_view text, const CheckSettings& settings) {
    ModelNames names{model_path(text, settings), {}, {}};
    if (!settings.files) {
        names.error = "the model is not read for this document";
        return names;
    }
    // Only the interface is wanted: no value's name beyond the inputs and outputs.
    const std::vector<std::string> wanted;
    model::ModelResult read = model::read_onnx_file(names.path, model::ReadOptions{&wanted});
    if (!read.ok()) names.error = read.message;
    names.model = std::move(read.model);
    return names;
}

std::string model_lines(std::string_view text, const CheckSettings& settings) {
    const ModelNames names = model_of(text, settings);
    std::string out = "\n\nmodel " + code(names.path);
    if (!names.error.empty()) return out + ": " + names.error;
    out += ":";
    for (const auto* list : {&names.model.inputs, &names.model.outputs}) {
        for (const model::ValueInfo& info : *list) {
            out += list == &names.model.inputs ? "\n- input " : "\n- output ";
            out += code(info.name) + ": " + std::string(element_type(info.elem_type)) + " " + shape(info);
        }
    }
    return out;
}

std::string key_markdown(const Key& key, std::string_view text, const CheckSettings& settings) {
    std::string out = "**" + std::string(key.key) + "** in [" + std::string(key.section) + "]";
    if (!key.description.empty()) out += "\n\n" + key.description;
    out += "\n\n- type: " + key.type + (key.optional ? ", may be left unset" : "");
    const json& declared = schema()["properties"][std::string(key.section)]["properties"][std::string(key.key)];
    const std::string default_form = toml_form(declared.value("default", json()));
    if (!key.method.empty()) out += "\n- default: " + (default_form.empty() ? "unset" : code(default_form));
    if (const std::string limits = limits_line(key); !limits.empty()) out += "\n- " + limits;
    if (key.choices.count) out += "\n- " + choices_line(key);
    if (const std::string got = received(key, text); !got.empty()) out += "\n- " + got;
    if (key.roles & (kInputNames | kOutputNames | kShapes)) {
        out += model_lines(text, settings);
    }
    return out;
}

std::string section_markdown(std::string_view section) {
    const json& declared = schema()["properties"][std::string(section)];
    std::string out = "**[" + std::string(section) + "]**\n\n" + declared.value("description", "") + "\n\nkeys:";
    for (const Key& key : keys()) {
        if (key.section != section) continue;
        out += "\n- " + code(key.key);
        if (!key.description.empty()) out += ": " + key.description.substr(0, key.description.find('\n'));
    }
    return out;
}

}  // namespace

std::optional<Hover> hover_at(std::string_view text, std::size_t at, const CheckSettings& settings) {
    if (at > text.size()) return std::nullopt;
    const Place place = place_at(text, at);
    if (place.name.empty()) return std::nullopt;
    if (place.header) {
        const Segment& name = place.name.front();
        if (place.name.size() != 1 || at < name.begin || at > name.end) return std::nullopt;
        if (!schema()["properties"].contains(name.name)) return std::nullopt;
        return Hover{section_markdown(name.name), name.begin, name.end};
    }
    const Segment& name = place.name.back();
    if (place.name.size() != 1 || place.equals == std::string_view::npos || at < name.begin || at > name.end) {
        return std::nullopt;
    }
    const Key* key = key_named(place.section, name.name);
    if (!key) return std::nullopt;
    return Hover{key_markdown(*key, text, settings), name.begin, name.end};
}

// ---------------------------------------------------------------------------
// Completion.
// ---------------------------------------------------------------------------

namespace {

std::vector<std::string> keys_set(std::string_view text, std::string_view section) {
    std::vector<std::string> set;
    for (const Place& place : key_lines(text, section)) set.push_back(place.name.front().name);
    return set;
}

// The start of the word that ends at `at`.
std::size_t word_start(std::string_view text, std::size_t begin, std::size_t at) {
    while (at > begin && key_char(text[at - 1])) --at;
    return at;
}

void complete_sections(std::string_view text, std::size_t at, const Place& place, bool bracket,
                       std::vector<Completion>& out) {
    const std::size_t from = word_start(text, place.line_begin, at);
    for (const std::string_view name : section_names()) {
        const std::string insert = bracket ? std::string(name) : "[" + std::string(name) + "]";
        const std::string description = schema()["properties"][std::string(name)].value("description", "");
        out.push_back(Completion{insert, kKindModule, description, {}, insert, false, {}, from, at});
    }
}

std::string snippet_escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '$' || c == '}' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

void complete_keys(std::string_view text, std::size_t at, const Place& place, std::vector<Completion>& out) {
    const std::vector<std::string> set = keys_set(text, place.section);
    const std::size_t from = word_start(text, place.line_begin, at);
    for (const Key& key : keys()) {
        if (key.section != place.section || std::find(set.begin(), set.end(), key.key) != set.end()) continue;
        std::string insert = std::string(key.key) + " = ${1:" + snippet_escaped(key.example) + "}";
        out.push_back(Completion{std::string(key.key), kKindField, key.type, key.description, std::move(insert), true,
                                 std::string(key.key) + " = " + key.example, from, at});
    }
}

// Where the text being written in a value starts: after the opening quote
// of an unclosed string (`quoted`), else at the value's or the list item's
// start.
struct ValueSpot {
    std::size_t begin = 0;
    bool quoted = false;
};

ValueSpot value_spot(std::string_view text, std::size_t equals, std::size_t at) {
    ValueSpot spot{equals + 1, false};
    char quote = 0;
    for (std::size_t i = equals + 1; i < at; ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            spot.begin = i + 1;
        } else if (c == '[' || c == ',' || blank(c)) {
            spot.begin = i + 1;
        }
    }
    spot.quoted = quote != 0;
    return spot;
}

void add_value(std::vector<Completion>& out, std::string_view value, int kind, std::string detail,
               const ValueSpot& spot, std::size_t at, bool text) {
    const std::string insert = text && !spot.quoted ? "\"" + std::string(value) + "\"" : std::string(value);
    out.push_back(Completion{std::string(value), kind, std::move(detail), {}, insert, false, {}, spot.begin, at});
}

// Files and folders of the folder a path being written names, relative to
// the base. At most kMostEntries of them.
void complete_path(std::string_view typed, const CheckSettings& settings, const ValueSpot& spot, std::size_t at,
                   std::vector<Completion>& out) {
    constexpr std::size_t kMostEntries = 500;
    const std::size_t slash = typed.rfind('/');
    const std::string folder_typed(slash == std::string_view::npos ? std::string_view{} : typed.substr(0, slash + 1));
    std::string folder = folder_typed;
    if (folder.empty() || folder.front() != '/') folder = (settings.base.empty() ? "." : settings.base) + "/" + folder;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const ValueSpot name_spot{spot.begin + (slash == std::string_view::npos ? 0 : slash + 1), true};
    std::vector<std::pair<std::string, bool>> entries;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st{};
        const bool is_folder = ::stat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        entries.emplace_back(name, is_folder);
        if (entries.size() == kMostEntries) break;
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end());
    for (const auto& [name, is_folder] : entries) {
        add_value(out, is_folder ? name + "/" : name, is_folder ? kKindFolder : kKindFile, {}, name_spot, at, true);
        out.back().label = name;
    }
}

void complete_value(std::string_view text, std::size_t at, const Place& place, const CheckSettings& settings,
                    std::vector<Completion>& out) {
    if (place.name.size() != 1) return;
    const Key* key = key_named(place.section, place.name.front().name);
    if (!key) return;
    const ValueSpot spot = value_spot(text, place.equals, at);
    if (key->choices.closed()) {
        for (const std::string_view choice : key->choices.items())
            add_value(out, choice, kKindValue, {}, spot, at, key->text);
        return;
    }
    if (key->roles & (kInputNames | kOutputNames)) {
        const ModelNames names = model_of(text, settings);
        for (const model::ValueInfo& info : key->roles& kInputNames ? names.model.inputs : names.model.outputs) {
            add_value(out, info.name, kKindValue, std::string(element_type(info.elem_type)) + " " + shape(info), spot,
                      at, true);
        }
        return;
    }
    if ((key->roles & kPath) && spot.quoted && settings.files) {
        complete_path(text.substr(spot.begin, at - spot.begin), settings, spot, at, out);
    }
}

}  // namespace

std::vector<Completion> complete_at(std::string_view text, std::size_t at, const CheckSettings& settings) {
    std::vector<Completion> out;
    if (at > text.size()) return out;
    const Place place = place_at(text, at);
    if (place.header) {
        complete_sections(text, at, place, true, out);
    } else if (place.equals != std::string_view::npos && at > place.equals) {
        complete_value(text, at, place, settings, out);
    } else if (place.section.empty()) {
        complete_sections(text, at, place, false, out);
    } else if (schema()["properties"].contains(place.section)) {
        complete_keys(text, at, place, out);
    }
    return out;
}

}  // namespace vora::lsp
