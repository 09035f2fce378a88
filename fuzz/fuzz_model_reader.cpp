// libFuzzer target: the ONNX reader and the npy/npz reader on the same bytes.
// Neither may crash, read out of bounds or leak; each either reads the input
// or refuses it with a message, and what it reports keeps the limits. The
// ONNX reader's check form (ReadOptions::wanted) must give the verdict of
// its full form and a part of what it gives. Memory is bounded by
// fuzz/run.sh's -rss_limit_mb and -malloc_limit_mb: the reader keeps at
// most max_entries values and dimensions, whatever a length claims. The npy/npz
// verdicts rest on these, checked too:
// - the prefix inflater gives what the vendored puff gives for the whole
//   stream, however its output is asked for (in one call or in steps);
// - a spent inflate budget refuses nothing: with none at all, a file read
//   with the full budget is read, the same arrays by name, and the headers
//   judged the same;
// - a header accepted keeps numpy's limits (64 dimensions, elements that
//   multiply to at most 2^63 - 1), and an .npy file holds one array.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/inflate.hpp"
#include "support/puff_reference.hpp"
#include "model/npy.hpp"
#include "model/onnx.hpp"

namespace {

using namespace vora::model;

void check(bool condition) {
    if (!condition) std::abort();
}

void check_values(const std::vector<ValueInfo>& values, bool everything) {
    for (const ValueInfo& info : values) {
        check(info.dims.size() <= info.rank &&
              (everything ? info.dims.size() == info.rank : info.dims.size() <= max_kept_dims));
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
    for (const std::string& name : s.initializers) {
        check(std::find(wanted.begin(), wanted.end(), name) != wanted.end());
        check(std::find(a.initializers.begin(), a.initializers.end(), name) != a.initializers.end());
    }
    check(s.data_files == a.data_files && s.more_data_files == a.more_data_files);
}

void check_inflate(std::span<const std::uint8_t> data) {
    constexpr std::size_t room = 1 << 16;
    std::vector<std::uint8_t> reference;
    const bool whole = puff_whole(data, room, reference) == 0;
    MemorySource source(data);
    std::uint64_t budget = UINT64_MAX, budget_steps = UINT64_MAX;
    Inflater once(source, 0, data.size(), budget), steps(source, 0, data.size(), budget_steps);
    std::string reason;
    const InflateStatus status = once.fill(room, reason);
    if (whole) check(status == InflateStatus::ok && once.output() == reference);
    if (status != InflateStatus::ok) return;
    const std::size_t first = data.empty() ? 1 : data[0] % 97 + 1;
    for (std::size_t want = first; want < room; want *= 3) check(steps.fill(want, reason) == InflateStatus::ok);
    check(steps.fill(room, reason) == InflateStatus::ok && steps.output() == once.output());
}

void check_arrays(const ArraysResult& arrays) {
    check(arrays.ok() == arrays.message.empty());
    if (!arrays.ok()) check(arrays.arrays.empty());
    if (arrays.ok() && !arrays.archive) check(arrays.arrays.size() == 1);
    for (const auto& array : arrays.arrays) {
        check(array.shape.size() <= max_npy_dims);
        std::uint64_t elements = 1;
        for (const std::uint64_t d : array.shape) {
            if (d == 0) continue;
            check(elements <= INT64_MAX / d);
            elements *= d;
        }
        if (array.header_read) check(!array.dtype.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    MemorySource source(bytes);

    const ModelResult model = read_onnx(source);
    check_model(model, true);
    check_wanted(source, model);

    const ArraysResult arrays = read_arrays(source);
    check_arrays(arrays);
    const ArraysResult unbudgeted = read_arrays(source, 0);
    check_arrays(unbudgeted);
    if (arrays.ok()) {
        check(unbudgeted.ok() && unbudgeted.arrays.size() == arrays.arrays.size());
        for (std::size_t i = 0; i < arrays.arrays.size(); ++i) {
            const NpyArray &a = arrays.arrays[i], &b = unbudgeted.arrays[i];
            check(a.name == b.name);
            if (b.header_read) check(a.header_read && a.dtype == b.dtype && a.shape == b.shape);
        }
    }
    check_inflate(bytes);
    return 0;
}
