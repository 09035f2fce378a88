#include "model/zip.hpp"

#include <algorithm>
#include <span>

namespace vora::model {

namespace {

constexpr std::uint32_t end_signature = 0x06054b50;
constexpr std::uint32_t end64_signature = 0x06064b50;
constexpr std::uint32_t locator_signature = 0x07064b50;
constexpr std::uint32_t central_signature = 0x02014b50;
constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::uint64_t end_size = 22, end64_size = 56, locator_size = 20, central_size = 46, local_size = 30;
constexpr std::uint16_t utf8_flag = 1 << 11;

std::uint32_t le16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }
std::uint64_t le64(const std::uint8_t* p) { return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32); }

// Up to `n` bytes at `at` (fewer at the end of the source); false on a read error.
bool read_some(ByteSource& source, std::uint64_t at, std::uint64_t n, std::vector<std::uint8_t>& out) {
    const std::uint64_t size = source.size();
    out.resize(static_cast<std::size_t>(at >= size ? 0 : std::min(n, size - at)));
    return out.empty() || source.read(at, out) == out.size();
}

bool read_exact(ByteSource& source, std::uint64_t at, std::uint64_t n, std::vector<std::uint8_t>& out) {
    return read_some(source, at, n, out) && out.size() == n;
}

void put_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// The names of members without the UTF-8 flag are code page 437.
constexpr std::uint16_t cp437_high[128] = {
    0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7, 0x00ea, 0x00eb, 0x00e8, 0x00ef, 0x00ee,
    0x00ec, 0x00c4, 0x00c5, 0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9, 0x00ff, 0x00d6,
    0x00dc, 0x00a2, 0x00a3, 0x00a5, 0x20a7, 0x0192, 0x00e1, 0x00ed, 0x00f3, 0x00fa, 0x00f1, 0x00d1, 0x00aa,
    0x00ba, 0x00bf, 0x2310, 0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510, 0x2514,
    0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f, 0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256c, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256b, 0x256a, 0x2518, 0x250c,
    0x2588, 0x2584, 0x258c, 0x2590, 0x2580, 0x03b1, 0x00df, 0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4,
    0x03a6, 0x0398, 0x03a9, 0x03b4, 0x221e, 0x03c6, 0x03b5, 0x2229, 0x2261, 0x00b1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00f7, 0x2248, 0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2, 0x25a0, 0x00a0,
};

}  // namespace

bool valid_utf8(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint8_t b = bytes[i];
        const std::size_t n = b < 0x80                ? 1
                              : b >= 0xc2 && b < 0xe0 ? 2
                              : b >= 0xe0 && b < 0xf0 ? 3
                              : b >= 0xf0 && b < 0xf5 ? 4
                                                      : 0;
        if (n == 0 || bytes.size() - i < n) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((bytes[i + k] & 0xc0) != 0x80) return false;
        }
        const std::uint8_t second = n > 1 ? bytes[i + 1] : 0x80;
        if ((b == 0xe0 && second < 0xa0) || (b == 0xed && second >= 0xa0) || (b == 0xf0 && second < 0x90) ||
            (b == 0xf4 && second >= 0x90)) {
            return false;
        }
        i += n;
    }
    return true;
}

