#include "model/onnx.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "model/onnx_schema.hpp"
#include "model/wire.hpp"

namespace vora::model {

namespace {

using schema::Msg;
using wire::Type;

// Field numbers of onnx.proto.
namespace field {
constexpr std::uint64_t model_graph = 7;
constexpr std::uint64_t graph_node = 1, graph_initializer = 5, graph_input = 11, graph_output = 12,
                        graph_value_info = 13, graph_sparse_initializer = 15;
constexpr std::uint64_t node_output = 2;
constexpr std::uint64_t tensor_name = 8, tensor_external_data = 13, tensor_data_location = 14;
constexpr std::uint64_t entry_key = 1, entry_value = 2;
constexpr std::uint64_t sparse_values = 1;
constexpr std::uint64_t value_info_name = 1, value_info_type = 2;
constexpr std::uint64_t type_tensor = 1, type_sequence = 4, type_map = 5, type_opaque = 7, type_sparse_tensor = 8,
                        type_optional = 9;
constexpr std::uint64_t tensor_type_elem_type = 1, tensor_type_shape = 2;
constexpr std::uint64_t shape_dim = 1;
constexpr std::uint64_t dim_value = 1, dim_param = 2;
}  // namespace field

// TensorProto.DataLocation: a closed enum, a value other than these an unknown field.
constexpr std::uint64_t location_default = 0, location_external = 1;

// One initializer as read: its name (when worth reading) and where its data is.
struct Tensor {
    std::string name;
    bool named = false;  // the name was read
    bool external = false;
    std::string data_file;       // the last "location" of external_data
    std::string offset, length;  // its last "offset" and "length"
    bool has_offset = false, has_length = false;
};

// An offset or length of external_data as onnx reads it (Python's int() of
// the text: spaces around, a sign, digits and single underscores between
// them); false (and `value` as it was) when it is none or negative. A value
// past 64 bits saturates.
bool whole_number(std::string_view text, std::uint64_t& value) {
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '_' || text.back() == '_') return false;
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            if (text[i - 1] == '_') return false;
            continue;
        }
        if (text[i] < '0' || text[i] > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
    }
    if (negative && n != 0) return false;
    value = n;
    return true;
}

// What is kept of the values met: everything (the test tools), or what a
// check needs (ReadOptions::wanted).
class Keeper {
public:
    Keeper(const ReadOptions& options, Model& model) : model_(model), everything_(!options.wanted) {
        if (!options.wanted) return;
        for (const std::string& name : *options.wanted) {
            wanted_.emplace(name, Wanted{});
            lengths_.insert(name.size());
        }
    }

    bool everything() const { return everything_; }

    // Whether a name of n bytes of a value that is no graph input or output
    // may be kept, so is worth reading.
    bool reads(std::uint64_t n) const {
        return everything_ || lengths_.contains(n) ||
               (n > 0 && n <= max_sample_bytes && sample_.size() < max_sample_names);
    }
    // And of an initializer, which may also be an input's.
    bool reads_initializer(std::uint64_t n) const { return reads(n) || input_lengths_.contains(n); }

    void input(ValueInfo&& info) {
        saw(info.name);
        all_inputs_.push_back(std::move(info));
    }
    void output(ValueInfo&& info) {
        saw(info.name);
        model_.outputs.push_back(std::move(info));
    }
    // Whether the entry was kept (the caller counts it).
    bool value_info(ValueInfo&& info) {
        if (everything_) {
            model_.value_info.push_back(std::move(info));
            return true;
        }
        const auto it = wanted_.find(info.name);
        if (it == wanted_.end()) {
            sample(info.name);
            return false;
        }
        it->second.seen = true;
        if (it->second.described) return false;
        it->second.described = true;
        model_.value_info.push_back(std::move(info));
        return true;
    }
    void node_output(std::string&& name) {
        if (everything_) {
            model_.node_outputs.push_back(std::move(name));
        } else if (!saw(name)) {
            sample(name);
        }
    }

    // The inputs all read: initializers may now be matched with them.
    void inputs_read() {
        for (const ValueInfo& info : all_inputs_) {
            input_names_.insert(info.name);
            input_lengths_.insert(info.name.size());
        }
    }
    void initializer(Tensor&& tensor) {
        if (tensor.external) data_file(tensor);
        if (!tensor.named) return;
        if (const auto it = input_names_.find(tensor.name); it != input_names_.end()) initialized_.insert(*it);
        if (everything_ || saw(tensor.name)) {
            model_.initializers.push_back(std::move(tensor.name));
        } else {
            sample(tensor.name);
        }
    }

