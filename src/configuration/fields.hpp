// The declaration of a configuration key: one `Field` per key holds its TOML
// name, the record member, its description, its schema limits and the values
// it lists, plus how it is handed to the converter. Loading, the schema, the
// JSON form, the summary, `check`, `init` and the call arguments all walk
// these declarations; no other list of keys exists.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace vora {

// Limits stated by the schema. They describe the format; loading never
// enforces them.
struct Limits {
    std::optional<std::int64_t> min_length{};
    std::optional<std::int64_t> min_items{};
    std::optional<std::int64_t> minimum{};
    std::optional<std::int64_t> maximum{};
};

// The values a key's description lists: a closed list, which every value
// must be one of, or (`open`) examples of what it takes. The description
// names the same values in brackets ("[normal, mmse]", an open list ending
// in "..."); a test keeps the two in agreement. `check` and the file schema
// hold texts to a closed list; `init` shows the list of any key.
struct Choices {
    static constexpr std::size_t kMost = 8;

    std::array<std::string_view, kMost> list{};
    std::size_t count = 0;
    bool open = false;

    constexpr std::span<const std::string_view> items() const { return {list.data(), count}; }
    // Whether every value must be one of the items.
    constexpr bool closed() const { return count != 0 && !open; }
};

template <class... S>
constexpr Choices one_of(const S&... items) {
    static_assert(sizeof...(S) <= Choices::kMost);
    Choices choices;
    ((choices.list[choices.count++] = std::string_view(items)), ...);
    return choices;
}

template <class... S>
constexpr Choices for_example(const S&... items) {
    Choices choices = one_of(items...);
    choices.open = true;
    return choices;
}

// How a key reaches the converter call of its section.
enum class Pass {
    Keyword,        // keyword argument; an absent optional value is left out
    KeywordOrNone,  // keyword argument; an absent optional value is passed as None
    Positional,     // the call's positional argument
    NumpyArrays,    // the value names a numpy file; the keyword gets its arrays
};

// What the checks of `vora-config check` need to know of a key beyond its
// type: a set of these.
enum Role : unsigned {
    kNoRole = 0,
    // A list of files the conversion reads, as long as the user makes it:
    // the file checks read its entries from the document, so a mapping for
    // the checks keeps none of them.
    kInputFileList = 1u << 0,
    // Names a file or folder the conversion reads or writes: a control
    // character made by an escape is an error.
    kPath = 1u << 1,
    // A count: one at least (the schema leaves the key open).
    kCount = 1u << 2,
    // The ONNX model the conversion loads (its default when the key is left out).
    kModelFile = 1u << 3,
    // A npy/npz file of arrays, one per input the converter feeds.
    kInitialValuesFile = 1u << 4,
    // A text file of samples, a line each: a file per input.
    kDatasetFile = 1u << 5,
    // A file the conversion writes: the folder it goes into must be one.
    kOutputPath = 1u << 6,
    // Names of the graph's values the converter feeds (inputs) or reads
    // out (outputs).
    kInputNames = 1u << 7,
    kOutputNames = 1u << 8,
    // One shape per input the converter feeds, paired by position with
    // the input names when those are given.
    kShapes = 1u << 9,
    // One value per channel of each input (or one for all); the lists of
    // this role of a record are paired by position with each other.
    kPerChannel = 1u << 10,
    // A text the converter takes as written, empty too (where empty names
    // nothing): an empty one is a warning.
    kNonEmpty = 1u << 11,
    // Numbers the converter divides by: 0 is an error.
    kDivisor = 1u << 12,
};

// Other names people give a key (for did-you-mean): a few per key.
struct Aliases {
    static constexpr std::size_t kMost = 4;

    std::array<std::string_view, kMost> list{};
    std::size_t count = 0;

    constexpr std::span<const std::string_view> items() const { return {list.data(), count}; }
};

template <class Record, class T>
struct Field {
    using record_type = Record;
    using value_type = T;

    std::string_view key;
    T Record::* member;
    std::string_view description{};
    Limits limits{};
    Pass pass = Pass::Keyword;
    std::string_view keyword{};  // keyword name when it differs from `key`
    int call_rank = -1;          // position among the call's keywords; -1 keeps declaration order
    Choices choices{};           // the values its description lists
    // A value in TOML that loads and reaches the converter as a real value
    // (no empty text or list), for `init` to show where the key has no
    // default or an empty one; the one its description gives in "(e.g. ...)"
    // when it gives one.
    std::string_view example{};
    unsigned roles = kNoRole;
    Aliases aliases{};

    const T& get(const Record& r) const { return r.*member; }
    T& get(Record& r) const { return r.*member; }
    std::string_view call_name() const { return keyword.empty() ? key : keyword; }
};

template <class Record, class T>
constexpr Field<Record, T> field(std::string_view key, T Record::* member, std::string_view description = {},
                                 Limits limits = {}) {
    return Field<Record, T>{key, member, description, limits};
}

template <class F>
constexpr F with_pass(F f, Pass pass, std::string_view keyword = {}) {
    f.pass = pass;
    f.keyword = keyword;
    return f;
}

template <class F>
constexpr F with_choices(F f, Choices choices) {
    f.choices = choices;
    return f;
}

template <class F>
constexpr F with_example(F f, std::string_view example) {
    f.example = example;
    return f;
}

template <class F>
constexpr F with_roles(F f, unsigned roles) {
    f.roles = roles;
    return f;
}

template <class F, class... S>
constexpr F with_aliases(F f, const S&... names) {
    static_assert(sizeof...(S) <= Aliases::kMost);
    ((f.aliases.list[f.aliases.count++] = std::string_view(names)), ...);
    return f;
}

template <class F>
constexpr F with_rank(F f, int rank) {
    f.call_rank = rank;
    return f;
}

// Whether an absent optional value of a field with this pass is left out of
// the call (else it is passed as None).
constexpr bool leaves_out_absent(Pass pass) { return pass == Pass::Keyword || pass == Pass::NumpyArrays; }

// The position of a keyword field among its call's keywords: its call rank,
// else its declaration index.
template <class F>
constexpr std::size_t call_order(const F& f, std::size_t index) {
    return f.call_rank >= 0 ? static_cast<std::size_t>(f.call_rank) : index;
}

// The declarations of a record's keys, one constant per record type (a local
// constant in the walks below would be copied onto the stack on every call).
template <class Record>
inline constexpr auto fields_of = Record::fields();

// Calls fn(field, index) for every field of Record, in declaration order.
template <class Record, class Fn>
constexpr void for_each_field(Fn&& fn) {
    constexpr const auto& fields = fields_of<Record>;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (fn(std::get<I>(fields), I), ...);
    }(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>>{});
}

// Like for_each_field, but stops at the first call that returns true.
// Returns whether it stopped.
template <class Record, class Fn>
constexpr bool any_field(Fn&& fn) {
    constexpr const auto& fields = fields_of<Record>;
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (fn(std::get<I>(fields), I) || ...);
    }(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>>{});
}

template <class Record>
constexpr std::size_t field_count() {
    return std::tuple_size_v<decltype(Record::fields())>;
}

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
struct is_vector : std::false_type {};
template <class T>
struct is_vector<std::vector<T>> : std::true_type {};

}  // namespace vora
