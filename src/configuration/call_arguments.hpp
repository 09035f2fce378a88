// The arguments of a record's converter call, by the rules the driver passes
// them by: which fields are positional, which keywords and in what order, and
// what an absent value becomes. The driver (which makes Python values) and
// `plan` (which shows them) both walk a call through for_each_call_argument.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "configuration/structs.hpp"

namespace vora {

// An absent value that the call passes as None.
struct NoneArgument {};

// A value naming a numpy file whose arrays the call receives.
struct NumpyFileArgument {
    const std::string& path;
};

namespace call_detail {

// Calls visit(f, index, value) for the field when the call receives it.
template <class F, class R, class Visit>
void visit_argument(const F& f, std::size_t index, const R& record, Visit& visit) {
    const auto& value = f.get(record);
    using T = std::remove_cvref_t<decltype(value)>;
    if constexpr (is_optional<T>::value) {
        if (!value) {
            if (!leaves_out_absent(f.pass)) visit(f, index, NoneArgument{});
            return;
        }
        if constexpr (std::is_same_v<typename T::value_type, std::string>) {
            if (f.pass == Pass::NumpyArrays) {
                visit(f, index, NumpyFileArgument{*value});
                return;
            }
        }
        visit(f, index, *value);
    } else {
        visit(f, index, value);
    }
}

}  // namespace call_detail

// Calls visit(f, index, value) for each argument of the record's converter
// call, in the order the converter receives them: the positional fields in
// declaration order, then the keywords in call order (declaration order
// unless a field says otherwise). `value` is the field's value (an optional
// one unwrapped), NoneArgument for an absent value passed as None, or
// NumpyFileArgument for a file of arrays; an absent value that the field
// leaves out is not visited.
template <class R, class Visit>
void for_each_call_argument(const R& record, Visit&& visit) {
    for_each_field<R>([&](const auto& f, std::size_t index) {
        if (f.pass == Pass::Positional) call_detail::visit_argument(f, index, record, visit);
    });
    // Records have at most a few dozen keys: a walk per call position.
    for (std::size_t position = 0; position < field_count<R>(); ++position) {
        for_each_field<R>([&](const auto& f, std::size_t index) {
            if (f.pass != Pass::Positional && call_order(f, index) == position) {
                call_detail::visit_argument(f, index, record, visit);
            }
        });
    }
}

}  // namespace vora
