#include "model/npy.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

#include "puff/puff.h"

namespace vora::model {

namespace {

constexpr std::uint8_t npy_magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};

std::uint32_t le16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t le64(const std::uint8_t* p) { return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32); }

// ---- the header dictionary: a Python literal as numpy writes it ---------

class Literal {
public:
    explicit Literal(std::string_view text) : s_(text) {}

    bool parse(NpyArray& out, std::string& reason) {
        bool descr = false, fortran = false, shape = false;
        space();
        if (!eat('{')) return error(reason, "the header is not a dictionary");
        for (;;) {
            space();
            if (eat('}')) break;
            std::string key;
            if (!string(key)) return error(reason, "a key of the header is not a string");
            space();
            if (!eat(':')) return error(reason, "no ':' after the key '" + key + "'");
            space();
            if (key == "descr") {
                if (descr || !dtype(out.dtype)) return error(reason, "the header's descr cannot be read");
                descr = true;
            } else if (key == "fortran_order") {
                if (fortran || !boolean(out.fortran_order)) {
                    return error(reason, "the header's fortran_order is not True or False");
                }
                fortran = true;
            } else if (key == "shape") {
                if (shape || !dims(out.shape, reason)) {
                    if (reason.empty()) reason = "the header's shape is not a tuple of integers";
                    return false;
                }
                shape = true;
            } else {
                return error(reason, "the header has an unexpected key '" + key + "'");
            }
            space();
            if (eat(',')) continue;
            space();
            if (eat('}')) break;
            return error(reason, "the header dictionary is not closed");
        }
        if (!descr || !fortran || !shape) {
            return error(reason, std::string("the header has no ") + (!descr ? "descr" : !fortran ? "fortran_order" : "shape"));
        }
        space();
        if (i_ != s_.size()) return error(reason, "text after the header dictionary");
        return true;
    }

private:
    static bool error(std::string& reason, std::string text) {
        reason = std::move(text);
        return false;
    }
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool eat(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (s_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }
    bool string(std::string& out) {
        if (i_ >= s_.size() || (s_[i_] != '\'' && s_[i_] != '"')) return false;
        const char quote = s_[i_++];
        while (i_ < s_.size() && s_[i_] != quote) {
            if (s_[i_] == '\\' && i_ + 1 < s_.size()) ++i_;
            out += s_[i_++];
        }
        return eat(quote);
    }
    bool boolean(bool& out) {
        if (word("True")) return out = true, true;
        if (word("False")) return out = false, true;
        return false;
    }
    // A type string, or a structured descr (a list) kept as written.
    bool dtype(std::string& out) {
        if (i_ < s_.size() && s_[i_] != '[') return string(out);
        const std::size_t begin = i_;
        int depth = 0;
        while (i_ < s_.size()) {
            const char c = s_[i_];
            if (c == '\'' || c == '"') {
                std::string ignored;
                if (!string(ignored)) return false;
                continue;
            }
            ++i_;
            if (c == '[' || c == '(') ++depth;
            if (c == ']' || c == ')') {
                if (--depth == 0) {
                    out = std::string(s_.substr(begin, i_ - begin));
                    return true;
                }
            }
        }
        return false;
    }
    bool dims(std::vector<std::uint64_t>& out, std::string& reason) {
        if (!eat('(')) return false;
        for (;;) {
            space();
            if (eat(')')) return true;
            if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') return false;
            std::uint64_t v = 0;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
                const auto digit = static_cast<std::uint64_t>(s_[i_++] - '0');
                if (v > (UINT64_MAX - digit) / 10) return error(reason, "a dimension of the header's shape is too large");
                v = v * 10 + digit;
            }
            eat('L');
            if (out.size() == max_npy_dims) {
                return error(reason, "the header's shape has more than " + std::to_string(max_npy_dims) + " dimensions");
            }
            out.push_back(v);
            space();
            if (eat(',')) continue;
            space();
            return eat(')');
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

std::string latin1_to_utf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const std::uint8_t b : bytes) {
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xc0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3f));
        }
    }
    return out;
}

// The first `want` bytes of some data (fewer where it is shorter).
using Prefix = std::function<bool(std::size_t want, std::vector<std::uint8_t>& out, std::string& reason)>;

