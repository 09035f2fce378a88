#include "model/onnx.hpp"

#include <algorithm>

#include "model/wire.hpp"

namespace vora::model {

namespace {

using wire::Type;

// Field numbers of onnx.proto.
namespace field {
constexpr std::uint64_t model_graph = 7;
constexpr std::uint64_t graph_node = 1, graph_initializer = 5, graph_input = 11, graph_output = 12,
                        graph_value_info = 13, graph_sparse_initializer = 15;
constexpr std::uint64_t node_output = 2;
constexpr std::uint64_t tensor_name = 8;
constexpr std::uint64_t sparse_values = 1;
constexpr std::uint64_t value_info_name = 1, value_info_type = 2;
constexpr std::uint64_t type_tensor = 1, type_sequence = 4, type_map = 5, type_opaque = 7, type_sparse_tensor = 8,
                        type_optional = 9;
constexpr std::uint64_t tensor_type_elem_type = 1, tensor_type_shape = 2;
constexpr std::uint64_t shape_dim = 1;
constexpr std::uint64_t dim_value = 1, dim_param = 2;
}  // namespace field

class Parser {
public:
    explicit Parser(ByteSource& source) : in_(source) {}

    bool model(Model& out, std::vector<ValueInfo>& all_inputs, bool& has_graph) {
        const std::uint64_t end = in_.size();
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::model_graph) return in_.skip(end, type);
            has_graph = true;
            return message(end, type, "ModelProto.graph",
                           [&](std::uint64_t sub_end) { return graph(sub_end, out, all_inputs); });
        });
    }

    wire::Reader& in() { return in_; }

private:
    // Calls on_field(number, type) for each field up to `end`.
    template <class OnField>
    bool fields(std::uint64_t end, OnField on_field) {
        while (in_.pos() < end) {
            std::uint64_t number = 0;
            Type type{};
            if (!in_.tag(end, number, type)) return false;
            if (!on_field(number, type)) return false;
        }
        return true;
    }

    bool expect(Type type, Type wanted, const char* what, std::uint64_t at) {
        if (type == wanted) return true;
        return in_.fail(wire::Failure::malformed,
                        std::string(what) + " has wire type " + std::to_string(static_cast<int>(type)) +
                            ", not " + std::to_string(static_cast<int>(wanted)),
                        at);
    }

    // A length-delimited sub-message: parse(end of its bytes), then on past it.
    template <class Parse>
    bool message(std::uint64_t end, Type type, const char* what, Parse parse) {
        if (!expect(type, Type::length, what, in_.pos())) return false;
        std::uint64_t sub_end = 0;
        if (!in_.length(end, sub_end)) return false;
        if (!parse(sub_end)) return false;
        in_.seek(sub_end);
        return true;
    }

    bool name(std::uint64_t end, Type type, const char* what, std::string& out) {
        if (!expect(type, Type::length, what, in_.pos())) return false;
        return in_.bytes(end, max_name_bytes, out);
    }

    bool count() {
        if (++entries_ <= max_entries) return true;
        return in_.fail(wire::Failure::too_large, "more than " + std::to_string(max_entries) + " names and dimensions");
    }

    bool graph(std::uint64_t end, Model& out, std::vector<ValueInfo>& all_inputs) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
            case field::graph_node:
                return message(end, type, "GraphProto.node", [&](std::uint64_t e) { return node(e, out); });
            case field::graph_initializer:
                return message(end, type, "GraphProto.initializer", [&](std::uint64_t e) {
                    return count() && tensor_name(e, out.initializers.emplace_back());
                });
            case field::graph_sparse_initializer:
                return message(end, type, "GraphProto.sparse_initializer", [&](std::uint64_t e) {
                    return count() && sparse_name(e, out.initializers.emplace_back());
                });
            case field::graph_input:
                return message(end, type, "GraphProto.input", [&](std::uint64_t e) {
                    return count() && value_info(e, all_inputs.emplace_back());
                });
            case field::graph_output:
                return message(end, type, "GraphProto.output", [&](std::uint64_t e) {
                    return count() && value_info(e, out.outputs.emplace_back());
                });
            case field::graph_value_info:
                return message(end, type, "GraphProto.value_info", [&](std::uint64_t e) {
                    return count() && value_info(e, out.value_info.emplace_back());
                });
            default:
                return in_.skip(end, type);
            }
        });
    }

    bool node(std::uint64_t end, Model& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::node_output) return in_.skip(end, type);
            return count() && name(end, type, "NodeProto.output", out.node_outputs.emplace_back());
        });
    }

    bool tensor_name(std::uint64_t end, std::string& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::tensor_name) return in_.skip(end, type);
            return name(end, type, "TensorProto.name", out);
        });
    }

    bool sparse_name(std::uint64_t end, std::string& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::sparse_values) return in_.skip(end, type);
            return message(end, type, "SparseTensorProto.values", [&](std::uint64_t e) { return tensor_name(e, out); });
        });
    }

    bool value_info(std::uint64_t end, ValueInfo& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
            case field::value_info_name:
                return name(end, type, "ValueInfoProto.name", out.name);
            case field::value_info_type:
                return message(end, type, "ValueInfoProto.type", [&](std::uint64_t e) { return type_proto(e, out); });
            default:
                return in_.skip(end, type);
            }
        });
    }

    // TypeProto: its `value` is a oneof; a member set later replaces an
    // earlier one of another kind, and one of the same kind is merged into.
    bool type_proto(std::uint64_t end, ValueInfo& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            TypeKind kind = TypeKind::none;
            switch (number) {
            case field::type_tensor: kind = TypeKind::tensor; break;
            case field::type_sparse_tensor: kind = TypeKind::sparse_tensor; break;
            case field::type_sequence: kind = TypeKind::sequence; break;
            case field::type_map: kind = TypeKind::map; break;
            case field::type_optional: kind = TypeKind::optional; break;
            case field::type_opaque: kind = TypeKind::opaque; break;
            default: return in_.skip(end, type);
            }
            if (out.kind != kind) {
                out.kind = kind;
                out.elem_type = 0;
                out.has_shape = false;
                out.dims.clear();
            }
            if (kind != TypeKind::tensor && kind != TypeKind::sparse_tensor) {
                return expect(type, Type::length, "TypeProto.value", in_.pos()) && in_.skip(end, type);
            }
            return message(end, type, "TypeProto.tensor_type", [&](std::uint64_t e) { return tensor_type(e, out); });
        });
    }

    bool tensor_type(std::uint64_t end, ValueInfo& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
            case field::tensor_type_elem_type: {
                std::uint64_t v = 0;
                if (!expect(type, Type::varint, "TypeProto.Tensor.elem_type", in_.pos()) || !in_.varint(end, v)) {
                    return false;
                }
                out.elem_type = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
                return true;
            }
            case field::tensor_type_shape:
                out.has_shape = true;
                return message(end, type, "TypeProto.Tensor.shape", [&](std::uint64_t e) { return shape(e, out); });
            default:
                return in_.skip(end, type);
            }
        });
    }

    bool shape(std::uint64_t end, ValueInfo& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::shape_dim) return in_.skip(end, type);
            return message(end, type, "TensorShapeProto.dim",
                           [&](std::uint64_t e) { return count() && dimension(e, out.dims.emplace_back()); });
        });
    }

    bool dimension(std::uint64_t end, Dim& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
            case field::dim_value: {
                std::uint64_t v = 0;
                if (!expect(type, Type::varint, "Dimension.dim_value", in_.pos()) || !in_.varint(end, v)) return false;
                out.kind = DimKind::value;
                out.value = static_cast<std::int64_t>(v);
                out.param.clear();
                return true;
            }
            case field::dim_param:
                out.kind = DimKind::param;
                return name(end, type, "Dimension.dim_param", out.param);
            default:
                return in_.skip(end, type);
            }
        });
    }

    wire::Reader in_;
    std::size_t entries_ = 0;
};

