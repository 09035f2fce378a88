// The headers of numpy array files, judged as numpy.load judges them (its
// defaults: allow_pickle=False, max_header_size=10000): an `.npy` file
// (magic, format version 1, 2 or 3, the header dictionary) and the arrays
// of an `.npz` archive (a zip of `.npy` members, stored or deflated, zip64
// read too) as numpy's NpzFile gives them. Only the zip's directory, the
// members' local headers and each member's npy header are read: a deflated
// member is inflated only until its header is out.
//
// Out of reach of a reader of headers: whether an array's data is all
// there (a file or member cut inside the data, a deflated stream cut or
// broken after the header, a member's CRC), which numpy.load finds only
// when it reads the data.
#pragma once

#include <cstdint>
#include <span>
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
    // false: a deflated member whose header the inflate budget did not reach
    // (name only; nothing is known of it, and nothing found against it)
    bool header_read = true;
};

enum class ArrayError : std::uint8_t {
    none,
    unreadable,   // the file cannot be opened or read
    not_arrays,   // neither npy magic nor a zip archive
    bad_header,   // an npy header that numpy.load does not read
    bad_archive,  // a zip archive whose structure is broken
    unsupported,  // a zip feature the reader does not read (encryption, a compression method other than deflate)
    too_large,    // a header or count beyond the limits (numpy's header size, the reader's member count)
    objects,      // an array of Python objects, which numpy.load unpickles only with allow_pickle
};

std::string_view to_string(ArrayError error);

struct ArraysResult {
    std::vector<NpyArray> arrays;  // one for an .npy file, one per array numpy gives (in its order) for an .npz
    bool archive = false;          // read as an .npz
    ArrayError error = ArrayError::none;
    // When error != none: "not an npy/npz file: <reason>", or "an npy/npz file
    // numpy.load refuses: <reason>" (a header past numpy's size, Python objects)
    std::string message;
    bool ok() const { return error == ArrayError::none; }
};

// numpy.load refuses a header of more characters.
inline constexpr std::size_t max_npy_header_chars = 10000;
inline constexpr std::size_t max_npy_dims = 64;
inline constexpr std::size_t max_archive_members = 1 << 20;
// The deflated bytes that the headers of all an archive's members may take
// to inflate; past it the members left are not judged (never refused).
inline constexpr std::uint64_t max_inflate_input = 16u << 20;

// By content: an .npy file or an .npz archive (its members' headers
// inflated within `inflate_budget` deflated bytes).
ArraysResult read_arrays(ByteSource& source, std::uint64_t inflate_budget = max_inflate_input);
ArraysResult read_arrays_file(const std::string& path);

// The header of an .npy file whose first bytes are `bytes` (enough for the
// whole header): false and a reason when numpy.load would not read it.
bool parse_npy_header(std::span<const std::uint8_t> bytes, NpyArray& out, std::string& reason);

}  // namespace vora::model
