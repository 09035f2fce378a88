#include "configuration/load.hpp"

#include <array>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "text/format.hpp"
#include "toml/toml.hpp"

namespace vora {

namespace {

// ---------------------------------------------------------------------------
// The mapping of the parsed tree onto the records.
// ---------------------------------------------------------------------------

// The errors met while mapping. Loading stops at the first; `check` goes on
// with the rest of the file and collects each further one, in the order the
// mapping meets them, so the first is always the one loading reports.
class Errors {
public:
    explicit Errors(bool all) : all_(all) {}

    void add(LoadError error) { list_.push_back(std::move(error)); }
    // Whether the mapping stops here: after an error, unless collecting.
    bool stop() const { return !all_ && !list_.empty(); }
    bool collecting() const { return all_; }
    std::size_t count() const { return list_.size(); }
    // Puts `key` in front of the path of each error from `first` on.
    void under(std::size_t first, std::string_view key) {
        if (first < list_.size()) [[unlikely]] prefix(first, key);
    }
    std::vector<LoadError>& list() { return list_; }

private:
    void prefix(std::size_t first, std::string_view key) {
        for (std::size_t i = first; i < list_.size(); ++i) list_[i].path.insert(list_[i].path.begin(), std::string(key));
    }

    bool all_;
    std::vector<LoadError> list_;
};

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

// The names type errors give the integer and number types.
template <class T>
constexpr std::string_view type_name = "";
template <>
constexpr std::string_view type_name<std::uint8_t> = "u8";
template <>
constexpr std::string_view type_name<std::int32_t> = "i32";
template <>
constexpr std::string_view type_name<std::uint64_t> = "usize";
template <>
constexpr std::string_view type_name<float> = "f32";

constexpr std::string_view struct_prefix = "struct ";
constexpr std::string_view tagged_enum = "internally tagged enum LoadConfig";
constexpr std::string_view variant_identifier = "variant identifier";

template <class Int>
void convert_integer(toml::Value v, Int& out, Errors& errors) {
    if (!v.is_integer()) return errors.add(invalid_type(v, type_name<Int>));
    bool fits;
    if (v.is_wide()) {
        fits = v.as_unsigned() <= static_cast<std::uint64_t>(std::numeric_limits<Int>::max());
        if (fits) out = static_cast<Int>(v.as_unsigned());
    } else {
        fits = std::in_range<Int>(v.as_signed());
        if (fits) out = static_cast<Int>(v.as_signed());
    }
    if (!fits) {
        errors.add(LoadError{"invalid value: " + found(v) + ", expected " + std::string(type_name<Int>), v.span(),
                             {}, {}});
    }
}

void convert(toml::Value v, std::string& out, Errors& errors) {
    if (!v.is_string()) return errors.add(invalid_type(v, "a string"));
    // Appended to the emptied string: the text never overlaps it, which
    // spares the general replacement's checks.
    out.clear();
    out.append(v.as_string());
}

void convert(toml::Value v, bool& out, Errors& errors) {
    if (!v.is_boolean()) return errors.add(invalid_type(v, "a boolean"));
    out = v.as_boolean();
}

void convert(toml::Value v, std::uint8_t& out, Errors& errors) { convert_integer(v, out, errors); }
void convert(toml::Value v, std::int32_t& out, Errors& errors) { convert_integer(v, out, errors); }
void convert(toml::Value v, std::uint64_t& out, Errors& errors) { convert_integer(v, out, errors); }

void convert(toml::Value v, float& out, Errors& errors) {
    if (v.is_float()) {
        out = static_cast<float>(v.as_float());
    } else if (v.is_integer()) {
        out = v.is_wide() ? static_cast<float>(v.as_unsigned()) : static_cast<float>(v.as_signed());
    } else {
        errors.add(invalid_type(v, type_name<float>));
    }
}

template <class T>
void convert(toml::Value v, std::vector<T>& out, Errors& errors);
template <class T>
void convert(toml::Value v, std::optional<T>& out, Errors& errors);
template <class R>
    requires requires { R::fields(); }
void convert(toml::Value v, R& out, Errors& errors);
void convert(toml::Value v, LoadConfig& out, Errors& errors);

template <class T>
void convert(toml::Value v, std::vector<T>& out, Errors& errors) {
    if (!v.is_array()) return errors.add(invalid_type(v, "a sequence"));
    const toml::Array array = v.as_array();
    const std::size_t before = errors.count();
    if (errors.collecting()) {
        // Only the errors are wanted: each element is converted into one
        // scratch value, so a long list costs no memory of its own.
        T scratch{};
        for (const toml::Value element : array) convert(element, scratch, errors);
        return;
    }
    std::vector<T> items;
    items.reserve(array.size());
    for (const toml::Value element : array) {
        // Each element is converted in its place in the list (long lists of
        // paths are common); on an error the whole list is dropped.
        convert(element, items.emplace_back(), errors);
        if (errors.count() != before) return;
    }
    out = std::move(items);
}

template <class T>
void convert(toml::Value v, std::optional<T>& out, Errors& errors) {
    const std::size_t before = errors.count();
    if constexpr (requires { T::fields(); }) {
        // A record already there is written key by key: it is mapped apart
        // and kept when whole.
        if (out) {
            T value{};
            convert(v, value, errors);
            if (errors.count() == before) out = std::move(value);
            return;
        }
    }
    // The other values are written only once converted whole, so a value
    // already there stays as it was after an error.
    const bool had = out.has_value();
    if (!had) out.emplace();
    convert(v, *out, errors);
    if (!had && errors.count() != before) out.reset();
}

// Per declared key of a record, by index: the conversion of its value into
// the record, errors put under the key.
template <class R>
using FieldConverter = void (*)(toml::Value, R&, Errors&);

template <class R>
constexpr auto field_converters() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<FieldConverter<R>, sizeof...(I)>{+[](toml::Value v, R& out, Errors& errors) {
            constexpr const auto& f = std::get<I>(fields_of<R>);
            const std::size_t before = errors.count();
            convert(v, f.get(out), errors);
            errors.under(before, f.key);
        }...};
    }(std::make_index_sequence<field_count<R>()>{});
}