namespace {

bool decode_name(std::span<const std::uint8_t> bytes, std::uint16_t flags, std::string& out) {
    out.clear();
    if (flags & utf8_flag) {
        if (!valid_utf8(bytes)) return false;
        out.assign(bytes.begin(), bytes.end());
        return true;
    }
    for (const std::uint8_t b : bytes) put_utf8(out, b < 0x80 ? b : cp437_high[b - 0x80]);
    return true;
}

ZipError broken(std::string& reason, std::string text) {
    reason = std::move(text);
    return ZipError::broken;
}

ZipError unreadable(std::string& reason) {
    reason = "the file cannot be read";
    return ZipError::unreadable;
}

// Where the end record is: the last 22 bytes when they are one without a
// comment, else the last signature in the final 64 KiB and 22 bytes
// (nothing when fewer than 22 bytes follow that one).
ZipError find_end(ByteSource& source, std::uint64_t& end, std::string& reason) {
    const std::uint64_t size = source.size();
    std::vector<std::uint8_t> bytes;
    if (size < end_size) return broken(reason, "no end of central directory record");
    if (!read_exact(source, size - end_size, end_size, bytes)) return unreadable(reason);
    if (le32(bytes.data()) == end_signature && le16(bytes.data() + 20) == 0) {
        end = size - end_size;
        return ZipError::none;
    }
    const std::uint64_t from = size > (1 << 16) + end_size ? size - (1 << 16) - end_size : 0;
    if (!read_exact(source, from, size - from, bytes)) return unreadable(reason);
    for (std::size_t i = bytes.size() - 3; i-- > 0;) {
        if (le32(bytes.data() + i) != end_signature) continue;
        if (bytes.size() - i < end_size) break;
        end = from + i;
        return ZipError::none;
    }
    return broken(reason, "no end of central directory record");
}

struct Directory {
    std::uint64_t size = 0;    // as the end record gives it
    std::uint64_t offset = 0;  // as the end record gives it
    std::uint64_t start = 0;   // where it is: right before the end record (and the zip64 records)
};

// The zip64 end record stands right before its locator, which stands right
// before the end record; without either the plain end record holds.
ZipError read_end(ByteSource& source, Directory& dir, std::string& reason) {
    std::uint64_t end = 0;
    if (const ZipError error = find_end(source, end, reason); error != ZipError::none) return error;
    std::vector<std::uint8_t> record, locator;
    if (!read_exact(source, end, end_size, record)) return unreadable(reason);
    dir.size = le32(record.data() + 12);
    dir.offset = le32(record.data() + 16);
    std::uint64_t records = end;
    if (end >= locator_size) {
        if (!read_exact(source, end - locator_size, locator_size, locator)) return unreadable(reason);
        if (le32(locator.data()) == locator_signature) {
            if (le32(locator.data() + 4) != 0 || le32(locator.data() + 16) > 1) {
                return broken(reason, "the archive spans several disks");
            }
            if (end < locator_size + end64_size) return broken(reason, "no zip64 end of central directory record");
            if (!read_exact(source, end - locator_size - end64_size, end64_size, record)) return unreadable(reason);
            if (le32(record.data()) == end64_signature) {
                dir.size = le64(record.data() + 40);
                dir.offset = le64(record.data() + 48);
                records = end - locator_size - end64_size;
            }
        }
    }
    if (dir.size > records) return broken(reason, "the central directory would start before the file");
    dir.start = records - dir.size;
    return ZipError::none;
}

// A zip64 extra field gives the sizes and the offset that are saturated,
// in that order.
ZipError read_extra(std::span<const std::uint8_t> extra, ZipEntry& e, std::string& reason) {
    while (extra.size() >= 4) {
        const std::size_t id = le16(extra.data()), len = le16(extra.data() + 2);
        if (len + 4 > extra.size()) return broken(reason, "a member's extra field is corrupt");
        if (id == 0x0001) {
            std::span<const std::uint8_t> data = extra.subspan(4, len);
            const bool saturated[3] = {e.uncompressed == 0xffffffff, e.compressed == 0xffffffff,
                                       e.local_offset == 0xffffffff};
            std::uint64_t* fields[3] = {&e.uncompressed, &e.compressed, &e.local_offset};
            for (int i = 0; i < 3; ++i) {
                if (!saturated[i]) continue;
                if (data.size() < 8) return broken(reason, "a member's zip64 extra field is cut short");
                *fields[i] = le64(data.data());
                data = data.subspan(8);
            }
        }
        extra = extra.subspan(len + 4);
    }
    return ZipError::none;
}

// The local header of an entry is at its stated offset plus the shift of
// the directory from its stated offset.
void shift(ZipEntry& e, const Directory& dir) {
    if (e.local_offset >= dir.offset) {
        const std::uint64_t ahead = e.local_offset - dir.offset;
        e.local_offset = ahead > UINT64_MAX - dir.start ? UINT64_MAX : ahead + dir.start;
    } else if (dir.offset - e.local_offset <= dir.start) {
        e.local_offset = dir.start - (dir.offset - e.local_offset);
    } else {
        e.offset_ok = false;
    }
}

}  // namespace

