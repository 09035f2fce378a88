// What `vora-config check` finds in the files a configuration names, before
// a conversion would fail on them: files and folders that are not there, a
// model that is no ONNX model or whose graph has other names or shapes than
// the configuration gives, an initial values file that is no npy/npz file or
// holds other arrays, dataset entries that are not there. Only the model's
// graph interface and the arrays' headers are read (src/model/), never the
// weights or the data.
#pragma once

#include <string>
#include <vector>

#include "configuration/places.hpp"
#include "lint/lint.hpp"
#include "toml/toml.hpp"

namespace vora::lint {

struct FileCheckOptions {
    // The folder relative paths are taken from, as the converter would take
    // them when run there; empty: the current directory.
    std::string base;
};

// The findings of the files named by a document that loads, appended to
// `out` (not in file order: check_text sorts them with the rest), given
// where the mapping found its keys. Each is placed at the value that names
// the file, or at the model's section header for the default model.
void check_files(const Configuration& configuration, const Places& places, const FileCheckOptions& options,
                 std::vector<Finding>& out);

}  // namespace vora::lint
