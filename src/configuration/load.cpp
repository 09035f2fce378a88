#include "configuration/load.hpp"

#include <array>
#include <type_traits>
#include <limits>
#include <string>
#include <utility>
#include <vector>

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
    explicit Errors(bool all, bool lean = false, Places* places = nullptr) : all_(all), lean_(lean), places_(places) {}

    void add(LoadError error) { list_.push_back(std::move(error)); }
    // Whether the mapping stops here: after an error, unless collecting.
    bool stop() const { return !all_ && !list_.empty(); }
    bool collecting() const { return all_; }
    // Whether the values of input file lists are left unmapped (their errors
    // still found).
    bool lean() const { return lean_; }
    // Where the places of the keys mapped are kept, if anywhere.
    Places* places() const { return places_; }
    std::size_t count() const { return list_.size(); }
    // Puts `key` in front of the path of each error from `first` on.
    void under(std::size_t first, std::string_view key) {
        if (first < list_.size()) [[unlikely]]
            prefix(first, key);
    }
    std::vector<LoadError>& list() { return list_; }

private:
    void prefix(std::size_t first, std::string_view key) {
        for (std::size_t i = first; i < list_.size(); ++i)
            list_[i].path.insert(list_[i].path.begin(), std::string(key));
    }

    bool all_;
    bool lean_;
    Places* places_;
    std::vector<LoadError> list_;
};

LoadError invalid_type(toml::Value v, Expected expected) {
    return LoadError::at(v, LoadErrorKind::InvalidType, expected);
}

// What type errors expect of the integer and number types.
template <class T>
constexpr Expected::Kind number_kind = Expected::Kind::Nothing;
template <>
constexpr Expected::Kind number_kind<std::uint8_t> = Expected::Kind::U8;
template <>
constexpr Expected::Kind number_kind<std::int32_t> = Expected::Kind::I32;
template <>
constexpr Expected::Kind number_kind<std::uint64_t> = Expected::Kind::Usize;
template <>
constexpr Expected::Kind number_kind<float> = Expected::Kind::F32;

template <class Int>
void convert_integer(toml::Value v, Int& out, Errors& errors) {
    if (!v.is_integer()) return errors.add(invalid_type(v, {number_kind<Int>}));
    bool fits;
    if (v.is_wide()) {
        fits = v.as_unsigned() <= static_cast<std::uint64_t>(std::numeric_limits<Int>::max());
        if (fits) out = static_cast<Int>(v.as_unsigned());
    } else {
        fits = std::in_range<Int>(v.as_signed());
        if (fits) out = static_cast<Int>(v.as_signed());
    }
    if (!fits) errors.add(LoadError::at(v, LoadErrorKind::InvalidValue, {number_kind<Int>}));
}

void convert(toml::Value v, std::string& out, Errors& errors) {
    if (!v.is_string()) return errors.add(invalid_type(v, {Expected::Kind::String}));
    // Appended to the emptied string: the text never overlaps it, which
    // spares the general replacement's checks.
    out.clear();
    out.append(v.as_string());
}

void convert(toml::Value v, bool& out, Errors& errors) {
    if (!v.is_boolean()) return errors.add(invalid_type(v, {Expected::Kind::Boolean}));
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
        errors.add(invalid_type(v, {Expected::Kind::F32}));
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
    if (!v.is_array()) return errors.add(invalid_type(v, {Expected::Kind::Sequence}));
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
            if ((f.roles & kInputFileList) && errors.lean() && !errors.collecting()) {
                // Checked element by element, kept nowhere: the first error
                // is the one a whole mapping stops at.
                Errors checked(true);
                convert(v, f.get(out), checked);
                if (checked.count()) errors.add(std::move(checked.list().front()));
            } else {
                convert(v, f.get(out), errors);
            }
            errors.under(before, f.key);
        }...};
    }(std::make_index_sequence<field_count<R>()>{});
}

