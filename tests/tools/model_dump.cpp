// model_dump: prints what the model-file readers find, as one line of JSON
// per file.
//
//   model_dump onnx FILE...     the graph interface of ONNX models
//   model_dump arrays FILE...   the arrays of .npy or .npz files
//
// A file the reader refuses prints {"ok": false, "error": <kind>, "message":
// <text>}, and the exit status is 1 when one was refused; a usage error exits 2. With --stats the bytes read
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
                if (d.kind == DimKind::value)
                    shape.push_back(d.value);
                else if (d.kind == DimKind::param)
                    shape.push_back(d.param);
                else
                    shape.push_back(nullptr);
            }
        }
        out.push_back({{"name", v.name}, {"kind", kind_name(v.kind)}, {"elem_type", v.elem_type}, {"shape", shape}});
    }
    return out;
}

json data_files(const Model& model) {
    json out = json::array();
    for (const auto& file : model.data_files) out.push_back(file.location);
    return out;
}

json problems(const Model& model, const std::string& path) {
    json out = json::array();
    for (const auto& problem : data_file_problems(model, path)) out.push_back({problem.path, problem.why});
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
            {"names", m.names},
            {"data_files", data_files(m)},
            {"data_file_problems", problems(m, path)}};
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
        arrays.push_back(
            {{"name", a.name}, {"dtype", a.dtype}, {"fortran_order", a.fortran_order}, {"shape", a.shape}});
    }
    return {{"ok", true}, {"archive", r.archive}, {"arrays", arrays}};
}

}  // namespace

int main(int argc, char** argv) {
    bool stats = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--stats")
            stats = true;
        else
            args.emplace_back(argv[i]);
    }
    if (args.size() < 2 || (args[0] != "onnx" && args[0] != "arrays")) {
        std::cerr << "usage: model_dump [--stats] onnx|arrays FILE...\n";
        return 2;
    }
    std::uint64_t read = 0;
    bool ok = true;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const json out = args[0] == "onnx" ? onnx_json(args[i], read) : arrays_json(args[i], read);
        std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        ok = ok && out["ok"].get<bool>();
    }
    if (stats) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) std::cerr << "peak kB: " << std::stoull(line.substr(6)) << '\n';
        }
        std::cerr << "bytes read: " << read << '\n';
    }
    return ok ? 0 : 1;
}