    // The inputs that are no initializer, and the names.
    void finish() {
        std::vector<bool> kept;  // first: the views of initialized_ are into these names
        for (const ValueInfo& info : all_inputs_) kept.push_back(!initialized_.contains(info.name));
        for (std::size_t i = 0; i < all_inputs_.size(); ++i) {
            if (kept[i]) model_.inputs.push_back(std::move(all_inputs_[i]));
        }
        std::vector<std::string>& names = model_.names;
        if (everything_) {
            for (const auto* list : {&model_.inputs, &model_.outputs, &model_.value_info}) {
                for (const ValueInfo& info : *list) names.push_back(info.name);
            }
            names.insert(names.end(), model_.node_outputs.begin(), model_.node_outputs.end());
            names.insert(names.end(), model_.initializers.begin(), model_.initializers.end());
        } else {
            for (const ValueInfo& info : model_.inputs) names.push_back(info.name);
            for (const ValueInfo& info : model_.outputs) names.push_back(info.name);
            for (const auto& [name, wanted] : wanted_) {
                if (wanted.seen) names.emplace_back(name);
            }
            names.insert(names.end(), sample_.begin(), sample_.end());
        }
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        if (!names.empty() && names.front().empty()) names.erase(names.begin());
    }

private:
    struct Wanted {
        bool seen = false;       // a value of the graph
        bool described = false;  // its value_info kept
    };

    // Marks a wanted name seen; whether it is one.
    bool saw(const std::string& name) {
        if (everything_) return false;
        const auto it = wanted_.find(name);
        if (it == wanted_.end()) return false;
        it->second.seen = true;
        return true;
    }
    void sample(const std::string& name) {
        if (!name.empty() && name.size() <= max_sample_bytes && sample_.size() < max_sample_names) {
            sample_.push_back(name);
        }
    }
    // What an initializer reads of its file: [offset, offset + length).
    void data_file(Tensor& tensor) {
        std::uint64_t offset = 0, length = 0;
        const bool bad = (tensor.has_offset && !whole_number(tensor.offset, offset)) ||
                         (tensor.has_length && !whole_number(tensor.length, length));
        const std::uint64_t end = offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
        auto it = files_.find(tensor.data_file);
        if (it == files_.end()) {
            if (model_.data_files.size() >= max_data_files) {
                ++model_.more_data_files;
                return;
            }
            it = files_.emplace(tensor.data_file, model_.data_files.size()).first;
            model_.data_files.push_back(DataFile{std::move(tensor.data_file)});
        }
        DataFile& file = model_.data_files[it->second];
        file.end = std::max(file.end, end);
        file.bad_range = file.bad_range || bad;
    }

    Model& model_;
    bool everything_;
    std::vector<ValueInfo> all_inputs_;  // initializers among them
    std::unordered_map<std::string, Wanted> wanted_;
    std::unordered_set<std::uint64_t> lengths_;  // of the wanted names
    std::vector<std::string> sample_;
    std::unordered_set<std::string_view> input_names_;  // of all_inputs_, once read
    std::unordered_set<std::uint64_t> input_lengths_;
    std::unordered_set<std::string_view> initialized_;    // the input names that are initializers, of input_names_
    std::unordered_map<std::string, std::size_t> files_;  // index in data_files
};

// The graph's fields are read in two passes: the interface (nodes, inputs,
// outputs, value_info), then the initializers, which can be matched with
// the inputs then, whatever their order in the file, without keeping every
// initializer's name.
enum class Pass : std::uint8_t { interface, initializers };

class Parser {
public:
    Parser(ByteSource& source, Keeper& keeper, Pass pass) : in_(source), keeper_(keeper), pass_(pass) {}

    bool model(bool& has_graph) {
        const std::uint64_t end = in_.size();
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::model_graph) {
                return pass_ == Pass::interface ? other(end, type, number, Msg::model) : in_.skip(end, type, number);
            }
            return message(end, type, number, [&](std::uint64_t sub_end) {
                has_graph = true;
                return graph(sub_end);
            });
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

    // A field the reader does not keep, checked as protobuf reads it (a
    // field of `msg` that onnx.proto does not declare, or of another wire
    // type than declared, is an unknown one).
    bool other(std::uint64_t end, Type type, std::uint64_t number, Msg msg) {
        const schema::Rule* rule = schema::rule(msg, number);
        if (!rule || type != Type::length) return in_.skip(end, type, number);
        switch (rule->kind) {
            case schema::Kind::message:
                return message(end, type, number, [&](std::uint64_t e) { return check(e, rule->target); });
            case schema::Kind::packed_varint: return packed(end, 0);
            case schema::Kind::packed_fixed32: return packed(end, 4);
            case schema::Kind::packed_fixed64: return packed(end, 8);
            default: return in_.skip(end, type, number);
        }
    }

