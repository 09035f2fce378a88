// The directory of a zip archive and where each member's data begins, read
// by the rules of Python's zipfile (which numpy.load opens an .npz with):
// the end record is the last one in the file's final 64 KiB, the central
// directory is the bytes right before it (its stated offset only shifts the
// members' offsets, for bytes prepended to the archive), its entries are
// read to its stated size whatever count the end record gives, and a
// member's local header must name it as the directory does.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "model/source.hpp"

namespace vora::model {

struct ZipEntry {
    std::string name;       // UTF-8, cut at a NUL as zipfile cuts it
    std::string full_name;  // UTF-8, as the directory gives it
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t local_offset = 0;  // shifted by the bytes before the archive
    bool offset_ok = true;           // false: the shift puts the local header before the file's start
};

// Whether `bytes` is UTF-8 as Python's strict decoder takes it (no
// overlong forms, no surrogates, nothing past U+10FFFF).
bool valid_utf8(std::span<const std::uint8_t> bytes);

enum class ZipError : std::uint8_t { none, unreadable, broken, unsupported, too_many };

// The entries of the central directory, in its order (at most `max_entries`).
ZipError read_zip_directory(ByteSource& source, std::size_t max_entries, std::vector<ZipEntry>& out,
                            std::string& reason);

// Where the data of `entry` begins, its local header checked.
ZipError zip_data_offset(ByteSource& source, const ZipEntry& entry, std::uint64_t& at, std::string& reason);

}  // namespace vora::model