// Reads an npy header through `prefix`.
ArrayError read_header(const Prefix& prefix, NpyArray& out, std::string& reason) {
    std::vector<std::uint8_t> bytes;
    if (!prefix(12, bytes, reason)) return ArrayError::unreadable;
    if (bytes.size() < 6 || std::memcmp(bytes.data(), npy_magic, 6) != 0) {
        reason = "no npy magic";
        return ArrayError::not_arrays;
    }
    if (bytes.size() < 10) {
        reason = "the header is cut short";
        return ArrayError::bad_header;
    }
    const std::size_t start = bytes[6] == 1 ? 10 : 12;
    const std::uint64_t length = bytes[6] == 1 ? le16(bytes.data() + 8) : (bytes.size() >= 12 ? le32(bytes.data() + 8) : 0);
    if (bytes[6] >= 1 && bytes[6] <= 3 && bytes[7] == 0 && length + start > max_npy_header_bytes) {
        reason = "a header of " + std::to_string(length) + " bytes (the limit is " + std::to_string(max_npy_header_bytes) + ")";
        return ArrayError::too_large;
    }
    if (bytes[6] >= 1 && bytes[6] <= 3 && bytes[7] == 0 && bytes.size() >= start) {
        if (!prefix(static_cast<std::size_t>(start + length), bytes, reason)) return ArrayError::unreadable;
    }
    return parse_npy_header(bytes, out, reason) ? ArrayError::none : ArrayError::bad_header;
}

// ---- zip -------------------------------------------------------------------

struct Member {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
    std::uint64_t local_offset = 0;
};

bool read_exact(ByteSource& source, std::uint64_t at, std::size_t n, std::vector<std::uint8_t>& out) {
    out.resize(n);
    if (at > source.size() || n > source.size() - at) return false;
    return source.read(at, out) == n;
}

class Archive {
public:
    explicit Archive(ByteSource& source) : source_(source) {}

    ArrayError members(std::vector<Member>& out, std::string& reason) {
        const std::uint64_t size = source_.size();
        const std::uint64_t tail = std::min<std::uint64_t>(size, 22 + 0xffff);
        std::vector<std::uint8_t> bytes;
        if (!read_exact(source_, size - tail, static_cast<std::size_t>(tail), bytes)) return unreadable(reason);
        std::uint64_t eocd = UINT64_MAX;
        for (std::size_t i = bytes.size() >= 22 ? bytes.size() - 22 + 1 : 0; i-- > 0;) {
            if (le32(bytes.data() + i) == 0x06054b50) {
                eocd = size - tail + i;
                break;
            }
        }
        if (eocd == UINT64_MAX) return broken(reason, "no end of central directory record");
        const std::uint8_t* e = bytes.data() + (eocd - (size - tail));
        std::uint64_t count = le16(e + 10);
        std::uint64_t cd_size = le32(e + 12);
        std::uint64_t cd_offset = le32(e + 16);
        if (count == 0xffff || cd_size == 0xffffffff || cd_offset == 0xffffffff) {
            std::vector<std::uint8_t> locator, record;
            if (eocd < 20 || !read_exact(source_, eocd - 20, 20, locator) || le32(locator.data()) != 0x07064b50) {
                return broken(reason, "no zip64 end of central directory locator");
            }
            const std::uint64_t at = le64(locator.data() + 8);
            if (!read_exact(source_, at, 56, record) || le32(record.data()) != 0x06064b50) {
                return broken(reason, "no zip64 end of central directory record");
            }
            count = le64(record.data() + 32);
            cd_size = le64(record.data() + 40);
            cd_offset = le64(record.data() + 48);
        }
        if (cd_offset > size || cd_size > size - cd_offset) return broken(reason, "the central directory lies past the end of the file");
        if (count > max_archive_members) {
            reason = std::to_string(count) + " members (the limit is " + std::to_string(max_archive_members) + ")";
            return ArrayError::too_large;
        }
        if (count > cd_size / 46) return broken(reason, "the central directory is too short for its entries");
        std::uint64_t at = cd_offset;
        const std::uint64_t end = cd_offset + cd_size;
        std::vector<std::uint8_t> header, name, extra;
        for (std::uint64_t n = 0; n < count; ++n) {
            if (end - at < 46 || !read_exact(source_, at, 46, header) || le32(header.data()) != 0x02014b50) {
                return broken(reason, "a central directory entry is broken");
            }
            Member m;
            m.flags = static_cast<std::uint16_t>(le16(header.data() + 8));
            m.method = static_cast<std::uint16_t>(le16(header.data() + 10));
            m.compressed = le32(header.data() + 20);
            m.uncompressed = le32(header.data() + 24);
            const std::size_t name_len = le16(header.data() + 28), extra_len = le16(header.data() + 30),
                              comment_len = le16(header.data() + 32);
            m.local_offset = le32(header.data() + 42);
            if (end - at - 46 < name_len + extra_len + comment_len) return broken(reason, "a central directory entry runs past its end");
            if (!read_exact(source_, at + 46, name_len, name) || !read_exact(source_, at + 46 + name_len, extra_len, extra)) {
                return unreadable(reason);
            }
            m.name.assign(name.begin(), name.end());
            zip64_extra(extra, m);
            out.push_back(std::move(m));
            at += 46 + name_len + extra_len + comment_len;
        }
        return ArrayError::none;
    }