// Maps the entries of `table` onto the record's keys; unknown keys are ignored.
template <class R>
void map_table(toml::Table table, R& out, Errors& errors) {
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
    static constexpr auto converters = field_converters<R>();
    for (std::size_t k = 0; k < present && !errors.stop(); ++k) converters[entries[k].field](entries[k].value, out, errors);
}

// Maps the elements of `array`, from `first` on, onto the record's keys in
// declaration order; keys after the last element keep their defaults and
// elements beyond the last key are ignored.
template <class R>
void map_sequence(toml::Array array, std::size_t first, R& out, Errors& errors) {
    std::vector<toml::Value> elements;
    for (const toml::Value element : array) {
        if (elements.size() >= first + field_count<R>()) break;
        elements.push_back(element);
    }
    any_field<R>([&](const auto& f, std::size_t index) {
        if (first + index >= elements.size()) return true;
        const std::size_t before = errors.count();
        convert(elements[first + index], f.get(out), errors);
        errors.under(before, f.key);
        return errors.stop();
    });
}

template <class R>
    requires requires { R::fields(); }
void convert(toml::Value v, R& out, Errors& errors) {
    if (v.is_table()) return map_table(v.as_table(), out, errors);
    if (v.is_array()) return map_sequence(v.as_array(), 0, out, errors);
    // A date-time reads as a table holding one unrecognised entry.
    if (v.is_date_time()) return;
    errors.add(invalid_type(v, std::string(struct_prefix) + std::string(R::name)));
}

