// The graph interface of an ONNX model file (a protobuf ModelProto), read by
// its wire format: the graph's inputs (those that are no initializer), its
// outputs and value_info with element type and dimensions, the value names,
// and the files the initializers' data is stored in. The bytes are taken as
// protobuf takes them, so that a file is refused when onnx.load refuses it:
// the messages not kept (nodes, attributes, sub-graphs, functions) are
// checked field by field against onnx.proto (model/onnx_schema.hpp) and let
// go, a field of another wire type than declared is an unknown field, groups
// are skipped, names have no length limit but the file's. Strings and bytes
// not needed (tensor data, documentation) are skipped by their length
// without being read, so the cost does not grow with the weights.
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
    std::vector<Dim> dims;       // all of them, or in a check's read (ReadOptions::wanted) the first max_kept_dims
    std::uint64_t rank = 0;      // the number of dimensions
};

// A file initializers keep their data in, and what they read of it.
struct DataFile {
    std::string location;    // as external_data gives it, relative to the model's folder
    std::uint64_t end = 0;   // the bytes they read: the largest offset + length (saturated)
    bool bad_range = false;  // an offset or length that is no whole number, or negative
    bool operator==(const DataFile&) const = default;
};

struct Model {
    std::vector<ValueInfo> inputs;  // graph inputs that are not initializers, in file order
    std::vector<ValueInfo> outputs;
    std::vector<ValueInfo> value_info;
    std::vector<std::string> initializers;  // names of the dense and sparse initializers, in file order
    std::vector<std::string> node_outputs;  // in file order
    std::vector<std::string> names;         // every value name above, sorted, each once
    // The files of the initializers whose data is stored in another file
    // (data_location EXTERNAL), each once, in file order; at most
    // max_data_files of them, `more_data_files` counting the initializers
    // whose file was not kept.
    std::vector<DataFile> data_files;
    std::size_t more_data_files = 0;
};

// What a check needs of a model, instead of every value: the names it
// looks for (`wanted`). Then each value keeps its first max_kept_dims
// dimensions (and its rank), `value_info` holds the first entry of each
// wanted name, `initializers` the wanted names that are initializers (a
// weight named where an input was meant), `node_outputs` stays empty, and `names`
// holds the names of the inputs and outputs, the wanted names that are
// values of the graph and a sample of at most max_sample_names other value
// names (each of at most max_sample_bytes) for suggestions. A name neither
// wanted nor sampled is skipped by its length without being read.
struct ReadOptions {
    const std::vector<std::string>* wanted = nullptr;  // nullptr: keep every value
};

inline constexpr std::size_t max_sample_names = 1000;
inline constexpr std::size_t max_kept_dims = 64;
inline constexpr std::size_t max_sample_bytes = 128;
inline constexpr std::size_t max_data_files = 4096;

// protobuf refuses a message of 2 GiB or more: such a model stores its
// weights as external data.
inline constexpr std::uint64_t max_model_bytes = (std::uint64_t{1} << 31) - 1;

enum class ModelError : std::uint8_t {
    none,
    unreadable,  // the file cannot be opened or read
    truncated,   // a field or a length runs past the end of the file or of its message
    malformed,   // a bad varint, wire type, field number or group
    no_graph,    // well-formed, but no graph
    too_large,   // over 2 GiB, or a count beyond the reader's limits
};

std::string_view to_string(ModelError error);

struct ModelResult {
    Model model;
    ModelError error = ModelError::none;
    std::string message;  // "not an ONNX model: <reason>" when error != none
    bool ok() const { return error == ModelError::none; }
};

// The number of names, dimensions and value infos kept (not of those read
// and let go), which bounds what hostile bytes can make the reader allocate.
inline constexpr std::size_t max_entries = 1 << 24;

ModelResult read_onnx(ByteSource& source, const ReadOptions& options = {});
ModelResult read_onnx_file(const std::string& path, const ReadOptions& options = {});

// A data file (of Model::data_files) that onnx would not load: its path
// (relative to the model's folder, as onnx resolves it) and why, read after
// "which".
struct DataFileProblem {
    std::string path;
    std::string_view why;  // "does not exist", "is a folder, not a file", ...
};

// The data files that are not regular files in the model's folder, whose
// location onnx refuses (empty, absolute, leading out of the folder, a
// symbolic link), or that are shorter than what is read of them, or read
// at an offset or length onnx cannot take.
std::vector<DataFileProblem> data_file_problems(const Model& model, const std::string& model_path);

}  // namespace vora::model
