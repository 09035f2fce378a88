// The findings of loading's errors, for check: each at the value at fault.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "configuration/load.hpp"
#include "configuration/structs.hpp"
#include "lint/lint.hpp"
#include "lint/phrases.hpp"
#include "lint/suggest.hpp"
#include "text/format.hpp"
#include "text/source_index.hpp"

namespace vora::lint {

using namespace std::string_view_literals;

// Makes the finding's fix: the string written at [begin, end) of `text`,
// which reads `value`, made to read `meant` by replacing what lies between
// its quotes, when it is written on one line as it reads (no escapes) and
// `meant` fits its quotes (basic or literal, kept as they are).
void correct_text(Finding& finding, std::string_view text, std::size_t begin, std::size_t end, std::string_view value,
                  std::string_view meant) {
    const std::string_view raw = text.substr(begin, end - begin);
    if (raw.size() < 2 || (raw.front() != '"' && raw.front() != '\'') || raw.back() != raw.front()) return;
    if (raw.starts_with("\"\"\"") || raw.starts_with("'''")) return;
    if (raw.substr(1, raw.size() - 2) != value) return;
    const std::string_view forbidden = raw.front() == '"' ? "\"\\\n\r"sv : "'\n\r"sv;
    if (meant.find_first_of(forbidden) != std::string_view::npos) return;
    finding.fix = Fix{Applicability::Certain, Edit{begin + 1, end - 1, std::string(meant), true}};
}

namespace {

// A key path as loading names it: `load.inputs`.
std::string join_path(const std::vector<std::string>& path) {
    std::string out;
    for (const std::string& key : path) {
        if (!out.empty()) out += '.';
        out += key;
    }
    return out;
}

// Where a mapping error's value is written.
ByteRange value_at(const LoadError& error) {
    return error.value_range ? *error.value_range : error.range.value_or(ByteRange{});
}

// The value at the key path from the root, if it is there.
toml::Value value_at_path(const toml::Document& document, const std::vector<std::string>& path) {
    toml::Value value;
    std::optional<toml::Table> table = document.root_table();
    for (const std::string& key : path) {
        if (!table) return {};
        value = table->get(key);
        if (!value) return {};
        table = value.is_table() ? std::optional(value.as_table()) : std::nullopt;
    }
    return value;
}

// For the errors from `i` on (up to `last`), in file order, that are at
// elements of `list` or of lists inside it: the innermost list each one's
// value is an element of, into `lists` (by the error's index less `first`).
// One walk over the list's elements.
void element_of(toml::Value list, const std::vector<LoadError>& errors, std::size_t first, std::size_t& i,
                std::size_t last, std::vector<toml::Value>& lists) {
    for (const toml::Value element : list.as_array()) {
        if (i == last) return;
        const ByteRange at = value_at(errors[i]);
        if (element.offset() == at.begin && element.end_offset() == at.end) {
            lists[i++ - first] = list;
        } else if (element.is_array() && element.offset() <= at.begin && at.end <= element.end_offset()) {
            element_of(element, errors, first, i, last, lists);
        }
    }
}

// The finding of a tag that names no model source: the one meant, when it
// is near, suggested and made its fix on the terms of a closed choice.
void tag_hint(Finding& finding, std::string_view text, const LoadError& error, ByteRange range) {
    static constexpr std::string_view tags[] = {LoadConfig::onnx_tag};
    const std::string_view written = error.found();
    const std::optional<std::size_t> near = nearest(written, tags);
    if (!near) {
        finding.message = error.message;
        return;
    }
    const Hint hint = did_you_mean(quoted_text(tags[*near]), tags[*near]);
    finding.message = error.message + hint.tail;
    finding.suggestion = hint.suggestion;
    if (single_nearest(written, tags)) correct_text(finding, text, range.begin, range.end, written, tags[*near]);
}

// The section whose record its tag selects.
std::string_view tagged_section() {
    std::string_view name;
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        if (std::is_same_v<section_value_t<decltype(f)>, LoadConfig>) name = f.key;
    });
    return name;
}

// The roles of the key at `path` (a section and one of its keys), as declared.
unsigned roles_at(const std::vector<std::string>& path) {
    unsigned roles = kNoRole;
    if (path.size() != 2) return roles;
    for_each_field<Configuration>([&](const auto& s, std::size_t) {
        if (s.key != path[0]) return;
        for_each_field<section_record_t<decltype(s)>>([&](const auto& f, std::size_t) {
            if (f.key == path[1]) roles = f.roles;
        });
    });
    return roles;
}

// The documented limits of the key at `path` (a section and one of its keys).
Limits limits_at(const std::vector<std::string>& path) {
    Limits limits;
    if (path.size() != 2) return limits;
    for_each_field<Configuration>([&](const auto& s, std::size_t) {
        if (s.key != path[0]) return;
        for_each_field<section_record_t<decltype(s)>>([&](const auto& f, std::size_t) {
            if (f.key == path[1]) limits = f.limits;
        });
    });
    return limits;
}

// Whether `text` reads as a TOML number (of an integer kind: an integer).
bool reads_as_number(std::string_view text, bool integer) {
    if (text.empty()) return false;
    std::size_t i = text.front() == '+' || text.front() == '-' ? 1 : 0;
    bool digit = false, other = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '_' || (!integer && (c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'))) {
            other = true;
        } else {
            return false;
        }
    }
    return digit && (!integer || !other || text.find('_') != std::string_view::npos);
}

