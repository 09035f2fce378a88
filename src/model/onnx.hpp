// The graph interface of an ONNX model file (a protobuf ModelProto), read by
// its wire format: the graph's inputs (those that are no initializer), its
// outputs and value_info with element type and dimensions, and every value
// name. Only the fields needed are read; every other length-delimited field
// (tensor data, node attributes, sub-graphs, documentation) is skipped by its
// length without being read, so the cost does not grow with the weights.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/source.hpp"

namespace vora::model {

enum class DimKind : std::uint8_t { unknown, value, param };

struct Dim {
    DimKind kind = DimKind::unknown;
    std::int64_t value = 0;  // kind == value
    std::string param;       // kind == param: the symbolic name
};

// Which member of TypeProto's `value` is set.
enum class TypeKind : std::uint8_t { none, tensor, sequence, map, optional, sparse_tensor, opaque };

struct ValueInfo {
    std::string name;
    TypeKind kind = TypeKind::none;
    std::int32_t elem_type = 0;  // TensorProto.DataType, 0 when absent (tensor and sparse_tensor only)
    bool has_shape = false;      // no shape: the rank is unknown; a shape with no dimension: a scalar
    std::vector<Dim> dims;
};

struct Model {
    std::vector<ValueInfo> inputs;  // graph inputs that are not initializers, in file order
    std::vector<ValueInfo> outputs;
    std::vector<ValueInfo> value_info;
    std::vector<std::string> initializers;  // names of the dense and sparse initializers, in file order
    std::vector<std::string> node_outputs;  // in file order
    std::vector<std::string> names;         // every value name above, sorted, each once
};

enum class ModelError : std::uint8_t {
    none,
    unreadable,  // the file cannot be opened or read
    truncated,   // a field or a length runs past the end of the file or of its message
    malformed,   // a bad varint, wire type or field number
    no_graph,    // well-formed, but no graph
    too_large,   // a name or a count beyond the reader's limits
};

std::string_view to_string(ModelError error);

struct ModelResult {
    Model model;
    ModelError error = ModelError::none;
    std::string message;  // "not an ONNX model: <reason>" when error != none
    bool ok() const { return error == ModelError::none; }
};

// Limits that bound what hostile bytes can make the reader allocate.
inline constexpr std::size_t max_name_bytes = 64 * 1024;
inline constexpr std::size_t max_entries = 1 << 24;  // names, dimensions and value infos together

ModelResult read_onnx(ByteSource& source);
ModelResult read_onnx_file(const std::string& path);

}  // namespace vora::model