    // Where a member's data begins.
    bool data_offset(const Member& m, std::uint64_t& at, std::string& reason) {
        std::vector<std::uint8_t> local;
        if (!read_exact(source_, m.local_offset, 30, local) || le32(local.data()) != 0x04034b50) {
            reason = "the local header of '" + m.name + "' is missing";
            return false;
        }
        at = m.local_offset + 30 + le16(local.data() + 26) + le16(local.data() + 28);
        if (at > source_.size()) {
            reason = "the data of '" + m.name + "' lies past the end of the file";
            return false;
        }
        return true;
    }

    ByteSource& source() { return source_; }

private:
    static void zip64_extra(const std::vector<std::uint8_t>& extra, Member& m) {
        std::size_t i = 0;
        while (i + 4 <= extra.size()) {
            const std::size_t id = le16(extra.data() + i), len = le16(extra.data() + i + 2);
            if (i + 4 + len > extra.size()) return;
            if (id == 0x0001) {
                std::size_t j = i + 4;
                const std::size_t end = i + 4 + len;
                for (std::uint64_t* field : {&m.uncompressed, &m.compressed, &m.local_offset}) {
                    if (*field != 0xffffffff) continue;
                    if (j + 8 > end) return;
                    *field = le64(extra.data() + j);
                    j += 8;
                }
                return;
            }
            i += 4 + len;
        }
    }
    ArrayError unreadable(std::string& reason) {
        reason = "the file cannot be read";
        return ArrayError::unreadable;
    }
    static ArrayError broken(std::string& reason, std::string text) {
        reason = std::move(text);
        return ArrayError::bad_archive;
    }

    ByteSource& source_;
};

// The first `want` bytes of a deflated stream of at most `available` bytes
// at `at`. The output room is `want` plus the longest stored block, so that
// when puff stops for want of room (which it does before a stored block or
// a match that would not fit) the first `want` bytes are all written; the
// input grows from a small prefix until the bytes come out.
// `budget` is what is left of the deflated bytes all the members may take.
bool inflate_prefix(ByteSource& source, std::uint64_t at, std::uint64_t available, std::size_t want,
                    std::uint64_t& budget, std::vector<std::uint8_t>& out, std::string& reason) {
    constexpr std::uint64_t max_input = 4u << 20;
    std::vector<std::uint8_t> room(want + 65536);
    std::vector<std::uint8_t> input;
    std::uint64_t take = std::min<std::uint64_t>(available, 2 * static_cast<std::uint64_t>(want) + 4096);
    for (;;) {
        if (take > budget) {
            reason = "its members' headers take more than " + std::to_string(max_inflate_input >> 20) +
                     " MiB of deflated bytes to read";
            return false;
        }
        budget -= take;
        if (!read_exact(source, at, static_cast<std::size_t>(take), input)) {
            reason = "the file cannot be read";
            return false;
        }
        unsigned long out_len = room.size();
        unsigned long in_len = input.size();
        const int status = puff(room.data(), &out_len, input.data(), &in_len);
        if (status == 0 || status == 1) {
            const std::size_t n = status == 0 ? std::min<std::size_t>(out_len, want) : want;
            out.assign(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(n));
            return true;
        }
        if (status < 0) {
            reason = "its deflated data is broken (inflate error " + std::to_string(status) + ")";
            return false;
        }
        if (take == available) {
            reason = "its deflated data ends early";
            return false;
        }
        if (take >= max_input) {
            reason = "its header does not come out of the first " + std::to_string(max_input) + " deflated bytes";
            return false;
        }
        take = std::min<std::uint64_t>({available, take * 4, max_input});
    }
}