// What a type error expected, in words: of an integer with a documented
// range, that range (not the type's); of a value written as a string that
// reads as what was expected, the same "without quotes".
std::optional<std::string> help_of(const LoadError& error) {
    const Expected::Kind kind = error.expected.kind;
    const bool integer = kind == Expected::Kind::U8 || kind == Expected::Kind::I32 || kind == Expected::Kind::Usize;
    std::optional<std::string> words = error.expected.in_words();
    if (kind == Expected::Kind::Boolean) words = "true or false";
    const Limits limits = limits_at(error.path);
    if (integer && limits.minimum && limits.maximum) {
        words = "an integer from " + std::to_string(*limits.minimum) + " to " + std::to_string(*limits.maximum);
    }
    const std::string_view found = error.found();
    if (!words || error.kind != LoadErrorKind::InvalidType || !found.starts_with("string \"") || !found.ends_with('"'))
        return words;
    const std::string_view quoted = found.substr(8, found.size() - 9);
    const bool same = kind == Expected::Kind::Boolean          ? quoted == "true" || quoted == "false"
                      : integer || kind == Expected::Kind::F32 ? reads_as_number(quoted, integer)
                                                               : false;
    return same ? *words + " without quotes" : words;
}

// Whether two errors fail the same way at the same key: of one kind, the
// same expected, a value of the same type found.
bool same_failure(const LoadError& a, const LoadError& b) {
    const std::string_view x = a.found(), y = b.found();
    return a.kind == b.kind && a.expected.kind == b.expected.kind && a.expected.name == b.expected.name &&
           x.substr(0, x.find(' ')) == y.substr(0, y.find(' '));
}

}  // namespace

// The findings of the mapping errors: each at its value (the list, when all
// its elements fail the same way). An error that loading reports at the
// [load] table as a whole is placed at its value too, the table a related
// place.
void load_findings(const toml::Document& document, std::vector<LoadError>& errors, std::vector<Finding>& out) {
    const std::string_view text = document.text();
    SourceIndex index(text);                                       // the errors come in file order
    std::size_t header = std::string_view::npos, header_line = 0;  // the last table's line, kept
    std::vector<toml::Value> lists;    // of the errors at one key: the list each one's value is an element of
    std::size_t run = 0, run_end = 0;  // those errors, [run, run_end)
    for (std::size_t first = 0; first < errors.size();) {
        if (first >= run_end) {
            run = first;
            run_end = first + 1;
            while (run_end < errors.size() && errors[run_end].path == errors[run].path) ++run_end;
            lists.assign(run_end - run, toml::Value{});
            const toml::Value value = run_end - run > 1 ? value_at_path(document, errors[run].path) : toml::Value{};
            std::size_t i = run;
            if (value && value.is_array()) element_of(value, errors, run, i, run_end, lists);
        }
        // The errors at every element of one list, failing alike: one finding at the list.
        const toml::Value list = lists[first - run];
        std::size_t last = first + 1;
        if (list) {
            while (last < run_end && lists[last - run] && lists[last - run].offset() == list.offset() &&
                   same_failure(errors[first], errors[last])) {
                ++last;
            }
        }
        const bool whole = list && last - first > 1 && last - first == list.as_array().size();
        if (!whole) last = first + 1;
        LoadError& error = errors[first];
        const ByteRange table = error.range.value_or(ByteRange{});
        const ByteRange range =
            whole ? ByteRange{static_cast<std::uint32_t>(list.offset()), static_cast<std::uint32_t>(list.end_offset())}
                  : value_at(error);
        std::optional<std::string> help = help_of(error);  // before the message is moved out
        Finding& finding = out.emplace_back(Severity::Error, kLoadError, range.begin, range.end);
        if (error.kind == LoadErrorKind::UnknownVariant && error.path.size() == 2 &&
            error.path[0] == tagged_section() && error.path[1] == LoadConfig::tag_key) {
            tag_hint(finding, text, error, range);
        } else {
            finding.message = std::move(error.message);
        }
        if (error.value_range) {
            if (header != table.begin) {
                header = table.begin;
                header_line = index.at(header).line;
            }
            finding.related.push_back(Related{"the converter reports it at [load], line " + std::to_string(header_line),
                                              table.begin, table.end});
        } else if (error.key) {
            finding.related.push_back(Related{"in `" + join_path(error.path) + "`", error.key->begin, error.key->end});
        }
        if (whole && error.kind == LoadErrorKind::InvalidType && error.expected.kind == Expected::Kind::Sequence &&
            (roles_at(error.path) & kShapes)) {
            finding.help = "a list of shapes, one per model input, e.g. [[1, 3, 224, 224]]";
        } else if (error.kind == LoadErrorKind::MissingField && error.expected.name == LoadConfig::tag_key) {
            finding.help = "write " + std::string(LoadConfig::tag_key) + " = " + quoted_text(LoadConfig::onnx_tag) +
                           " in [" + std::string(tagged_section()) + "]";
            finding.help_lead = {};
        } else {
            finding.help = std::move(help);
        }
        first = last;
    }
}

}  // namespace vora::lint
