// libFuzzer target: the ONNX reader and the npy/npz reader on the same bytes.
// Neither may crash, read out of bounds or leak; each either reads the input
// or refuses it with a message, and what it reports keeps the limits.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "model/npy.hpp"
#include "model/onnx.hpp"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vora::model;
    MemorySource source(std::span<const std::uint8_t>(data, size));

    const ModelResult model = read_onnx(source);
    check(model.ok() == model.message.empty());
    if (model.ok()) {
        for (const auto& name : model.model.names) check(!name.empty() && name.size() <= max_name_bytes);
    }

    const ArraysResult arrays = read_arrays(source);
    check(arrays.ok() == arrays.message.empty());
    if (!arrays.ok()) check(arrays.arrays.empty());
    for (const auto& array : arrays.arrays) check(array.shape.size() <= max_npy_dims);
    return 0;
}
