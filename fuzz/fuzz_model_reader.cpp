// libFuzzer target: the ONNX reader and the npy/npz reader on the same bytes.
// Neither may crash, read out of bounds or leak; each either reads the input
// or refuses it with a message, and what it reports keeps the limits. The
// ONNX reader's check form (ReadOptions::wanted) must give the verdict of
// its full form and a part of what it gives. Memory is bounded by
// fuzz/run.sh's -rss_limit_mb and -malloc_limit_mb: the reader keeps at
// most max_entries values and dimensions, whatever a length claims.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/npy.hpp"
#include "model/onnx.hpp"

namespace {

using namespace vora::model;

void check(bool condition) {
    if (!condition) std::abort();
}

void check_values(const std::vector<ValueInfo>& values, bool everything) {
    for (const ValueInfo& info : values) {
        check(info.dims.size() <= info.rank && (everything ? info.dims.size() == info.rank
                                                           : info.dims.size() <= max_kept_dims));
        check(info.has_shape || info.rank == 0);
    }
}

void check_model(const ModelResult& result, bool everything) {
    check(result.ok() == result.message.empty());
    if (!result.ok()) {
        check(result.message.starts_with("not an ONNX model: "));
        return;
    }
    const Model& m = result.model;
    for (const auto* values : {&m.inputs, &m.outputs, &m.value_info}) check_values(*values, everything);
    check(std::is_sorted(m.names.begin(), m.names.end()));
    check(std::adjacent_find(m.names.begin(), m.names.end()) == m.names.end());
    check(m.names.empty() || !m.names.front().empty());
    check(m.data_files.size() <= max_data_files && (m.more_data_files == 0 || m.data_files.size() == max_data_files));
    std::unordered_set<std::string> locations;
    for (const DataFile& file : m.data_files) check(locations.insert(file.location).second);
}

// A check's read of the same bytes: the same verdict, the same inputs and
// outputs (their first dimensions), and names that the full read has.
void check_wanted(MemorySource& source, const ModelResult& all) {
    std::vector<std::string> wanted = {"\x01 no such value"};
    for (std::size_t i = 0; i < all.model.names.size() && i < 3; ++i) wanted.push_back(all.model.names[i]);
    const ModelResult some = read_onnx(source, ReadOptions{&wanted});
    check_model(some, false);
    if (all.error == ModelError::too_large) return;  // the full read keeps more values, up to max_entries
    check(some.error == all.error && some.message == all.message);
    if (!some.ok()) return;
    const Model& a = all.model;
    const Model& s = some.model;
    check(s.inputs.size() == a.inputs.size() && s.outputs.size() == a.outputs.size());
    for (std::size_t i = 0; i < s.inputs.size(); ++i) {
        check(s.inputs[i].name == a.inputs[i].name && s.inputs[i].rank == a.inputs[i].rank);
    }
    for (const std::string& name : s.names) check(std::binary_search(a.names.begin(), a.names.end(), name));
    for (const std::string& name : wanted) {
        const bool there = std::binary_search(a.names.begin(), a.names.end(), name);
        check(there == std::binary_search(s.names.begin(), s.names.end(), name));
    }
    for (const ValueInfo& info : s.value_info) {
        check(std::find(wanted.begin(), wanted.end(), info.name) != wanted.end());
    }
    check(s.data_files == a.data_files && s.more_data_files == a.more_data_files);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource source(std::span<const std::uint8_t>(data, size));

    const ModelResult model = read_onnx(source);
    check_model(model, true);
    check_wanted(source, model);

    const ArraysResult arrays = read_arrays(source);
    check(arrays.ok() == arrays.message.empty());
    if (!arrays.ok()) check(arrays.arrays.empty());
    for (const auto& array : arrays.arrays) check(array.shape.size() <= max_npy_dims);
    return 0;
}
