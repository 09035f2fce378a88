// Where the mapping found each key of a configuration in its document: the
// bytes of the key and of its value, and of each section its header. Kept
// by the mapping for the checks, so that none of them looks a key up by its
// name in the document again.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "configuration/error.hpp"
#include "configuration/structs.hpp"
#include "toml/toml.hpp"

namespace vora {

struct Place {
    // The key as written; of a section written as `[name]`, its whole header.
    ByteRange key;
    // The value in the document (of a section: its table): its bytes are
    // value.offset() to value.end_offset(), its elements are walked there.
    toml::Value value;

    ByteRange value_range() const { return ByteRange{value.offset(), value.end_offset()}; }
};

namespace places_detail {

inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The index of Record's first key among the keys of all sections, in the
// order of Configuration::fields(); kNone when it is no section's record.
template <class Record>
constexpr std::size_t first_of() {
    std::size_t base = 0, found = kNone;
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        using R = section_record_t<decltype(f)>;
        if (std::is_same_v<R, Record>) found = base;
        base += field_count<R>();
    });
    return found;
}

constexpr std::size_t key_count() {
    std::size_t count = 0;
    for_each_field<Configuration>(
        [&](const auto& f, std::size_t) { count += field_count<section_record_t<decltype(f)>>(); });
    return count;
}

}  // namespace places_detail

class Places {
public:
    // The place of key `index` of Record (a section's record, or
    // Configuration for the sections themselves), when the document has it
    // as an entry of a table.
    template <class Record>
    const Place* find(std::size_t index) const {
        const std::optional<Place>& place = slot<Record>(*this, index);
        return place ? &*place : nullptr;
    }

    template <class Record>
    void set(std::size_t index, Place place) {
        slot<Record>(*this, index) = place;
    }

private:
    // Of a const Places, a const slot.
    template <class Record, class Self>
    static auto& slot(Self& self, std::size_t index) {
        if constexpr (std::is_same_v<Record, Configuration>) {
            return self.sections_[index];
        } else {
            constexpr std::size_t first = places_detail::first_of<Record>();
            static_assert(first != places_detail::kNone, "no section holds this record");
            return self.keys_[first + index];
        }
    }

    std::array<std::optional<Place>, field_count<Configuration>()> sections_{};
    std::array<std::optional<Place>, places_detail::key_count()> keys_{};
};

}  // namespace vora
