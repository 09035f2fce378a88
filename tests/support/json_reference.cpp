#include "support/json_reference.hpp"

#include <cstddef>
#include <string>

#include "base/fault.hpp"
#include "text/format.hpp"
#include "text/integer.hpp"
#include "text/json_string.hpp"

namespace vora {

namespace {

using json = nlohmann::json;

void append_compact(std::string& out, const json& value) {
    switch (value.type()) {
        case json::value_t::null: out += "null"; return;
        case json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
        case json::value_t::number_unsigned: append_integer(out, value.get<json::number_unsigned_t>()); return;
        case json::value_t::number_integer: append_integer(out, value.get<json::number_integer_t>()); return;
        case json::value_t::number_float: append_json_double(out, value.get<double>()); return;
        case json::value_t::string: append_json_string(out, value.get_ref<const std::string&>()); return;
        case json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& element : value) {
                if (!first) out.push_back(',');
                first = false;
                append_compact(out, element);
            }
            out.push_back(']');
            return;
        }
        case json::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [name, member] : value.items()) {
                if (!first) out.push_back(',');
                first = false;
                append_json_string(out, name);
                out.push_back(':');
                append_compact(out, member);
            }
            out.push_back('}');
            return;
        }
        case json::value_t::binary:
        case json::value_t::discarded: break;
    }
    throw InternalFault("value has no JSON text");
}

// The three number representations, with stored non-negative signed
// integers counted as unsigned.
enum class NumberKind { Unsigned, Negative, Float };

NumberKind number_kind(const json& value) {
    if (value.is_number_float()) return NumberKind::Float;
    if (value.is_number_unsigned()) return NumberKind::Unsigned;
    return value.get<json::number_integer_t>() < 0 ? NumberKind::Negative : NumberKind::Unsigned;
}

}  // namespace

std::string cell_text(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    std::string out;
    append_compact(out, value);
    return out;
}

bool json_equal(const nlohmann::json& a, const nlohmann::json& b) {
    if (a.is_number() && b.is_number()) {
        const NumberKind kind = number_kind(a);
        if (kind != number_kind(b)) return false;
        switch (kind) {
            case NumberKind::Float: return a.get<double>() == b.get<double>();
            case NumberKind::Negative: return a.get<json::number_integer_t>() == b.get<json::number_integer_t>();
            case NumberKind::Unsigned: return a.get<json::number_unsigned_t>() == b.get<json::number_unsigned_t>();
        }
    }
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case json::value_t::null: return true;
        case json::value_t::boolean: return a.get<bool>() == b.get<bool>();
        case json::value_t::string: return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
        case json::value_t::array: {
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!json_equal(a[i], b[i])) return false;
            }
            return true;
        }
        case json::value_t::object: {
            if (a.size() != b.size()) return false;
            auto ia = a.begin();
            auto ib = b.begin();
            for (; ia != a.end(); ++ia, ++ib) {
                if (ia.key() != ib.key() || !json_equal(ia.value(), ib.value())) return false;
            }
            return true;
        }
        default: return a == b;
    }
}

}  // namespace vora
