#include "model/npy.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>

#include "model/inflate.hpp"
#include "model/npy_header.hpp"
#include "model/zip.hpp"

namespace vora::model {

namespace {

constexpr std::uint8_t npy_magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
// A header of more UTF-8 bytes has more characters than numpy reads.
constexpr std::size_t max_npy_header_utf8 = 4 * max_npy_header_chars;

std::uint32_t le16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }

ArrayError error(std::string& reason, ArrayError kind, std::string text) {
    reason = std::move(text);
    return kind;
}

// Latin-1 (versions 1 and 2) or UTF-8 (version 3) as UTF-8, and its
// characters; false for bytes that are not UTF-8.
bool decode_header(std::span<const std::uint8_t> bytes, unsigned version, std::string& out, std::size_t& chars) {
    out.clear();
    chars = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (version == 3) {
            if ((b & 0xc0) != 0x80) ++chars;
            out += static_cast<char>(b);
        } else if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xc0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3f));
        }
    }
    if (version != 3) {
        chars = bytes.size();
        return true;
    }
    return valid_utf8(bytes);
}

// The preamble: magic, version, header length. `start` is where the
// header's text begins.
ArrayError read_preamble(std::span<const std::uint8_t> bytes, unsigned& version, std::size_t& start,
                         std::uint64_t& length, std::string& reason) {
    if (bytes.size() < 6 || std::memcmp(bytes.data(), npy_magic, 6) != 0) {
        return error(reason, ArrayError::not_arrays, "no npy magic");
    }
    if (bytes.size() < 8) return error(reason, ArrayError::bad_header, "the header is cut short");
    version = bytes[6];
    if (version < 1 || version > 3 || bytes[7] != 0) {
        return error(
            reason, ArrayError::bad_header,
            "npy format version " + std::to_string(bytes[6]) + "." + std::to_string(bytes[7]) + " is not known");
    }
    start = version == 1 ? 10 : 12;
    if (bytes.size() < start) return error(reason, ArrayError::bad_header, "the header is cut short");
    length = version == 1 ? le16(bytes.data() + 8) : le32(bytes.data() + 8);
    if (version < 3 && length > max_npy_header_chars) {
        return error(reason, ArrayError::too_large,
                     "a header of " + std::to_string(length) + " characters (numpy.load reads at most " +
                         std::to_string(max_npy_header_chars) + ")");
    }
    if (length > max_npy_header_utf8) {
        return error(reason, ArrayError::too_large,
                     "a header of " + std::to_string(length) + " bytes (numpy.load reads at most " +
                         std::to_string(max_npy_header_chars) + " characters)");
    }
    return ArrayError::none;
}

ArrayError judge_header(std::span<const std::uint8_t> bytes, NpyArray& out, std::string& reason) {
    unsigned version = 0;
    std::size_t start = 0;
    std::uint64_t length = 0;
    if (const ArrayError e = read_preamble(bytes, version, start, length, reason); e != ArrayError::none) return e;
    if (length > bytes.size() - start) {
        return error(reason, ArrayError::bad_header, "the header runs past the end of the data");
    }
    std::string text;
    std::size_t chars = 0;
    if (!decode_header(bytes.subspan(start, static_cast<std::size_t>(length)), version, text, chars)) {
        return error(reason, ArrayError::bad_header, "the header is not UTF-8");
    }
    if (chars > max_npy_header_chars) {
        return error(reason, ArrayError::too_large,
                     "a header of " + std::to_string(chars) + " characters (numpy.load reads at most " +
                         std::to_string(max_npy_header_chars) + ")");
    }
    HeaderFields fields;
    switch (parse_header_text(text, version, fields, reason)) {
        case HeaderVerdict::ok: break;
        case HeaderVerdict::bad: return ArrayError::bad_header;
        case HeaderVerdict::objects: return ArrayError::objects;
    }
    out.dtype = std::move(fields.dtype);
    out.fortran_order = fields.fortran_order;
    out.shape = std::move(fields.shape);
    return ArrayError::none;
}

// What a source of a header's bytes gives: the first `want` bytes (fewer
// where the data is shorter), an error, or `skipped`: nothing known (the
// inflate budget is spent), which never leaves this file.
using Prefix = std::function<ArrayError(std::size_t want, std::vector<std::uint8_t>& out, std::string& reason)>;
constexpr auto skipped = static_cast<ArrayError>(0xff);