    // A message of type `msg`, checked and let go.
    bool check(std::uint64_t end, Msg msg) {
        return fields(end, [&](std::uint64_t number, Type type) { return other(end, type, number, msg); });
    }

    // A packed run of varints (size 0), or of fixed-size values.
    bool packed(std::uint64_t end, std::uint64_t size) {
        const std::uint64_t at = in_.pos();
        std::uint64_t run_end = 0;
        if (!in_.length(end, run_end)) return false;
        if (size != 0) {
            if ((run_end - in_.pos()) % size != 0) {
                return in_.fail(wire::Failure::malformed,
                                "a packed field of " + std::to_string(run_end - in_.pos()) +
                                    " bytes is no whole number of " + std::to_string(size) + "-byte values",
                                at);
            }
            in_.seek(run_end);
            return true;
        }
        std::uint64_t ignored = 0;
        while (in_.pos() < run_end) {
            if (!in_.varint(run_end, ignored)) return false;
        }
        return true;
    }

    // A length-delimited sub-message: parse(end of its bytes), then on past
    // it. Of another wire type, the field is an unknown one, as protobuf
    // takes it, and skipped.
    template <class Parse>
    bool message(std::uint64_t end, Type type, std::uint64_t number, Parse parse) {
        if (type != Type::length) return in_.skip(end, type, number);
        std::uint64_t sub_end = 0;
        if (!in_.length(end, sub_end) || !in_.enter()) return false;
        if (!parse(sub_end)) return false;
        in_.leave();
        in_.seek(sub_end);
        return true;
    }

    // A string field: read into `out` when `wanted(its length)`, which
    // `read` tells. Of another wire type it is an unknown field, and `out`
    // and `read` stay as they were.
    template <class Wanted>
    bool name(std::uint64_t end, Type type, std::uint64_t number, std::string& out, bool& read, Wanted wanted) {
        if (type != Type::length) return in_.skip(end, type, number);
        std::uint64_t field_end = 0;
        if (!in_.length(end, field_end)) return false;
        read = wanted(field_end - in_.pos());
        if (!read) {
            in_.seek(field_end);
            return true;
        }
        return in_.read(field_end - in_.pos(), out);
    }
    bool name(std::uint64_t end, Type type, std::uint64_t number, std::string& out) {
        bool read = false;
        return name(end, type, number, out, read, [](std::uint64_t) { return true; });
    }

    // A varint field; `read` false when it has another wire type (skipped).
    bool number(std::uint64_t end, Type type, std::uint64_t number, std::uint64_t& out, bool& read) {
        read = type == Type::varint;
        return read ? in_.varint(end, out) : in_.skip(end, type, number);
    }

    bool count() {
        if (++entries_ <= max_entries) return true;
        return in_.fail(wire::Failure::too_large,
                        "more than " + std::to_string(max_entries) + " names and dimensions to keep");
    }

    bool graph(std::uint64_t end) {
        return fields(end, [&](std::uint64_t number, Type type) {
            return pass_ == Pass::interface ? interface_field(end, number, type) : initializer_field(end, number, type);
        });
    }

    bool interface_field(std::uint64_t end, std::uint64_t number, Type type) {
        switch (number) {
            case field::graph_node: return message(end, type, number, [&](std::uint64_t e) { return node(e); });
            case field::graph_input:
            case field::graph_output:
            case field::graph_value_info:
                return message(end, type, number, [&](std::uint64_t e) { return value(e, number); });
            case field::graph_initializer:
            case field::graph_sparse_initializer: return in_.skip(end, type, number);  // read in the second pass
            default: return other(end, type, number, Msg::graph);
        }
    }

    // Dense initializers may keep their data in a file of their own, which
    // onnx loads with the model; sparse ones are not loaded so.
    bool initializer_field(std::uint64_t end, std::uint64_t number, Type type) {
        if (number != field::graph_initializer && number != field::graph_sparse_initializer) {
            return in_.skip(end, type, number);
        }
        return message(end, type, number, [&](std::uint64_t e) {
            Tensor tensor;
            if (number == field::graph_initializer ? !this->tensor(e, tensor) : !sparse(e, tensor)) return false;
            if (number == field::graph_sparse_initializer) tensor.external = false;
            if (tensor.named && keeper_.everything() && !count()) return false;
            keeper_.initializer(std::move(tensor));
            return true;
        });
    }

