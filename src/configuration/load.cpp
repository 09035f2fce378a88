#include "configuration/load.hpp"

#include <array>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "format.hpp"
#include "toml/toml.hpp"

namespace vora {

namespace {

// ---------------------------------------------------------------------------
// The mapping of the parsed tree onto the records.
// ---------------------------------------------------------------------------

using MaybeError = std::optional<LoadError>;

std::string integer_text(toml::Value v) {
    return v.is_wide() ? std::to_string(v.as_unsigned()) : std::to_string(v.as_signed());
}

// What the file holds, as named in type and value errors.
std::string found(toml::Value v) {
    switch (v.type()) {
        case toml::Type::String:
            return "string " + quoted_text(v.as_string());
        case toml::Type::Integer:
            return "integer `" + integer_text(v) + "`";
        case toml::Type::Float:
            return "floating point `" + format_display_double(v.as_float()) + "`";
        case toml::Type::Boolean:
            return v.as_boolean() ? "boolean `true`" : "boolean `false`";
        case toml::Type::Array:
            return "sequence";
        default:
            return "map";
    }
}

LoadError invalid_type(toml::Value v, std::string_view expected) {
    return LoadError{"invalid type: " + found(v) + ", expected " + std::string(expected), v.span(), {}, {}};
}

template <class Int>
MaybeError convert_integer(toml::Value v, Int& out, std::string_view expected) {
    if (!v.is_integer()) return invalid_type(v, expected);
    bool fits;
    if (v.is_wide()) {
        fits = v.as_unsigned() <= static_cast<std::uint64_t>(std::numeric_limits<Int>::max());
        if (fits) out = static_cast<Int>(v.as_unsigned());
    } else {
        fits = std::in_range<Int>(v.as_signed());
        if (fits) out = static_cast<Int>(v.as_signed());
    }
    if (!fits) {
        return LoadError{"invalid value: " + found(v) + ", expected " + std::string(expected), v.span(), {},
                         {}};
    }
    return std::nullopt;
}

MaybeError convert(toml::Value v, std::string& out) {
    if (!v.is_string()) return invalid_type(v, "a string");
    out.assign(v.as_string());
    return std::nullopt;
}

MaybeError convert(toml::Value v, bool& out) {
    if (!v.is_boolean()) return invalid_type(v, "a boolean");
    out = v.as_boolean();
    return std::nullopt;
}

MaybeError convert(toml::Value v, std::uint8_t& out) { return convert_integer(v, out, "u8"); }
MaybeError convert(toml::Value v, std::int32_t& out) { return convert_integer(v, out, "i32"); }
MaybeError convert(toml::Value v, std::uint64_t& out) { return convert_integer(v, out, "usize"); }

MaybeError convert(toml::Value v, float& out) {
    if (v.is_float()) {
        out = static_cast<float>(v.as_float());
    } else if (v.is_integer()) {
        out = v.is_wide() ? static_cast<float>(v.as_unsigned()) : static_cast<float>(v.as_signed());
    } else {
        return invalid_type(v, "f32");
    }
    return std::nullopt;
}

template <class T>
MaybeError convert(toml::Value v, std::vector<T>& out);
template <class T>
MaybeError convert(toml::Value v, std::optional<T>& out);
template <class R>
    requires requires { R::fields(); }
MaybeError convert(toml::Value v, R& out);
MaybeError convert(toml::Value v, LoadConfig& out);

template <class T>
MaybeError convert(toml::Value v, std::vector<T>& out) {
    if (!v.is_array()) return invalid_type(v, "a sequence");
    const toml::Array array = v.as_array();
    std::vector<T> items;
    items.reserve(array.size());
    for (const toml::Value element : array) {
        // Each element is converted in its place in the list (long lists of
        // paths are common); on an error the whole list is dropped.
        if (auto err = convert(element, items.emplace_back())) return err;
    }
    out = std::move(items);
    return std::nullopt;
}

template <class T>
MaybeError convert(toml::Value v, std::optional<T>& out) {
    T value{};
    if (auto err = convert(v, value)) return err;
    out = std::move(value);
    return std::nullopt;
}

// Maps the entries of `table` onto the record's keys; unknown keys are ignored.
template <class R>
MaybeError map_table(toml::Table table, R& out) {
    // The known keys are converted in the order the file gives them, so the
    // error reported is the first one in the file.
    struct Entry {
        std::uint32_t at;  // where the value starts in the text
        std::size_t field;
        toml::Value value;
    };
    std::array<Entry, field_count<R>()> entries;
    std::size_t present = 0;
    // One walk over the table's entries (a table holds few keys, unknown
    // ones aside), each matched against the declared keys.
    for (const toml::Member member : table) {
        any_field<R>([&](const auto& f, std::size_t index) {
            if (f.key.size() != member.key.size() || f.key != member.key) return false;
            entries[present++] = Entry{member.value.offset(), index, member.value};
            return true;
        });
    }
    // An insertion sort: a record has a handful of keys.
    for (std::size_t k = 1; k < present; ++k) {
        for (std::size_t j = k; j > 0 && entries[j].at < entries[j - 1].at; --j) std::swap(entries[j], entries[j - 1]);
    }
    MaybeError err;
    for (std::size_t k = 0; k < present && !err; ++k) {
        any_field<R>([&](const auto& f, std::size_t index) {
            if (index != entries[k].field) return false;
            err = convert(entries[k].value, f.get(out));
            if (err) err->path.insert(err->path.begin(), std::string(f.key));
            return true;
        });
    }
    return err;
}

// Maps the elements of `array`, from `first` on, onto the record's keys in
// declaration order; keys after the last element keep their defaults and
// elements beyond the last key are ignored.
template <class R>
MaybeError map_sequence(toml::Array array, std::size_t first, R& out) {
    std::vector<toml::Value> elements;
    for (const toml::Value element : array) {
        if (elements.size() >= first + field_count<R>()) break;
        elements.push_back(element);
    }
    MaybeError err;
    any_field<R>([&](const auto& f, std::size_t index) {
        if (first + index >= elements.size()) return false;
        err = convert(elements[first + index], f.get(out));
        if (err) err->path.insert(err->path.begin(), std::string(f.key));
        return err.has_value();
    });
    return err;
}

template <class R>
    requires requires { R::fields(); }
MaybeError convert(toml::Value v, R& out) {
    if (v.is_table()) return map_table(v.as_table(), out);
    if (v.is_array()) return map_sequence(v.as_array(), 0, out);
    // A date-time reads as a table holding one unrecognised entry.
    if (v.is_date_time()) return std::nullopt;
    return invalid_type(v, "struct " + std::string(R::name));
}

MaybeError convert(toml::Value v, LoadConfig& out) {
    // Errors of the load table as a whole point at all of it.
    auto whole = [&] { return v.span(); };
    toml::Value tag;
    if (v.is_table()) {
        tag = v.as_table().get(LoadConfig::tag_key);
    } else if (v.is_array()) {
        const toml::Array array = v.as_array();
        if (!array.empty()) tag = *array.begin();
    } else if (!v.is_date_time()) {
        return invalid_type(v, "internally tagged enum LoadConfig");
    }
    if (!tag) return LoadError{"missing field `" + std::string(LoadConfig::tag_key) + "`", whole(), {}, {}};
    if (!tag.is_string()) {
        auto err = invalid_type(tag, "variant identifier");
        err.path.insert(err.path.begin(), std::string(LoadConfig::tag_key));
        return err;
    }
    if (tag.as_string() != LoadConfig::onnx_tag) {
        return LoadError{"unknown variant `" + std::string(tag.as_string()) + "`, expected `" +
                             std::string(LoadConfig::onnx_tag) + "`",
                         tag.span(),
                         {std::string(LoadConfig::tag_key)},
                         {}};
    }
    OnnxLoadConfig payload;
    MaybeError err = v.is_table() ? map_table(v.as_table(), payload) : map_sequence(v.as_array(), 1, payload);
    if (err) {
        // The entries beside the tag are mapped apart from their source, so
        // their errors point at the load table as a whole.
        err->span = whole();
        return err;
    }
    out.source = std::move(payload);
    return std::nullopt;
}

// A byte-order mark is no part of the document: columns do not count it,
// and the line shown in an error leaves it out.
std::string_view shown_text(std::string_view text) {
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    return text.starts_with(bom) ? text.substr(bom.size()) : text;
}

}  // namespace

LoadResult map_configuration(const toml::Document& document) {
    Configuration configuration;
    MaybeError err = map_table(document.root_table(), configuration);
    if (err) {
        err->text.assign(shown_text(document.text()));
        return std::move(*err);
    }
    return configuration;
}

LoadError syntax_error(toml::Error error, std::string_view text) {
    return LoadError{std::move(error.message), error.span, {}, std::string(shown_text(text))};
}

LoadResult parse_configuration(std::string_view text) {
    auto parsed = toml::parse(text);
    if (auto* syntax = std::get_if<toml::Error>(&parsed)) return syntax_error(std::move(*syntax), text);
    return map_configuration(std::get<toml::Document>(parsed));
}

}  // namespace vora