// Reads an npy header through `prefix`: the preamble, then as many bytes as
// it says (none when the length is past numpy's limit).
ArrayError read_header(const Prefix& prefix, NpyArray& out, std::string& reason) {
    std::vector<std::uint8_t> bytes;
    if (const ArrayError e = prefix(12, bytes, reason); e != ArrayError::none) return e;
    unsigned version = 0;
    std::size_t start = 0;
    std::uint64_t length = 0;
    if (const ArrayError e = read_preamble(bytes, version, start, length, reason); e != ArrayError::none) return e;
    const ArrayError e = prefix(static_cast<std::size_t>(start + length), bytes, reason);
    if (e != ArrayError::none) return e;
    return judge_header(bytes, out, reason);
}

// An array file numpy.load refuses as it reads it is still one: its
// message says so (a header past numpy's size, Python objects).
ArraysResult fail(ArraysResult result, ArrayError error, const std::string& reason, bool numpy_refuses = false) {
    result.arrays.clear();
    result.error = error;
    result.message = (numpy_refuses ? "an npy/npz file numpy.load refuses: " : "not an npy/npz file: ") + reason;
    return result;
}

bool numpy_refuses(ArrayError e) { return e == ArrayError::objects || e == ArrayError::too_large; }

ArrayError from_zip(ZipError e) {
    switch (e) {
        case ZipError::none: return ArrayError::none;
        case ZipError::unreadable: return ArrayError::unreadable;
        case ZipError::broken: return ArrayError::bad_archive;
        case ZipError::unsupported: return ArrayError::unsupported;
        case ZipError::too_many: return ArrayError::too_large;
    }
    return ArrayError::bad_archive;
}

// The header of a member whose data is the `available` bytes at `at`
// (`array.header_read` false when the inflate budget is spent before it).
ArrayError read_member(ByteSource& source, std::uint64_t& budget, const ZipEntry& e, std::uint64_t at,
                       std::uint64_t available, NpyArray& array, std::string& reason) {
    Inflater inflater(source, at, available, budget);
    const Prefix prefix = [&](std::size_t want, std::vector<std::uint8_t>& out, std::string& why) {
        // zipfile gives no more of a member than its stated size.
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, e.uncompressed));
        if (e.method == 8) {
            switch (inflater.fill(want, why)) {
                case InflateStatus::ok: break;
                case InflateStatus::broken: return ArrayError::bad_archive;
                case InflateStatus::unreadable: return ArrayError::unreadable;
                case InflateStatus::over_budget: return skipped;
            }
            const std::vector<std::uint8_t>& got = inflater.output();
            out.assign(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(std::min(want, got.size())));
            return ArrayError::none;
        }
        out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(want, available)));
        if (!out.empty() && source.read(at, out) != out.size()) {
            why = "the file cannot be read";
            return ArrayError::unreadable;
        }
        return ArrayError::none;
    };
    const ArrayError error = read_header(prefix, array, reason);
    if (error == skipped) {
        array.header_read = false;
        return ArrayError::none;
    }
    if (error == ArrayError::not_arrays) {
        reason = "no npy magic (numpy.load gives its bytes, no array)";
        return ArrayError::bad_archive;
    }
    return error;
}

struct Judged {
    ArrayError error = ArrayError::none;
    std::string reason;
    NpyArray array;
};

// A member's verdict. Members whose data is the same bytes (an archive's
// local headers can all lead to one stream) are judged once.
class Members {
public:
    Members(ByteSource& source, std::uint64_t budget) : source_(source), budget_(budget) {}

    Judged judge(const ZipEntry& e) {
        Judged out;
        std::uint64_t at = 0;
        if (const ZipError z = zip_data_offset(source_, e, at, out.reason); z != ZipError::none) {
            out.error = from_zip(z);
            return out;
        }
        const std::uint64_t available = at >= source_.size() ? 0 : std::min(e.compressed, source_.size() - at);
        const auto key = std::make_tuple(e.method, at, available, e.uncompressed);
        auto found = judged_.find(key);
        if (found == judged_.end()) {
            out.error = read_member(source_, budget_, e, at, available, out.array, out.reason);
            found = judged_.emplace(key, std::move(out)).first;
        }
        return found->second;
    }

private:
    ByteSource& source_;
    std::uint64_t budget_;
    std::map<std::tuple<std::uint16_t, std::uint64_t, std::uint64_t, std::uint64_t>, Judged> judged_;
};

