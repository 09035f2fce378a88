#include "text/json_string.hpp"

#include <string>
#include <string_view>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vora {
namespace {

std::string written(std::string_view text, MalformedUtf8 malformed) {
    std::string out;
    append_json_string(out, text, malformed);
    return out;
}

struct StringCase {
    std::string text;
    std::string kept;      // MalformedUtf8::Keep
    std::string replaced;  // MalformedUtf8::Replace
};

class JsonString : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonString, Written) {
    EXPECT_EQ(written(GetParam().text, MalformedUtf8::Keep), GetParam().kept);
    EXPECT_EQ(written(GetParam().text, MalformedUtf8::Replace), GetParam().replaced);
    EXPECT_EQ(json_string_size(GetParam().text), GetParam().kept.size());
}

// Escapes found by the eight-byte scan at each place, the last word written
// over the one before it, and each malformed sequence as one U+FFFD: an
// overlong or surrogate lead with its continuation, a truncated sequence at
// the end, a lone continuation byte.
INSTANTIATE_TEST_SUITE_P(
    Texts, JsonString,
    ::testing::Values(StringCase{"", "\"\"", "\"\""},
                      StringCase{"plain text, 17 ch", "\"plain text, 17 ch\"", "\"plain text, 17 ch\""},
                      StringCase{"abcdefg\"hij\\", "\"abcdefg\\\"hij\\\\\"", "\"abcdefg\\\"hij\\\\\""},
                      StringCase{std::string("\x01\b\t\n\f\r\x1f\x7f", 8), "\"\\u0001\\b\\t\\n\\f\\r\\u001f\x7f\"",
                                 "\"\\u0001\\b\\t\\n\\f\\r\\u001f\x7f\""},
                      StringCase{"12345678\xc3\xa9", "\"12345678\xc3\xa9\"", "\"12345678\xc3\xa9\""},
                      StringCase{"\xe0\x80x", "\"\xe0\x80x\"", "\"\xef\xbf\xbd\xef\xbf\xbdx\""},
                      StringCase{"\xed\xa0\x80", "\"\xed\xa0\x80\"", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
                      StringCase{"\xe2\x82x", "\"\xe2\x82x\"", "\"\xef\xbf\xbdx\""},
                      StringCase{"key = \xf0\x9f\x98", "\"key = \xf0\x9f\x98\"", "\"key = \xef\xbf\xbd\""},
                      StringCase{"\x80\xff\"", "\"\x80\xff\\\"\"", "\"\xef\xbf\xbd\xef\xbf\xbd\\\"\""}));

// Every text of three bytes from an alphabet of the bytes that decide
// escapes and UTF-8 sequences, behind 0 to 9 plain bytes (so that each
// reaches the eight-byte scan at each offset), as the JSON library writes
// it with replacement.
TEST(JsonString, AsTheJsonLibraryReplaces) {
    const std::string alphabet("\x00\x1f\"\\a\x7f\x80\xbf\xc2\xe0\xed\xf0\xf4\xf5\xa0\x90", 16);
    for (std::size_t lead = 0; lead <= 9; ++lead) {
        for (std::size_t n = 0; n < alphabet.size() * alphabet.size() * alphabet.size(); ++n) {
            std::string text(lead, 'k');
            for (std::size_t k = n; text.size() < lead + 3; k /= alphabet.size()) text += alphabet[k % alphabet.size()];
            const std::string expected =
                nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            ASSERT_EQ(written(text, MalformedUtf8::Replace), expected) << ::testing::PrintToString(text);
        }
    }
}

#ifndef NDEBUG
// A writer given too little room stops before it writes past it.
TEST(JsonStringDeathTest, RoomTooSmall) {
    char room[8];
    EXPECT_DEATH(write_json_string(room, room + sizeof room, "seven\"!"), "no room");
}
#endif

}  // namespace
}  // namespace vora
