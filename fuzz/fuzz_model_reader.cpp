// libFuzzer target: the ONNX reader and the npy/npz reader on the same bytes.
// Neither may crash, read out of bounds or leak; each either reads the input
// or refuses it with a message, and what it reports keeps the limits. The
// verdicts rest on these, checked too:
// - the prefix inflater gives what the vendored puff gives for the whole
//   stream, however its output is asked for (in one call or in steps);
// - a spent inflate budget refuses nothing: with none at all, a file read
//   with the full budget is read, the same arrays by name, and the headers
//   judged the same;
// - a header accepted keeps numpy's limits (64 dimensions, elements that
//   multiply to at most 2^63 - 1), and an .npy file holds one array.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "model/inflate.hpp"
#include "model/npy.hpp"
#include "model/onnx.hpp"

namespace {

using namespace vora::model;

void check(bool condition) {
    if (!condition) std::abort();
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
    check(model.ok() == model.message.empty());
    if (model.ok()) {
        for (const auto& name : model.model.names) check(!name.empty() && name.size() <= max_name_bytes);
    }

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
