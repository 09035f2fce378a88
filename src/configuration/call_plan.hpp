// The converter calls a configuration makes, as data: for each call its
// method and its arguments in the order the converter receives them, each
// argument as Python's repr() and as JSON. Derived from the key declarations
// by the rules the driver passes arguments by, without an interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "configuration/call_arguments.hpp"
#include "configuration/structs.hpp"
#include "configuration/value_json.hpp"
#include "text/python_repr.hpp"

namespace vora {

struct PlannedArgument {
    std::string_view keyword;  // empty for a positional argument
    std::string repr;
    std::string json;
};

struct PlannedCall {
    std::string_view method;
    std::vector<PlannedArgument> arguments;  // positional ones first, then the keywords in call order
};

namespace plan_detail {

template <class>
inline constexpr bool unsupported_type = false;

template <class T>
void append_repr(std::string& out, const T& value, PythonVersion python) {
    if constexpr (std::is_same_v<T, bool>) {
        out += value ? "True" : "False";
    } else if constexpr (std::is_same_v<T, std::string>) {
        append_python_str(out, value, python);
    } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint64_t> ||
                         std::is_same_v<T, std::int32_t>) {
        out += std::to_string(value);
    } else if constexpr (std::is_same_v<T, float>) {
        append_python_float(out, static_cast<double>(value));  // widened exactly, as the driver does
    } else if constexpr (is_vector<T>::value) {
        out.push_back('[');
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (i > 0) out += ", ";
            append_repr(out, value[i], python);
        }
        out.push_back(']');
    } else {
        static_assert(unsupported_type<T>, "no repr for this field type");
    }
}

template <class T>
PlannedArgument planned(const T& value, PythonVersion python) {
    PlannedArgument argument{{}, {}, {}};
    append_repr(argument.repr, value, python);
    json_form::append_json(argument.json, value);
    return argument;
}

inline PlannedArgument planned(NoneArgument, PythonVersion) { return {{}, "None", "null"}; }

// The keyword of a numpy file: the converter gets the file's arrays, which
// only the module loads (through numpy); shown by the file's path.
inline PlannedArgument planned(const NumpyFileArgument& file, PythonVersion python) {
    PlannedArgument argument{{}, "<the arrays of numpy.load(", "{\"numpy_load\":"};
    append_python_str(argument.repr, file.path, python);
    argument.repr += "), not loaded here>";
    json_form::append_json(argument.json, file.path);
    argument.json += "}";
    return argument;
}

template <class R>
PlannedCall planned_call(const R& record, PythonVersion python) {
    PlannedCall call{R::method, {}};
    for_each_call_argument(record, [&](const auto& f, std::size_t, const auto& value) {
        PlannedArgument argument = planned(value, python);
        if (f.pass != Pass::Positional) argument.keyword = f.call_name();
        call.arguments.push_back(std::move(argument));
    });
    return call;
}

}  // namespace plan_detail

// The calls of a conversion, in order, texts as repr() of `python` shows
// them; a section whose record declines the call (an analysis without
// inputs) makes none.
inline std::vector<PlannedCall> call_plan(const Configuration& configuration, PythonVersion python) {
    std::vector<PlannedCall> calls;
    for_each_section(configuration, [&](std::string_view, const auto& section) {
        if constexpr (requires { section.calls_converter(); }) {
            if (!section.calls_converter()) return;
        }
        calls.push_back(plan_detail::planned_call(section, python));
    });
    return calls;
}

// One call as a line of Python: method(repr, keyword=repr, ...).
inline std::string call_line(const PlannedCall& call) {
    std::string line(call.method);
    line.push_back('(');
    for (std::size_t i = 0; i < call.arguments.size(); ++i) {
        if (i > 0) line += ", ";
        if (!call.arguments[i].keyword.empty()) {
            line += call.arguments[i].keyword;
            line.push_back('=');
        }
        line += call.arguments[i].repr;
    }
    line.push_back(')');
    return line;
}

}  // namespace vora
