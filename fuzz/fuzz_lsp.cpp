// Fuzz target: the language server's framing and dispatch (src/lsp/), on
// any bytes as they would come on its standard input.
//
// The first byte picks how the rest is cut into the reads the framer is
// fed (one read, or reads of 1 to 16 bytes) and whether an `initialize`
// request goes first, so that the handlers behind it are reached; the rest
// is the stream. Checked on the way:
//   - the framer gives the same frames whatever the reads' sizes;
//   - everything the server writes is one JSON object per message, of
//     JSON-RPC 2.0, that dump() writes back byte for byte;
//   - nothing is thrown out of the server.
// A message may name files: they are read as the checks read them (never
// a FIFO or a device).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "lsp/framing.hpp"
#include "lsp/server.hpp"

namespace {

using vora::lsp::Frame;
using vora::lsp::Framer;
using vora::lsp::FramingLimits;

void invariant(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

constexpr FramingLimits kLimits{1024, 1 << 20};

std::vector<Frame> frames_of(std::string_view bytes, std::size_t step) {
    Framer framer(kLimits);
    std::vector<Frame> frames;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        framer.feed(bytes.substr(at, step));
        while (std::optional<Frame> frame = framer.next(false)) frames.push_back(std::move(*frame));
    }
    for (std::optional<Frame> frame = framer.next(true); frame; frame = framer.next(true)) {
        frames.push_back(std::move(*frame));
        if (frames.back().kind == Frame::Kind::End) break;
    }
    return frames;
}

bool same(const std::vector<Frame>& a, const std::vector<Frame>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].text != b[i].text) return false;
    }
    return true;
}

void check_written(std::string_view body) {
    const nlohmann::json message = nlohmann::json::parse(body, nullptr, false);
    invariant(message.is_object(), "a message written is a JSON object");
    invariant(message.value("jsonrpc", "") == "2.0", "a message written is of JSON-RPC 2.0");
    invariant(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) == body,
              "a message written reads back as written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (mode & 1) {
        const std::string initialize =
            R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"capabilities":{"general":)"
            R"({"positionEncodings":["utf-8"]}}}})";
        bytes = vora::lsp::framed(initialize) + bytes;
    }
    const std::vector<Frame> whole = frames_of(bytes, bytes.size() + 1);
    invariant(same(whole, frames_of(bytes, 1 + ((mode >> 1) & 15))), "the frames do not depend on the reads");

    vora::lsp::Server server([](std::string_view body) { check_written(body); }, "fuzz");
    // The frames handled in two batches, as reads that come apart would give them.
    const std::size_t half = whole.size() / 2;
    server.handle(std::vector<Frame>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(half)));
    if (!server.exited()) server.flush();
    server.handle(std::vector<Frame>(whole.begin() + static_cast<std::ptrdiff_t>(half), whole.end()));
    if (!server.exited()) server.flush();
    return 0;
}