ZipError read_zip_directory(ByteSource& source, std::size_t max_entries, std::vector<ZipEntry>& out,
                            std::string& reason) {
    Directory dir;
    if (const ZipError error = read_end(source, dir, reason); error != ZipError::none) return error;
    std::vector<std::uint8_t> header, name, extra;
    const std::uint64_t end = dir.start + dir.size;
    for (std::uint64_t at = dir.start; at < end;) {
        if (end - at < central_size) return broken(reason, "the central directory is cut short");
        if (!read_exact(source, at, central_size, header)) return unreadable(reason);
        if (le32(header.data()) != central_signature) return broken(reason, "a central directory entry is broken");
        if (out.size() == max_entries) {
            reason = "more than " + std::to_string(max_entries) + " members";
            return ZipError::too_many;
        }
        ZipEntry e;
        e.flags = static_cast<std::uint16_t>(le16(header.data() + 8));
        e.method = static_cast<std::uint16_t>(le16(header.data() + 10));
        e.compressed = le32(header.data() + 20);
        e.uncompressed = le32(header.data() + 24);
        e.local_offset = le32(header.data() + 42);
        const std::uint64_t name_len = le16(header.data() + 28), extra_len = le16(header.data() + 30);
        const std::uint64_t names_at = at + central_size;
        // A name or extra field that runs past the directory is cut at its end.
        if (!read_some(source, names_at, std::min(name_len, end - names_at), name)) return unreadable(reason);
        const std::uint64_t extra_at = std::min(names_at + name_len, end);
        if (!read_some(source, extra_at, std::min(extra_len, end - extra_at), extra)) return unreadable(reason);
        if (!decode_name(name, e.flags, e.full_name)) return broken(reason, "a member's name is not UTF-8");
        e.name = e.full_name.substr(0, e.full_name.find('\0'));
        if (header[6] > 63) {
            reason = "member '" + e.name + "' needs zip version " + std::to_string(header[6] / 10) + "." +
                     std::to_string(header[6] % 10) + " to extract";
            return ZipError::unsupported;
        }
        if (const ZipError error = read_extra(extra, e, reason); error != ZipError::none) return error;
        shift(e, dir);
        out.push_back(std::move(e));
        at += central_size + name_len + extra_len + le16(header.data() + 32);
    }
    return ZipError::none;
}

ZipError zip_data_offset(ByteSource& source, const ZipEntry& e, std::uint64_t& at, std::string& reason) {
    std::vector<std::uint8_t> local, name;
    if (!e.offset_ok) return broken(reason, "the local header of '" + e.name + "' lies before the file's start");
    if (!read_some(source, e.local_offset, local_size, local)) return unreadable(reason);
    if (local.size() < local_size || le32(local.data()) != local_signature) {
        return broken(reason, "the local header of '" + e.name + "' is missing");
    }
    const std::uint64_t name_len = le16(local.data() + 26), extra_len = le16(local.data() + 28);
    if (!read_some(source, e.local_offset + local_size, name_len, name)) return unreadable(reason);
    if (e.flags & (1 << 5 | 1 << 6)) {
        reason = "member '" + e.name + "' is " + (e.flags & (1 << 5) ? "patch data" : "strongly encrypted");
        return ZipError::unsupported;
    }
    std::string local_name;
    if (!decode_name(name, static_cast<std::uint16_t>(le16(local.data() + 6)), local_name)) {
        return broken(reason, "the local header of '" + e.name + "' holds a name that is not UTF-8");
    }
    if (local_name != e.full_name) {
        return broken(reason, "the local header of '" + e.name + "' names '" + local_name + "'");
    }
    if (e.flags & 1) {
        reason = "member '" + e.name + "' is encrypted";
        return ZipError::unsupported;
    }
    if (e.method != 0 && e.method != 8) {
        reason = "member '" + e.name + "' uses compression method " + std::to_string(e.method);
        return ZipError::unsupported;
    }
    at = e.local_offset + local_size + name_len + extra_len;
    return ZipError::none;
}

}  // namespace vora::model