ModelError error_of(wire::Failure failure) {
    switch (failure) {
    case wire::Failure::unreadable: return ModelError::unreadable;
    case wire::Failure::truncated: return ModelError::truncated;
    case wire::Failure::too_large: return ModelError::too_large;
    default: return ModelError::malformed;
    }
}

}  // namespace

std::string_view to_string(ModelError error) {
    switch (error) {
    case ModelError::none: return "none";
    case ModelError::unreadable: return "unreadable";
    case ModelError::truncated: return "truncated";
    case ModelError::malformed: return "malformed";
    case ModelError::no_graph: return "no_graph";
    case ModelError::too_large: return "too_large";
    }
    return "unknown";
}

ModelResult read_onnx(ByteSource& source) {
    ModelResult result;
    Parser parser(source);
    std::vector<ValueInfo> all_inputs;
    bool has_graph = false;
    if (!parser.model(result.model, all_inputs, has_graph)) {
        const auto& in = parser.in();
        result.model = Model{};
        result.error = error_of(in.failure());
        result.message = "not an ONNX model: " + in.reason() + " (at byte " + std::to_string(in.failed_at()) + ")";
        return result;
    }
    if (!has_graph) {
        result.model = Model{};
        result.error = ModelError::no_graph;
        result.message = source.size() == 0 ? "not an ONNX model: the file is empty" : "not an ONNX model: it has no graph";
        return result;
    }
    Model& m = result.model;
    std::vector<std::string> initializers = m.initializers;
    std::sort(initializers.begin(), initializers.end());
    for (auto& input : all_inputs) {
        if (!std::binary_search(initializers.begin(), initializers.end(), input.name)) {
            m.names.push_back(input.name);
            m.inputs.push_back(std::move(input));
        }
    }
    for (const auto& v : m.outputs) m.names.push_back(v.name);
    for (const auto& v : m.value_info) m.names.push_back(v.name);
    m.names.insert(m.names.end(), m.node_outputs.begin(), m.node_outputs.end());
    m.names.insert(m.names.end(), initializers.begin(), initializers.end());
    std::sort(m.names.begin(), m.names.end());
    m.names.erase(std::unique(m.names.begin(), m.names.end()), m.names.end());
    if (!m.names.empty() && m.names.front().empty()) m.names.erase(m.names.begin());
    return result;
}

ModelResult read_onnx_file(const std::string& path) {
    FileSource file(path);
    if (!file.error().empty()) {
        ModelResult result;
        result.error = ModelError::unreadable;
        result.message = "not an ONNX model: cannot open it: " + file.error();
        return result;
    }
    return read_onnx(file);
}

}  // namespace vora::model