    // A graph input, output or value_info entry, handed to the keeper.
    bool value(std::uint64_t end, std::uint64_t list) {
        ValueInfo info;
        if (!count() || !value_info(end, info)) return false;
        if (list == field::graph_input) {
            keeper_.input(std::move(info));
        } else if (list == field::graph_output) {
            keeper_.output(std::move(info));
        } else if (!keeper_.value_info(std::move(info))) {
            --entries_;
            entries_ -= kept_dims_;
        }
        return true;
    }

    bool node(std::uint64_t end) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::node_output) return other(end, type, number, Msg::node);
            std::string output;
            bool read = false;
            const auto wanted = [&](std::uint64_t n) { return keeper_.reads(n); };
            if (!name(end, type, number, output, read, wanted)) return false;
            if (!read) return true;
            if (keeper_.everything() && !count()) return false;
            keeper_.node_output(std::move(output));
            return true;
        });
    }

    bool tensor(std::uint64_t end, Tensor& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
                case field::tensor_name: {
                    const auto wanted = [&](std::uint64_t n) { return keeper_.reads_initializer(n); };
                    return name(end, type, number, out.name, out.named, wanted);
                }
                case field::tensor_data_location: {
                    std::uint64_t v = 0;
                    bool read = false;
                    if (!this->number(end, type, number, v, read)) return false;
                    const auto location = static_cast<std::uint32_t>(v);
                    if (read && (location == location_default || location == location_external)) {
                        out.external = location == location_external;
                    }
                    return true;
                }
                case field::tensor_external_data:
                    return message(end, type, number, [&](std::uint64_t e) { return external_entry(e, out); });
                default: return other(end, type, number, Msg::tensor);
            }
        });
    }

    // A StringStringEntryProto of external_data: its value when its key is
    // "location", "offset" or "length".
    bool external_entry(std::uint64_t end, Tensor& out) {
        std::string key, value;
        bool known = false, valued = false;  // the key has the length of one of those; a value was read
        const bool ok = fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
                case field::entry_key:
                    return name(end, type, number, key, known, [](std::uint64_t n) { return n == 8 || n == 6; });
                case field::entry_value:
                    return name(end, type, number, value, valued, [](std::uint64_t) { return true; });
                default: return other(end, type, number, Msg::string_string_entry);
            }
        });
        if (!ok || !known) return ok;
        if (key == "location") {
            out.data_file = std::move(value);
        } else if (key == "offset") {
            out.offset = std::move(value);
            out.has_offset = true;
        } else if (key == "length") {
            out.length = std::move(value);
            out.has_length = true;
        }
        return ok;
    }

    bool sparse(std::uint64_t end, Tensor& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::sparse_values) return other(end, type, number, Msg::sparse_tensor);
            return message(end, type, number, [&](std::uint64_t e) { return tensor(e, out); });
        });
    }

    bool value_info(std::uint64_t end, ValueInfo& out) {
        kept_dims_ = 0;
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
                case field::value_info_name: return name(end, type, number, out.name);
                case field::value_info_type:
                    return message(end, type, number, [&](std::uint64_t e) { return type_proto(e, out); });
                default: return other(end, type, number, Msg::value_info);
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
                default: return other(end, type, number, Msg::type);
            }
            if (type != Type::length) return in_.skip(end, type, number);
            if (out.kind != kind) {
                out.kind = kind;
                out.elem_type = 0;
                out.has_shape = false;
                entries_ -= kept_dims_;
                kept_dims_ = 0;
                out.dims.clear();
                out.rank = 0;
            }
            if (kind != TypeKind::tensor && kind != TypeKind::sparse_tensor) return other(end, type, number, Msg::type);
            return message(end, type, number, [&](std::uint64_t e) { return tensor_type(e, out); });
        });
    }

    bool tensor_type(std::uint64_t end, ValueInfo& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
                case field::tensor_type_elem_type: {
                    std::uint64_t v = 0;
                    bool read = false;
                    if (!this->number(end, type, number, v, read)) return false;
                    if (read) out.elem_type = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
                    return true;
                }
                case field::tensor_type_shape:
                    return message(end, type, number, [&](std::uint64_t e) {
                        out.has_shape = true;
                        return shape(e, out);
                    });
                default:  // TypeProto.SparseTensor has the fields of TypeProto.Tensor
                    return other(end, type, number, Msg::type_tensor);
            }
        });
    }

    // The dimensions: all, or in a check's read the first max_kept_dims
    // (the others read into a scratch one and let go).
    bool shape(std::uint64_t end, ValueInfo& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            if (number != field::shape_dim) return other(end, type, number, Msg::tensor_shape);
            return message(end, type, number, [&](std::uint64_t e) {
                ++out.rank;
                if (keeper_.everything() || out.dims.size() < max_kept_dims) {
                    ++kept_dims_;
                    return count() && dimension(e, out.dims.emplace_back());
                }
                Dim scratch;
                return dimension(e, scratch);
            });
        });
    }

    bool dimension(std::uint64_t end, Dim& out) {
        return fields(end, [&](std::uint64_t number, Type type) {
            switch (number) {
                case field::dim_value: {
                    std::uint64_t v = 0;
                    bool read = false;
                    if (!this->number(end, type, number, v, read)) return false;
                    if (read) {
                        out.kind = DimKind::value;
                        out.value = static_cast<std::int64_t>(v);
                        out.param.clear();
                    }
                    return true;
                }
                case field::dim_param: {
                    if (type != Type::length) return in_.skip(end, type, number);
                    out.kind = DimKind::param;
                    return name(end, type, number, out.param);
                }
                default: return other(end, type, number, Msg::tensor_shape_dimension);
            }
        });
    }

    wire::Reader in_;
    Keeper& keeper_;
    Pass pass_;
    std::size_t entries_ = 0;
    std::size_t kept_dims_ = 0;  // of the value being read
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

