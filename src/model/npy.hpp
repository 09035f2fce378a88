// The headers of numpy array files: an `.npy` file (magic, version 1, 2 or
// 3, the header dictionary) and each member of an `.npz` archive (a zip of
// `.npy` members, stored or deflated; zip64 read too). Only the zip's
// central directory and each member's header are read: for a deflated member
// only its first bytes are inflated.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/source.hpp"

namespace vora::model {

struct NpyArray {
    std::string name;   // the member's name without ".npy" (empty for an .npy file)
    std::string dtype;  // the header's descr: a type string ("<f4"), or a structured descr's literal as written
    bool fortran_order = false;
    std::vector<std::uint64_t> shape;
};

enum class ArrayError : std::uint8_t {
    none,
    unreadable,   // the file cannot be opened or read
    not_arrays,   // neither npy magic nor a zip archive
    bad_header,   // an npy header that cannot be read
    bad_archive,  // a zip archive whose structure is broken
    unsupported,  // a zip feature the reader does not read (encryption, a compression method other than deflate)
    too_large,    // a header or count beyond the reader's limits
};

std::string_view to_string(ArrayError error);

struct ArraysResult {
    std::vector<NpyArray> arrays;  // one for an .npy file, one per member (in archive order) for an .npz
    bool archive = false;          // read as an .npz
    ArrayError error = ArrayError::none;
    std::string message;  // "not an npy/npz file: <reason>" when error != none
    bool ok() const { return error == ArrayError::none; }
};

inline constexpr std::size_t max_npy_header_bytes = 1 << 20;
inline constexpr std::size_t max_npy_dims = 64;
inline constexpr std::size_t max_archive_members = 1 << 20;
// The deflated bytes that the headers of all an archive's members may take
// to inflate (a hostile archive's members can all point at one long stream).
inline constexpr std::uint64_t max_inflate_input = 256u << 20;

// By content: an .npy file or an .npz archive.
ArraysResult read_arrays(ByteSource& source);
ArraysResult read_arrays_file(const std::string& path);

// The header of an .npy file whose first bytes are `bytes` (enough for the
// whole header): false and a reason when it cannot be read.
bool parse_npy_header(std::span<const std::uint8_t> bytes, NpyArray& out, std::string& reason);

}  // namespace vora::model