// The bytes of a section's header (`[load]` itself) when `member` is written
// as one, else of its key (`load = {...}`, `load.model_type = ...`).
ByteRange header_of(const toml::Member& member) {
    const std::string_view text = member.doc->text();
    const auto [key_begin, key_end] = member.key_offsets();
    const std::uint32_t begin = member.value.offset();
    if (begin < text.size() && text[begin] == '[' && begin <= key_begin) {
        const std::size_t close = text.find(']', key_end);
        if (close != std::string_view::npos) return ByteRange{begin, static_cast<std::uint32_t>(close + 1)};
    }
    return ByteRange{key_begin, key_end};
}

// Keeps where the key `index` of R and its value are written.
template <class R>
void keep_place(Places& places, std::size_t index, const toml::Member& member) {
    ByteRange key;
    if constexpr (std::is_same_v<R, Configuration>) {
        key = header_of(member);
    } else {
        const auto [begin, end] = member.key_offsets();
        key = ByteRange{begin, end};
    }
    places.set<R>(index, Place{key, member.value});
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
            if (errors.places()) keep_place<R>(*errors.places(), index, member);
            return true;
        });
    }
    // An insertion sort: a record has a handful of keys.
    for (std::size_t k = 1; k < present; ++k) {
        for (std::size_t j = k; j > 0 && entries[j].at < entries[j - 1].at; --j) std::swap(entries[j], entries[j - 1]);
    }
    static constexpr auto converters = field_converters<R>();
    for (std::size_t k = 0; k < present && !errors.stop(); ++k)
        converters[entries[k].field](entries[k].value, out, errors);
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
    errors.add(invalid_type(v, {Expected::Kind::Record, R::name}));
}

// The error of a tag that selects no record: not a string, or no variant's name.
std::optional<LoadError> tag_error(toml::Value tag) {
    std::optional<LoadError> error;
    if (!tag.is_string()) {
        error = invalid_type(tag, {Expected::Kind::VariantIdentifier, LoadConfig::onnx_tag});
    } else if (tag.as_string() != LoadConfig::onnx_tag) {
        error = LoadError::at(tag, LoadErrorKind::UnknownVariant, {Expected::Kind::Variant, LoadConfig::onnx_tag},
                              tag.as_string());
    }
    if (error) error->path.insert(error->path.begin(), std::string(LoadConfig::tag_key));
    return error;
}

void convert(toml::Value v, LoadConfig& out, Errors& errors) {
    toml::Value tag;
    if (v.is_table()) {
        tag = v.as_table().get(LoadConfig::tag_key);
    } else if (v.is_array()) {
        const toml::Array array = v.as_array();
        if (!array.empty()) tag = *array.begin();
    } else if (!v.is_date_time()) {
        return errors.add(invalid_type(v, {Expected::Kind::TaggedEnum, LoadConfig::name}));
    }
    // A missing tag is an error of the load table as a whole.
    if (!tag) {
        return errors.add(
            LoadError::at(v, LoadErrorKind::MissingField, {Expected::Kind::Field, LoadConfig::tag_key}, {}));
    }
    if (auto error = tag_error(tag)) return errors.add(std::move(*error));
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
            if (member) {
                const auto [begin, end] = member->key_offsets();
                err.key = ByteRange{begin, end};
            } else {
                err.key = err.range;
            }
            err.value_range = err.range;
            // Errors of the load table as a whole point at all of it.
            err.range = ByteRange{v.offset(), v.end_offset()};
        }
    }
}

}  // namespace

std::optional<LoadError> map_configuration(const toml::Document& document, Configuration& out, bool lean,
                                           Places* places) {
    Errors errors(false, lean, places);
    map_table(document.root_table(), out, errors);
    if (!errors.count()) return std::nullopt;
    LoadError& err = errors.list().front();
    err.text.assign(document.text());
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

std::vector<LoadError> section_errors(std::string_view name, toml::Value value) {
    Configuration configuration;
    Errors errors(true);
    any_field<Configuration>([&](const auto& f, std::size_t index) {
        if (f.key != name) return false;
        field_converters<Configuration>()[index](value, configuration, errors);
        return true;
    });
    return std::move(errors.list());
}

LoadError syntax_error(toml::Error error, std::string_view text) {
    LoadError err{std::move(error.message), {}, std::string(text)};
    err.range = ByteRange{error.begin, error.end};
    return err;
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
