// The TOML 1.1.0 conformance corpus (tests/toml-test) read directly by
// vora::toml::parse: every valid document decodes to exactly the tree of its
// tagged-JSON twin, every invalid one is refused. Each document is parsed
// from a buffer of exactly its size, so a read past the end shows under the
// address sanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "toml/parser.hpp"
#include "toml/toml.hpp"
#include "toml_json.hpp"

namespace vora::toml {
namespace {

using nlohmann::json;

std::string corpus_path(std::string_view relative) {
    return std::string(VORA_TOML_TEST_DIR) + "/" + std::string(relative);
}

std::string file_bytes(std::string_view relative) {
    std::ifstream in(corpus_path(relative), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The .toml files of the 1.1.0 list under `kind` ("valid/" or "invalid/").
std::vector<std::string> corpus_files(std::string_view kind) {
    std::vector<std::string> names;
    std::ifstream list(corpus_path("files-toml-1.1.0"));
    for (std::string line; std::getline(list, line);) {
        if (line.starts_with(kind) && line.ends_with(".toml")) names.push_back(line);
    }
    return names;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(info.param.find('/') + 1);
    name.resize(name.size() - 5);  // ".toml"
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

// The document's bytes in a heap block of exactly their size.
class ExactBuffer {
public:
    explicit ExactBuffer(const std::string& bytes) : size_(bytes.size()), data_(new char[bytes.size()]) {
        std::memcpy(data_.get(), bytes.data(), size_);
    }
    std::string_view view() const { return {data_.get(), size_}; }

private:
    std::size_t size_;
    std::unique_ptr<char[]> data_;
};

// --- semantic comparison of tagged JSON ----------------------------------------

bool is_scalar(const json& j) {
    return j.is_object() && j.size() == 2 && j.contains("type") && j.contains("value") && j["type"].is_string() &&
           j["value"].is_string();
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// A date, a time or both, with an optional offset, as toml-test writes
// them: `T`, `t` or a space between date and time, `Z` or `z` for UTC,
// seconds optional.
struct Moment {
    int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    uint32_t nanos = 0;
    int offset = 0;  // minutes

    auto fields() const { return std::tie(year, month, day, hour, minute, second, nanos); }
    std::pair<int64_t, uint32_t> instant() const {
        const int64_t s = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset * 60;
        return {s, nanos};
    }
};

std::optional<Moment> parse_moment(std::string_view s) {
    Moment m;
    std::size_t i = 0;
    auto number = [&](std::size_t digits, int& out) {
        if (i + digits > s.size()) return false;
        out = 0;
        for (std::size_t k = 0; k < digits; ++k) {
            const char c = s[i + k];
            if (c < '0' || c > '9') return false;
            out = out * 10 + (c - '0');
        }
        i += digits;
        return true;
    };
    auto literal = [&](char c) {
        if (i < s.size() && s[i] == c) return ++i, true;
        return false;
    };
    if (s.size() >= 10 && s[4] == '-') {
        if (!number(4, m.year) || !literal('-') || !number(2, m.month) || !literal('-') || !number(2, m.day))
            return std::nullopt;
        if (i == s.size()) return m;
        if (s[i] != 'T' && s[i] != 't' && s[i] != ' ') return std::nullopt;
        ++i;
    }
    if (!number(2, m.hour) || !literal(':') || !number(2, m.minute)) return std::nullopt;
    if (literal(':')) {
        if (!number(2, m.second)) return std::nullopt;
        if (literal('.')) {
            std::size_t digits = 0;
            for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
                if (digits < 9) m.nanos = m.nanos * 10 + static_cast<uint32_t>(s[i] - '0');
            }
            if (digits == 0) return std::nullopt;
            for (; digits < 9; ++digits) m.nanos *= 10;
        }
    }
    if (i == s.size()) return m;
    if ((s[i] == 'Z' || s[i] == 'z') && i + 1 == s.size()) return m;
    const int sign = s[i] == '-' ? -1 : s[i] == '+' ? 1 : 0;
    int h = 0, min = 0;
    ++i;
    if (sign == 0 || !number(2, h) || !literal(':') || !number(2, min) || i != s.size()) return std::nullopt;
    m.offset = sign * (h * 60 + min);
    return m;
}

// Whether two scalar texts of type `type` denote the same value.
bool same_scalar(const std::string& type, const std::string& actual, const std::string& expected) {
    if (type == "float") {
        const double a = std::strtod(actual.c_str(), nullptr), e = std::strtod(expected.c_str(), nullptr);
        if (std::isnan(e)) return std::isnan(a);
        return a == e && std::signbit(a) == std::signbit(e);
    }
    if (type == "datetime" || type == "datetime-local" || type == "date-local" || type == "time-local") {
        const auto a = parse_moment(actual), e = parse_moment(expected);
        if (!a || !e) return false;
        return type == "datetime" ? a->instant() == e->instant() : a->fields() == e->fields();
    }
    return actual == expected;  // strings, integers and booleans as text
}

// The first difference between `actual` and `expected`, with its path; empty
// when they describe the same document.
std::string difference(const json& actual, const json& expected, const std::string& path = "") {
    const std::string where = path.empty() ? "<root>" : path;
    if (is_scalar(expected)) {
        if (!is_scalar(actual)) return where + ": got " + actual.dump() + ", expected " + expected.dump();
        const std::string type = expected["type"], value = expected["value"];
        if (actual["type"] != type || !same_scalar(type, actual["value"], value))
            return where + ": got " + actual.dump() + ", expected " + expected.dump();
        return {};
    }
    if (expected.is_array()) {
        if (!actual.is_array() || actual.size() != expected.size())
            return where + ": got " + actual.dump() + ", expected an array of " + std::to_string(expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k) {
            std::string d = difference(actual[k], expected[k], path + "[" + std::to_string(k) + "]");
            if (!d.empty()) return d;
        }
        return {};
    }
    if (!actual.is_object() || is_scalar(actual)) return where + ": got " + actual.dump() + ", expected a table";
    for (const auto& [key, value] : expected.items()) {
        if (!actual.contains(key)) return where + ": key \"" + key + "\" is missing";
        std::string d = difference(actual[key], value, path + "." + key);
        if (!d.empty()) return d;
    }
    for (const auto& [key, value] : actual.items()) {
        if (!expected.contains(key)) return where + ": unexpected key \"" + key + "\"";
    }
    return {};
}

// --- positions --------------------------------------------------------------------

// Byte offsets of (line, column) positions of a document; columns count code
// points, a leading byte-order mark is not part of line 1.
class Positions {
public:
    explicit Positions(std::string_view text) : text_(text) {
        std::size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        lines_.push_back(start);
        for (std::size_t k = start; k < text.size(); ++k) {
            if (text[k] == '\n') lines_.push_back(k + 1);
        }
    }
    std::size_t line_count() const { return lines_.size(); }

    std::optional<std::size_t> offset(Position p) const {
        if (p.line < 1 || p.line > lines_.size() || p.column < 1) return std::nullopt;
        std::size_t k = lines_[p.line - 1];
        for (std::uint32_t c = 1; c < p.column; ++c) {
            if (k >= text_.size() || text_[k] == '\n') return std::nullopt;
            ++k;
            while (k < text_.size() && (static_cast<unsigned char>(text_[k]) & 0xC0) == 0x80) ++k;
        }
        return k;
    }

private:
    std::string_view text_;
    std::vector<std::size_t> lines_;
};

// The decimal value of an integer literal, or "" if it is not one.
std::string integer_literal_value(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        s.remove_prefix(2);
    }
    unsigned __int128 value = 0;
    for (char c : s) {
        if (c == '_') continue;
        const int d = std::isdigit(static_cast<unsigned char>(c))    ? c - '0'
                      : std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                     : 99;
        if (d >= static_cast<int>(base)) return "";
        value = value * base + static_cast<unsigned>(d);
    }
    if (value >> 64) return "";
    const auto magnitude = static_cast<std::uint64_t>(value);
    return (negative && magnitude != 0 ? "-" : "") + std::to_string(magnitude);
}

// The literal a scalar's span covers: for a string its quotes and text, for
// the others text that denotes the value read.
std::string check_scalar_span(Value v, std::string_view text) {
    const std::string value = testing::scalar_text(v);
    const std::size_t begin = v.offset(), end = v.end_offset();
    if (end > text.size() || end < begin) return "value " + value + ": span outside the document or reversed";
    const std::string_view src = text.substr(begin, end - begin);
    const std::string shown = "value " + value + " (span covers `" + std::string(src) + "`)";
    switch (v.type()) {
        case Type::String:
            if (src.size() < 2 || (src.front() != '"' && src.front() != '\'') || src.back() != src.front())
                return shown + ": not a quoted string";
            // A one-line string without escapes reads as the text between its quotes.
            if (!src.starts_with("\"\"\"") && !src.starts_with("'''") && src.find('\\') == src.npos &&
                src.substr(1, src.size() - 2) != value)
                return shown + ": another string";
            break;
        case Type::Boolean:
            if (src != value) return shown + ": another literal";
            break;
        case Type::Integer:
            if (integer_literal_value(src) != value) return shown + ": another integer";
            break;
        case Type::Float: {
            std::string digits;
            for (char c : src) {
                if (c != '_') digits += c;
            }
            char* stop = nullptr;
            const double d = std::strtod(digits.c_str(), &stop), f = v.as_float();
            if (*stop != '\0' || (std::isnan(d) ? !std::isnan(f) : (d != f || std::signbit(d) != std::signbit(f))))
                return shown + ": another float";
            break;
        }
        default: {
            const auto moment = parse_moment(src), read = parse_moment(value);
            if (!moment || !read || moment->fields() != read->fields() || moment->offset != read->offset)
                return shown + ": another date-time";
        }
    }
    return {};
}

// Every table answers `size`, `get` and `member` in agreement with its
// iteration; every scalar's span covers its literal.
std::string check_document(const Document& doc, std::string_view text) {
    std::string problem;
    testing::for_each_value(doc.root(), [&](Value v, std::size_t) {
        if (!problem.empty()) return;
        if (v.is_table()) {
            const Table t = v.as_table();
            std::size_t n = 0;
            for (const Member m : t) {
                ++n;
                const auto found = t.member(m.key);
                if (t.get(m.key).id() != m.value.id() || !found || found->value.id() != m.value.id() ||
                    found->key != m.key)
                    problem = "lookup of key \"" + std::string(m.key) + "\" finds another entry";
            }
            if (n != t.size() || t.empty() != (n == 0)) problem = "table size disagrees with its members";
            if (t.get("\x01no such key").id() != no_node || t.member("\x01no such key"))
                problem = "lookup of an absent key finds an entry";
        } else if (v.is_array()) {
            const Array a = v.as_array();
            if (static_cast<std::size_t>(std::distance(a.begin(), a.end())) != a.size() || a.empty() != (a.size() == 0))
                problem = "array size disagrees with its elements";
        } else {
            problem = check_scalar_span(v, text);
        }
    });
    return problem;
}

// --- the corpus -------------------------------------------------------------------

TEST(TomlReaderCorpus, ListsEveryFile) {
    EXPECT_EQ(corpus_files("valid/").size(), 220u);
    EXPECT_EQ(corpus_files("invalid/").size(), 492u);
}

class TomlReaderValid : public ::testing::TestWithParam<std::string> {};

TEST_P(TomlReaderValid, DecodesToItsJsonTwin) {
    const std::string& name = GetParam();
    const std::string bytes = file_bytes(name);
    const std::string expected_text = file_bytes(name.substr(0, name.size() - 5) + ".json");
    ASSERT_FALSE(expected_text.empty()) << name << ": no JSON twin";
    const json expected = json::parse(expected_text);

    const ExactBuffer buffer(bytes);
    const Result result = parse(buffer.view());
    if (const auto* error = std::get_if<Error>(&result)) {
        FAIL() << name << " refused at " << error->span.begin.line << ":" << error->span.begin.column << ": "
               << error->message;
    }
    const Document& doc = std::get<Document>(result);
    EXPECT_EQ(doc.text().data(), buffer.view().data());
    ASSERT_TRUE(doc.root().is_table());
    const json actual = testing::to_tagged_json<json>(doc.root());
    EXPECT_EQ(difference(actual, expected), "")
        << name << "\ngot:      " << actual.dump() << "\nexpected: " << expected.dump();
    EXPECT_EQ(check_document(doc, buffer.view()), "") << name;
    const Bound bound = arena_bound(buffer.view());
    EXPECT_LE(doc.node_count(), bound.nodes) << name;
    EXPECT_LE(doc.entry_count(), bound.entries) << name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, TomlReaderValid, ::testing::ValuesIn(corpus_files("valid/")), test_name);

class TomlReaderInvalid : public ::testing::TestWithParam<std::string> {};

TEST_P(TomlReaderInvalid, IsRefused) {
    const std::string& name = GetParam();
    const std::string bytes = file_bytes(name);
    const ExactBuffer buffer(bytes);
    const Result result = parse(buffer.view());
    const auto* error = std::get_if<Error>(&result);
    if (error == nullptr) {
        FAIL() << name << " was accepted as "
               << testing::to_tagged_json<json>(std::get<Document>(result).root()).dump();
    }
    EXPECT_FALSE(error->message.empty()) << name;
    // The error points into the document (at most one past its last line).
    const Positions positions(buffer.view());
    EXPECT_GE(error->span.begin.line, 1u) << name;
    EXPECT_LE(error->span.begin.line, positions.line_count()) << name << ": " << error->message;
    EXPECT_GE(error->span.begin.column, 1u) << name;
    EXPECT_TRUE(positions.offset(error->span.begin).has_value())
        << name << ": " << error->span.begin.line << ":" << error->span.begin.column << " " << error->message;
}

INSTANTIATE_TEST_SUITE_P(Corpus, TomlReaderInvalid, ::testing::ValuesIn(corpus_files("invalid/")), test_name);

}  // namespace
}  // namespace vora::toml
