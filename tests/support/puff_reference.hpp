// The vendored puff (third_party/puff) as the reference that the tests and
// the fuzz target hold the project's resumable inflater to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vora::model {

// A whole stream through puff (at most `room` bytes out); -1 when puff
// refuses it.
int puff_whole(std::span<const std::uint8_t> in, std::size_t room, std::vector<std::uint8_t>& out);

}  // namespace vora::model