namespace {

ModelResult refused(ModelError error, std::string reason) {
    ModelResult result;
    result.error = error;
    result.message = "not an ONNX model: " + std::move(reason);
    return result;
}

ModelResult refused(const wire::Reader& in) {
    return refused(error_of(in.failure()), in.reason() + " (at byte " + std::to_string(in.failed_at()) + ")");
}

}  // namespace

ModelResult read_onnx(ByteSource& source, const ReadOptions& options) {
    if (source.size() > max_model_bytes) {
        return refused(ModelError::too_large, "it is " + std::to_string(source.size()) +
                                                  " bytes, over protobuf's limit of 2 GiB (" +
                                                  std::to_string(max_model_bytes) +
                                                  " bytes); a model that large keeps its weights in "
                                                  "external data files");
    }
    ModelResult result;
    Keeper keeper(options, result.model);
    bool has_graph = false;
    Parser interface(source, keeper, Pass::interface);
    if (!interface.model(has_graph)) return refused(interface.in());
    if (!has_graph) return refused(ModelError::no_graph, source.size() == 0 ? "the file is empty" : "it has no graph");
    keeper.inputs_read();
    Parser initializers(source, keeper, Pass::initializers);
    if (!initializers.model(has_graph)) return refused(initializers.in());
    keeper.finish();
    return result;
}

ModelResult read_onnx_file(const std::string& path, const ReadOptions& options) {
    FileSource file(path);
    if (!file.error().empty()) return refused(ModelError::unreadable, "cannot open it: " + file.error());
    return read_onnx(file, options);
}

namespace {

// Whether a relative location, its "." and ".." taken away, leads out of its folder.
bool leads_out(std::string_view location) {
    std::int64_t depth = 0;
    while (!location.empty()) {
        const std::size_t slash = location.find('/');
        const std::string_view part = location.substr(0, slash);
        location = slash == std::string_view::npos ? std::string_view{} : location.substr(slash + 1);
        if (part == "..") {
            if (--depth < 0) return true;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
    }
    return false;
}

std::string_view problem_of(const DataFile& file, const std::string& path) {
    const std::string& location = file.location;
    if (location.empty()) return "is no file: the location is empty";
    if (location.starts_with('/')) return "is an absolute path, which onnx does not load";
    if (leads_out(location)) return "is outside the model's folder, which onnx does not load";
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return "does not exist";
    if (S_ISLNK(st.st_mode)) return "is a symbolic link, which onnx does not follow";
    if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a regular file";
    if (file.bad_range) return "is read at an offset or length that is no whole number of bytes";
    if (static_cast<std::uint64_t>(st.st_size) < file.end) return "is shorter than what the model reads of it";
    return {};
}

}  // namespace

std::vector<DataFileProblem> data_file_problems(const Model& model, const std::string& model_path) {
    const std::size_t slash = model_path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : model_path.substr(0, slash + 1);
    std::vector<DataFileProblem> problems;
    for (const DataFile& file : model.data_files) {
        std::string path = file.location.starts_with('/') ? file.location : folder + file.location;
        const std::string_view why = problem_of(file, path);
        if (!why.empty()) problems.push_back(DataFileProblem{std::move(path), why});
    }
    return problems;
}

}  // namespace vora::model
