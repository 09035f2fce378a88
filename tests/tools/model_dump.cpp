// model_dump: prints what the model-file readers find, as one line of JSON.
//
//   model_dump onnx FILE     the graph interface of an ONNX model
//   model_dump arrays FILE   the arrays of an .npy or .npz file (several files:
//                            a line each, in order)
//
// A file the reader refuses prints {"ok": false, "error": <kind>, "message":
// <text>} and exits 1; a usage error exits 2. With --stats the bytes read
// from the file and the process's peak resident memory (VmHWM, kB) are
// written to standard error.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "model/npy.hpp"
#include "model/onnx.hpp"

namespace {

using nlohmann::json;
using namespace vora::model;

const char* kind_name(TypeKind kind) {
    switch (kind) {
    case TypeKind::none: return "none";
    case TypeKind::tensor: return "tensor";
    case TypeKind::sequence: return "sequence";
    case TypeKind::map: return "map";
    case TypeKind::optional: return "optional";
    case TypeKind::sparse_tensor: return "sparse_tensor";
    case TypeKind::opaque: return "opaque";
    }
    return "?";
}

json values(const std::vector<ValueInfo>& infos) {
    json out = json::array();
    for (const auto& v : infos) {
        json shape = nullptr;
        if (v.has_shape) {
            shape = json::array();
            for (const auto& d : v.dims) {
                if (d.kind == DimKind::value) shape.push_back(d.value);
                else if (d.kind == DimKind::param) shape.push_back(d.param);
                else shape.push_back(nullptr);
            }
        }
        out.push_back({{"name", v.name}, {"kind", kind_name(v.kind)}, {"elem_type", v.elem_type}, {"shape", shape}});
    }
    return out;
}

json onnx_json(const std::string& path, std::uint64_t& read) {
    FileSource file(path);
    ModelResult r;
    if (!file.error().empty()) {
        r = read_onnx_file(path);
    } else {
        r = read_onnx(file);
        read = file.bytes_read();
    }
    if (!r.ok()) return {{"ok", false}, {"error", std::string(to_string(r.error))}, {"message", r.message}};
    const Model& m = r.model;
    return {{"ok", true},
            {"inputs", values(m.inputs)},
            {"outputs", values(m.outputs)},
            {"value_info", values(m.value_info)},
            {"initializers", m.initializers},
            {"node_outputs", m.node_outputs},
            {"names", m.names}};
}

json arrays_json(const std::string& path, std::uint64_t& read) {
    FileSource file(path);
    ArraysResult r;
    if (!file.error().empty()) {
        r = read_arrays_file(path);
    } else {
        r = read_arrays(file);
        read = file.bytes_read();
    }
    if (!r.ok()) return {{"ok", false}, {"error", std::string(to_string(r.error))}, {"message", r.message}};
    json arrays = json::array();
    for (const auto& a : r.arrays) {
        json array = {{"name", a.name}, {"dtype", a.dtype}, {"fortran_order", a.fortran_order}, {"shape", a.shape}};
        if (!a.header_read) array["header_read"] = false;  // the inflate budget was spent before it
        arrays.push_back(std::move(array));
    }
    return {{"ok", true}, {"archive", r.archive}, {"arrays", arrays}};
}

}  // namespace

int main(int argc, char** argv) {
    bool stats = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--stats") stats = true;
        else args.emplace_back(argv[i]);
    }
    if (args.size() < 2 || (args[0] != "onnx" && args[0] != "arrays") || (args[0] == "onnx" && args.size() != 2)) {
        std::cerr << "usage: model_dump [--stats] onnx FILE | arrays FILE...\n";
        return 2;
    }
    std::uint64_t read = 0;
    bool all_ok = true;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const json out = args[0] == "onnx" ? onnx_json(args[i], read) : arrays_json(args[i], read);
        std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        all_ok = all_ok && out["ok"].get<bool>();
    }
    if (stats) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) std::cerr << "peak kB: " << std::stoull(line.substr(6)) << '\n';
        }
        std::cerr << "bytes read: " << read << '\n';
    }
    return all_ok ? 0 : 1;
}
