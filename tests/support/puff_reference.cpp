#include "puff/puff.c"

#include "support/puff_reference.hpp"

namespace vora::model {

int puff_whole(std::span<const std::uint8_t> in, std::size_t room, std::vector<std::uint8_t>& out) {
    out.resize(room);
    unsigned long out_len = room, in_len = in.size();
    const int status = puff(out.data(), &out_len, in.data(), &in_len);
    out.resize(status == 0 ? out_len : 0);
    return status == 0 ? 0 : -1;
}

}  // namespace vora::model