// numpy's NpzFile: a key per entry (its name without ".npy"), in the
// directory's order; a key reads the member named the key itself when there
// is one, else the key with ".npy"; a name reads the last entry of that name.
ArraysResult read_npz(ByteSource& source, std::uint64_t inflate_budget) {
    ArraysResult result;
    result.archive = true;
    std::vector<ZipEntry> entries;
    std::string reason;
    if (const ZipError z = read_zip_directory(source, max_archive_members, entries, reason); z != ZipError::none) {
        return fail(std::move(result), from_zip(z), reason);
    }
    std::map<std::string, std::size_t> last;
    for (std::size_t i = 0; i < entries.size(); ++i) last[entries[i].name] = i;
    Members members(source, inflate_budget);
    for (const ZipEntry& entry : entries) {
        const std::string key = entry.name.ends_with(".npy") ? entry.name.substr(0, entry.name.size() - 4) : entry.name;
        const ZipEntry& member = entries[last.count(key) ? last[key] : last[key + ".npy"]];
        const Judged judged = members.judge(member);
        if (judged.error != ArrayError::none) {
            const std::string why = "member '" + member.name + "': " + judged.reason;
            return fail(std::move(result), judged.error, why, numpy_refuses(judged.error));
        }
        result.arrays.push_back(judged.array);
        result.arrays.back().name = key;
    }
    return result;
}

}  // namespace

bool parse_npy_header(std::span<const std::uint8_t> bytes, NpyArray& out, std::string& reason) {
    NpyArray parsed;
    parsed.name = out.name;
    if (judge_header(bytes, parsed, reason) != ArrayError::none) return false;
    out = std::move(parsed);
    return true;
}

std::string_view to_string(ArrayError error) {
    switch (error) {
        case ArrayError::none: return "none";
        case ArrayError::unreadable: return "unreadable";
        case ArrayError::not_arrays: return "not_arrays";
        case ArrayError::bad_header: return "bad_header";
        case ArrayError::bad_archive: return "bad_archive";
        case ArrayError::unsupported: return "unsupported";
        case ArrayError::too_large: return "too_large";
        case ArrayError::objects: return "objects";
    }
    return "unknown";
}

ArraysResult read_arrays(ByteSource& source, std::uint64_t inflate_budget) {
    std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min<std::uint64_t>(source.size(), 6)));
    if (!head.empty() && source.read(0, head) != head.size()) {
        return fail({}, ArrayError::unreadable, "the file cannot be read");
    }
    const std::size_t n = head.size();
    // numpy.load opens a file that starts as a zip's local header or end record as an .npz.
    const bool zip = n >= 4 && head[0] == 'P' && head[1] == 'K';
    if (zip && ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6))) {
        return read_npz(source, inflate_budget);
    }
    if (n < 6 || std::memcmp(head.data(), npy_magic, 6) != 0) {
        const char* why = source.size() == 0 ? "the file is empty" : "no npy magic and no zip signature";
        return fail({}, ArrayError::not_arrays, why);
    }
    ArraysResult result;
    NpyArray array;
    std::string reason;
    const Prefix prefix = [&](std::size_t want, std::vector<std::uint8_t>& out, std::string& why) {
        out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(want, source.size())));
        if (source.read(0, out) != out.size()) {
            why = "the file cannot be read";
            return ArrayError::unreadable;
        }
        return ArrayError::none;
    };
    if (const ArrayError e = read_header(prefix, array, reason); e != ArrayError::none) {
        return fail(std::move(result), e, reason, numpy_refuses(e));
    }
    result.arrays.push_back(std::move(array));
    return result;
}

ArraysResult read_arrays_file(const std::string& path) {
    FileSource file(path);
    if (!file.error().empty()) return fail({}, ArrayError::unreadable, "cannot open it: " + file.error());
    return read_arrays(file);
}

}  // namespace vora::model