void convert(toml::Value v, LoadConfig& out, Errors& errors) {
    // Errors of the load table as a whole point at all of it.
    auto whole = [&] { return v.span(); };
    toml::Value tag;
    if (v.is_table()) {
        tag = v.as_table().get(LoadConfig::tag_key);
    } else if (v.is_array()) {
        const toml::Array array = v.as_array();
        if (!array.empty()) tag = *array.begin();
    } else if (!v.is_date_time()) {
        return errors.add(invalid_type(v, tagged_enum));
    }
    if (!tag) return errors.add(LoadError{"missing field `" + std::string(LoadConfig::tag_key) + "`", whole(), {}, {}});
    if (!tag.is_string()) {
        auto err = invalid_type(tag, variant_identifier);
        err.path.insert(err.path.begin(), std::string(LoadConfig::tag_key));
        return errors.add(std::move(err));
    }
    if (tag.as_string() != LoadConfig::onnx_tag) {
        return errors.add(LoadError{"unknown variant `" + std::string(tag.as_string()) + "`, expected `" +
                                        std::string(LoadConfig::onnx_tag) + "`",
                                    tag.span(),
                                    {std::string(LoadConfig::tag_key)},
                                    {}});
    }
    // The payload is mapped in place: after an error nothing mapped is used.
    OnnxLoadConfig& payload = std::get<OnnxLoadConfig>(out.source);
    const std::size_t before = errors.count();
    if (v.is_table()) {
        map_table(v.as_table(), payload, errors);
    } else {
        map_sequence(v.as_array(), 1, payload, errors);
    }
    if (errors.count() != before) {
        // The entries beside the tag are mapped apart from their source, so
        // their errors point at the load table as a whole; `key` keeps where
        // the key at fault (of an array form: its element) is written.
        for (std::size_t i = before; i < errors.count(); ++i) {
            LoadError& err = errors.list()[i];
            std::optional<toml::Member> member;
            if (v.is_table()) member = v.as_table().member(err.path.front());
            err.key = member ? member->key_span() : err.span;
            err.span = whole();
        }
    }
}

// A byte-order mark is no part of the document: columns do not count it,
// and the line shown in an error leaves it out.
std::string_view shown_text(std::string_view text) {
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    return text.starts_with(bom) ? text.substr(bom.size()) : text;
}

}  // namespace

std::optional<LoadError> map_configuration(const toml::Document& document, Configuration& out) {
    Errors errors(false);
    map_table(document.root_table(), out, errors);
    if (!errors.count()) return std::nullopt;
    LoadError& err = errors.list().front();
    err.text.assign(shown_text(document.text()));
    return std::move(err);
}

LoadResult map_configuration(const toml::Document& document) {
    Configuration configuration;
    if (auto err = map_configuration(document, configuration)) return std::move(*err);
    return configuration;
}

std::vector<LoadError> mapping_errors(const toml::Document& document) {
    Configuration configuration;
    Errors errors(true);
    map_table(document.root_table(), configuration, errors);
    return std::move(errors.list());
}

std::optional<std::string> expected_in_words(std::string_view message) {
    constexpr std::string_view expected = ", expected ";
    const std::size_t at = message.rfind(expected);
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view term = message.substr(at + expected.size());
    std::optional<std::string> words;
    const auto integer = [&]<class Int>(Int) {
        if (term != type_name<Int>) return;
        if (std::is_unsigned_v<Int> && sizeof(Int) == sizeof(std::uint64_t)) {
            words = "a whole number ≥ 0";
        } else {
            words = "an integer from " + std::to_string(std::numeric_limits<Int>::min() + 0) + " to " +
                    std::to_string(std::numeric_limits<Int>::max() + 0);
        }
    };
    integer(std::uint8_t{});
    integer(std::int32_t{});
    integer(std::uint64_t{});
    if (term == type_name<float>) words = "a number";
    if (term.starts_with(struct_prefix) || term == tagged_enum) words = "a table";
    if (term == variant_identifier) words = "the string " + quoted_text(LoadConfig::onnx_tag);
    return words;
}

LoadError syntax_error(toml::Error error, std::string_view text) {
    return LoadError{std::move(error.message), error.span, {}, std::string(shown_text(text))};
}

std::optional<LoadError> parse_configuration(std::string_view text, Configuration& out) {
    auto parsed = toml::parse(text);
    if (auto* syntax = std::get_if<toml::Error>(&parsed)) return syntax_error(std::move(*syntax), text);
    return map_configuration(std::get<toml::Document>(parsed), out);
}

LoadResult parse_configuration(std::string_view text) {
    Configuration configuration;
    if (auto err = parse_configuration(text, configuration)) return std::move(*err);
    return configuration;
}

}  // namespace vora
