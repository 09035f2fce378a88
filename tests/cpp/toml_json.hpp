// The tagged JSON form of a TOML document, shared by the corpus test and the
// toml_dump tool.
//
// Tables are JSON objects, arrays JSON arrays, and every scalar an object
// {"type": "<tag>", "value": "<text>"}: integers in decimal, floats in their
// shortest round-trip form ("nan", "inf", "-inf" for the special values),
// date-times in RFC 3339 with seconds always written. The walk keeps its own
// stack, so the deepest document the reader accepts converts without
// recursion.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "toml/toml.hpp"

namespace vora::toml::testing {

inline std::string_view type_tag(Type type) {
    switch (type) {
        case Type::String: return "string";
        case Type::Integer: return "integer";
        case Type::Float: return "float";
        case Type::Boolean: return "bool";
        case Type::OffsetDateTime: return "datetime";
        case Type::LocalDateTime: return "datetime-local";
        case Type::LocalDate: return "date-local";
        case Type::LocalTime: return "time-local";
        case Type::Table: return "table";
        case Type::Array: return "array";
    }
    return "?";
}

inline std::string float_text(double f) {
    if (std::isnan(f)) return "nan";
    if (std::isinf(f)) return f < 0 ? "-inf" : "inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, f);
    return std::string(buf, r.ptr);
}

// RFC 3339 text of the parts of `dt` that `type` has.
inline std::string date_time_text(Type type, const DateTime& dt) {
    char buf[80];
    std::string out;
    const bool has_date = type != Type::LocalTime;
    const bool has_time = type != Type::LocalDate;
    if (has_date) {
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned(dt.year), unsigned(dt.month), unsigned(dt.day));
        out += buf;
        if (has_time) out += 'T';
    }
    if (has_time) {
        std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", unsigned(dt.hour), unsigned(dt.minute), unsigned(dt.second));
        out += buf;
        if (dt.fraction_digits > 0) {
            std::snprintf(buf, sizeof buf, "%09u", unsigned(dt.nanosecond));
            out += '.';
            out.append(buf, dt.fraction_digits < 9 ? dt.fraction_digits : 9);
        }
    }
    if (type == Type::OffsetDateTime) {
        if (dt.offset_minutes == 0) {
            out += 'Z';
        } else {
            const int m = dt.offset_minutes < 0 ? -dt.offset_minutes : dt.offset_minutes;
            std::snprintf(buf, sizeof buf, "%c%02d:%02d", dt.offset_minutes < 0 ? '-' : '+', m / 60, m % 60);
            out += buf;
        }
    }
    return out;
}

// The "value" text of a scalar.
inline std::string scalar_text(Value v) {
    switch (v.type()) {
        case Type::String: return std::string(v.as_string());
        case Type::Integer: return v.is_wide() ? std::to_string(v.as_unsigned()) : std::to_string(v.as_signed());
        case Type::Float: return float_text(v.as_float());
        case Type::Boolean: return v.as_boolean() ? "true" : "false";
        case Type::OffsetDateTime:
        case Type::LocalDateTime:
        case Type::LocalDate:
        case Type::LocalTime: return date_time_text(v.type(), v.as_date_time());
        case Type::Table:
        case Type::Array: break;
    }
    throw std::logic_error("scalar_text of a table or an array");
}

// Calls visit(value, depth) for `root` and every value below it, parents
// before children, in document order (depth 0 is `root`).
template <class Visit>
void for_each_value(Value root, Visit&& visit) {
    struct Frame {
        Table::iterator next_member, end_member;
        Array::iterator next_element, end_element;
        bool table;
    };
    std::vector<Frame> stack;
    auto enter = [&](Value v) {
        visit(v, stack.size());
        if (v.is_table()) {
            const Table t = v.as_table();
            stack.push_back(Frame{t.begin(), t.end(), {}, {}, true});
        } else if (v.is_array()) {
            const Array a = v.as_array();
            stack.push_back(Frame{{}, {}, a.begin(), a.end(), false});
        }
    };
    enter(root);
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.table ? f.next_member == f.end_member : f.next_element == f.end_element) {
            stack.pop_back();
            continue;
        }
        const Value child = f.table ? (*f.next_member++).value : *f.next_element++;
        enter(child);
    }
}

// The tagged JSON of `root` (members in document order). Throws
// std::logic_error when a table yields the same key twice.
template <class Json = nlohmann::ordered_json>
Json to_tagged_json(Value root) {
    auto fresh = [](Value v) -> Json {
        if (v.is_table()) return Json::object();
        if (v.is_array()) return Json::array();
        return Json{{"type", std::string(type_tag(v.type()))}, {"value", scalar_text(v)}};
    };
    struct Frame {
        Json* out;
        Table::iterator next_member, end_member;
        Array::iterator next_element, end_element;
        bool table;
    };
    Json result = fresh(root);
    std::vector<Frame> stack;
    auto open = [&](Value v, Json* out) {
        if (v.is_table()) {
            const Table t = v.as_table();
            stack.push_back(Frame{out, t.begin(), t.end(), {}, {}, true});
        } else if (v.is_array()) {
            const Array a = v.as_array();
            stack.push_back(Frame{out, {}, {}, a.begin(), a.end(), false});
        }
    };
    open(root, &result);
    // A container grows only while its own frame is on top, so the pointers
    // held by the frames below stay valid.
    while (!stack.empty()) {
        Frame& f = stack.back();
        Json* out = f.out;
        if (f.table) {
            if (f.next_member == f.end_member) {
                stack.pop_back();
                continue;
            }
            const Member m = *f.next_member++;
            auto [it, inserted] = out->emplace(std::string(m.key), fresh(m.value));
            if (!inserted) throw std::logic_error("key \"" + std::string(m.key) + "\" appears twice in one table");
            open(m.value, &it.value());
        } else {
            if (f.next_element == f.end_element) {
                stack.pop_back();
                continue;
            }
            const Value v = *f.next_element++;
            out->push_back(fresh(v));
            open(v, &out->back());
        }
    }
    return result;
}

}  // namespace vora::toml::testing
