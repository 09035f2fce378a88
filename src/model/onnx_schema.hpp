// The messages of onnx.proto as protobuf reads them: for each field of each
// message, its wire form. The ONNX reader checks the bytes of the messages
// it does not otherwise read (nodes, attributes, sub-graphs, functions,
// tensor fields) against this, so that it refuses what protobuf refuses: a
// sub-message whose bytes do not parse, a packed field of broken varints or
// of a length no whole number of fixed-size values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace vora::model::schema {

enum class Kind : std::uint8_t {
    varint,
    fixed32,
    fixed64,
    bytes,  // strings too: onnx.proto is proto2, whose strings are not checked for UTF-8
    message,
    packed_varint,  // repeated numbers: each unpacked, or a length-delimited run of them
    packed_fixed32,
    packed_fixed64,
};

enum class Msg : std::uint8_t {
    model,
    operator_set_id,
    graph,
    node,
    attribute,
    tensor,
    tensor_segment,
    string_string_entry,
    sparse_tensor,
    type,
    type_tensor,
    tensor_shape,
    tensor_shape_dimension,
    type_sequence,
    type_map,
    type_optional,
    type_sparse_tensor,
    type_opaque,
    node_device_configuration,
    sharding_spec,
    int_int_list_entry,
    sharded_dim,
    simple_sharded_dim,
    value_info,
    tensor_annotation,
    training_info,
    function,
    device_configuration,
};

struct Rule {
    Msg msg;
    std::uint32_t number;
    Kind kind;
    Msg target = Msg::model;  // kind == message
};

using M = Msg;
using K = Kind;