ArraysResult fail(ArraysResult result, ArrayError error, const std::string& reason) {
    result.arrays.clear();
    result.error = error;
    result.message = "not an npy/npz file: " + reason;
    return result;
}

ArraysResult read_npz(ByteSource& source) {
    ArraysResult result;
    result.archive = true;
    Archive archive(source);
    std::vector<Member> members;
    std::string reason;
    std::uint64_t budget = max_inflate_input;
    if (const ArrayError error = archive.members(members, reason); error != ArrayError::none) {
        return fail(std::move(result), error, reason);
    }
    for (const Member& m : members) {
        NpyArray array;
        array.name = m.name.size() >= 4 && m.name.ends_with(".npy") ? m.name.substr(0, m.name.size() - 4) : m.name;
        if (m.flags & 1) return fail(std::move(result), ArrayError::unsupported, "member '" + m.name + "' is encrypted");
        if (m.method != 0 && m.method != 8) {
            return fail(std::move(result), ArrayError::unsupported,
                        "member '" + m.name + "' uses compression method " + std::to_string(m.method));
        }
        std::uint64_t at = 0;
        if (!archive.data_offset(m, at, reason)) return fail(std::move(result), ArrayError::bad_archive, reason);
        const std::uint64_t available = std::min(m.compressed, source.size() - at);
        Prefix prefix = [&](std::size_t want, std::vector<std::uint8_t>& out, std::string& why) {
            if (m.method == 8) return inflate_prefix(source, at, available, want, budget, out, why);
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want, available));
            if (!read_exact(source, at, n, out)) {
                why = "the file cannot be read";
                return false;
            }
            return true;
        };
        const ArrayError error = read_header(prefix, array, reason);
        if (error != ArrayError::none) {
            const ArrayError kind = error == ArrayError::not_arrays || error == ArrayError::unreadable ? ArrayError::bad_archive : error;
            return fail(std::move(result), kind, "member '" + m.name + "': " + reason);
        }
        result.arrays.push_back(std::move(array));
    }
    return result;
}

}  // namespace

bool parse_npy_header(std::span<const std::uint8_t> bytes, NpyArray& out, std::string& reason) {
    if (bytes.size() < 6 || std::memcmp(bytes.data(), npy_magic, 6) != 0) {
        reason = "no npy magic";
        return false;
    }
    if (bytes.size() < 10) {
        reason = "the header is cut short";
        return false;
    }
    const unsigned major = bytes[6], minor = bytes[7];
    if (major < 1 || major > 3 || minor != 0) {
        reason = "npy format version " + std::to_string(major) + "." + std::to_string(minor) + " is not known";
        return false;
    }
    const std::size_t start = major == 1 ? 10 : 12;
    if (bytes.size() < start) {
        reason = "the header is cut short";
        return false;
    }
    const std::uint64_t length = major == 1 ? le16(bytes.data() + 8) : le32(bytes.data() + 8);
    if (length > bytes.size() - start) {
        reason = "the header runs past the end of the data";
        return false;
    }
    const auto text_bytes = bytes.subspan(start, static_cast<std::size_t>(length));
    const std::string text = major == 3 ? std::string(text_bytes.begin(), text_bytes.end()) : latin1_to_utf8(text_bytes);
    NpyArray parsed;
    parsed.name = out.name;
    if (!Literal(text).parse(parsed, reason)) return false;
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
    }
    return "unknown";
}

ArraysResult read_arrays(ByteSource& source) {
    std::vector<std::uint8_t> head;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(source.size(), 6));
    if (!read_exact(source, 0, n, head)) return fail({}, ArrayError::unreadable, "the file cannot be read");
    if (n >= 4 && head[0] == 'P' && head[1] == 'K' &&
        ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6))) {
        return read_npz(source);
    }
    if (n < 6 || std::memcmp(head.data(), npy_magic, 6) != 0) {
        return fail({}, ArrayError::not_arrays, source.size() == 0 ? "the file is empty" : "no npy magic and no zip signature");
    }
    ArraysResult result;
    NpyArray array;
    std::string reason;
    const Prefix prefix = [&](std::size_t want, std::vector<std::uint8_t>& out, std::string& why) {
        if (!read_exact(source, 0, static_cast<std::size_t>(std::min<std::uint64_t>(want, source.size())), out)) {
            why = "the file cannot be read";
            return false;
        }
        return true;
    };
    if (const ArrayError error = read_header(prefix, array, reason); error != ArrayError::none) {
        return fail(std::move(result), error, reason);
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