// In order of message, then of field number.
constexpr Rule rules[] = {
    {M::model, 1, K::varint},
    {M::model, 2, K::bytes},
    {M::model, 3, K::bytes},
    {M::model, 4, K::bytes},
    {M::model, 5, K::varint},
    {M::model, 6, K::bytes},
    {M::model, 7, K::message, M::graph},
    {M::model, 8, K::message, M::operator_set_id},
    {M::model, 14, K::message, M::string_string_entry},
    {M::model, 20, K::message, M::training_info},
    {M::model, 25, K::message, M::function},
    {M::model, 26, K::message, M::device_configuration},
    {M::operator_set_id, 1, K::bytes},
    {M::operator_set_id, 2, K::varint},
    {M::graph, 1, K::message, M::node},
    {M::graph, 2, K::bytes},
    {M::graph, 5, K::message, M::tensor},
    {M::graph, 10, K::bytes},
    {M::graph, 11, K::message, M::value_info},
    {M::graph, 12, K::message, M::value_info},
    {M::graph, 13, K::message, M::value_info},
    {M::graph, 14, K::message, M::tensor_annotation},
    {M::graph, 15, K::message, M::sparse_tensor},
    {M::graph, 16, K::message, M::string_string_entry},
    {M::node, 1, K::bytes},
    {M::node, 2, K::bytes},
    {M::node, 3, K::bytes},
    {M::node, 4, K::bytes},
    {M::node, 5, K::message, M::attribute},
    {M::node, 6, K::bytes},
    {M::node, 7, K::bytes},
    {M::node, 8, K::bytes},
    {M::node, 9, K::message, M::string_string_entry},
    {M::node, 10, K::message, M::node_device_configuration},
    {M::attribute, 1, K::bytes},
    {M::attribute, 2, K::fixed32},
    {M::attribute, 3, K::varint},
    {M::attribute, 4, K::bytes},
    {M::attribute, 5, K::message, M::tensor},
    {M::attribute, 6, K::message, M::graph},
    {M::attribute, 7, K::packed_fixed32},
    {M::attribute, 8, K::packed_varint},
    {M::attribute, 9, K::bytes},
    {M::attribute, 10, K::message, M::tensor},
    {M::attribute, 11, K::message, M::graph},
    {M::attribute, 13, K::bytes},
    {M::attribute, 14, K::message, M::type},
    {M::attribute, 15, K::message, M::type},
    {M::attribute, 20, K::varint},
    {M::attribute, 21, K::bytes},
    {M::attribute, 22, K::message, M::sparse_tensor},
    {M::attribute, 23, K::message, M::sparse_tensor},
    {M::tensor, 1, K::packed_varint},
    {M::tensor, 2, K::varint},
    {M::tensor, 3, K::message, M::tensor_segment},
    {M::tensor, 4, K::packed_fixed32},
    {M::tensor, 5, K::packed_varint},
    {M::tensor, 6, K::bytes},
    {M::tensor, 7, K::packed_varint},
    {M::tensor, 8, K::bytes},
    {M::tensor, 9, K::bytes},
    {M::tensor, 10, K::packed_fixed64},
    {M::tensor, 11, K::packed_varint},
    {M::tensor, 12, K::bytes},
    {M::tensor, 13, K::message, M::string_string_entry},
    {M::tensor, 14, K::varint},
    {M::tensor, 16, K::message, M::string_string_entry},
    {M::tensor_segment, 1, K::varint},
    {M::tensor_segment, 2, K::varint},
    {M::string_string_entry, 1, K::bytes},
    {M::string_string_entry, 2, K::bytes},
    {M::sparse_tensor, 1, K::message, M::tensor},
    {M::sparse_tensor, 2, K::message, M::tensor},
    {M::sparse_tensor, 3, K::packed_varint},
    {M::type, 1, K::message, M::type_tensor},
    {M::type, 4, K::message, M::type_sequence},
    {M::type, 5, K::message, M::type_map},
    {M::type, 6, K::bytes},
    {M::type, 7, K::message, M::type_opaque},
    {M::type, 8, K::message, M::type_sparse_tensor},
    {M::type, 9, K::message, M::type_optional},
    {M::type_tensor, 1, K::varint},
    {M::type_tensor, 2, K::message, M::tensor_shape},
    {M::tensor_shape, 1, K::message, M::tensor_shape_dimension},
    {M::tensor_shape_dimension, 1, K::varint},
    {M::tensor_shape_dimension, 2, K::bytes},
    {M::tensor_shape_dimension, 3, K::bytes},
    {M::type_sequence, 1, K::message, M::type},
    {M::type_map, 1, K::varint},
    {M::type_map, 2, K::message, M::type},
    {M::type_optional, 1, K::message, M::type},
    {M::type_sparse_tensor, 1, K::varint},
    {M::type_sparse_tensor, 2, K::message, M::tensor_shape},
    {M::type_opaque, 1, K::bytes},
    {M::type_opaque, 2, K::bytes},
    {M::node_device_configuration, 1, K::bytes},
    {M::node_device_configuration, 2, K::message, M::sharding_spec},
    {M::node_device_configuration, 3, K::varint},
    {M::sharding_spec, 1, K::bytes},
    {M::sharding_spec, 2, K::packed_varint},
    {M::sharding_spec, 3, K::message, M::int_int_list_entry},
    {M::sharding_spec, 4, K::message, M::sharded_dim},
    {M::int_int_list_entry, 1, K::varint},
    {M::int_int_list_entry, 2, K::packed_varint},
    {M::sharded_dim, 1, K::varint},
    {M::sharded_dim, 2, K::message, M::simple_sharded_dim},
    {M::simple_sharded_dim, 1, K::varint},
    {M::simple_sharded_dim, 2, K::bytes},
    {M::simple_sharded_dim, 3, K::varint},
    {M::value_info, 1, K::bytes},
    {M::value_info, 2, K::message, M::type},
    {M::value_info, 3, K::bytes},
    {M::value_info, 4, K::message, M::string_string_entry},
    {M::tensor_annotation, 1, K::bytes},
    {M::tensor_annotation, 2, K::message, M::string_string_entry},
    {M::training_info, 1, K::message, M::graph},
    {M::training_info, 2, K::message, M::graph},
    {M::training_info, 3, K::message, M::string_string_entry},
    {M::training_info, 4, K::message, M::string_string_entry},
    {M::function, 1, K::bytes},
    {M::function, 4, K::bytes},
    {M::function, 5, K::bytes},
    {M::function, 6, K::bytes},
    {M::function, 7, K::message, M::node},
    {M::function, 8, K::bytes},
    {M::function, 9, K::message, M::operator_set_id},
    {M::function, 10, K::bytes},
    {M::function, 11, K::message, M::attribute},
    {M::function, 12, K::message, M::value_info},
    {M::function, 13, K::bytes},
    {M::function, 14, K::message, M::string_string_entry},
    {M::device_configuration, 1, K::bytes},
    {M::device_configuration, 2, K::varint},
    {M::device_configuration, 3, K::bytes},
};

constexpr bool rule_before(const Rule& a, const Rule& b) {
    return a.msg != b.msg ? a.msg < b.msg : a.number < b.number;
}
static_assert(std::is_sorted(std::begin(rules), std::end(rules), rule_before));

// The rule of field `number` of `msg`, or nullptr for an unknown field.
inline const Rule* rule(Msg msg, std::uint64_t number) {
    const auto* it = std::lower_bound(
        std::begin(rules), std::end(rules), std::pair(msg, number),
        [](const Rule& r, const auto& key) { return r.msg != key.first ? r.msg < key.first : r.number < key.second; });
    return it != std::end(rules) && it->msg == msg && it->number == number ? it : nullptr;
}

}  // namespace vora::model::schema
