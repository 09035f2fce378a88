// Source text as the terminal shows it, and the positions findings work out
// from byte offsets.
#include "text/display.hpp"

#include <optional>
#include <string>
#include <tuple>
#include <string_view>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "lint/lint.hpp"
#include "text/source_index.hpp"
#include "toml/toml.hpp"

namespace vora {
namespace {

struct ShownCase {
    std::string_view text, shown;
    std::size_t width;
};

class Shown : public ::testing::TestWithParam<ShownCase> {};

TEST_P(Shown, TextAndColumns) {
    std::string out;
    EXPECT_EQ(display::append_shown(out, GetParam().text), GetParam().width);
    EXPECT_EQ(out, GetParam().shown);
    EXPECT_EQ(display::width(GetParam().text), GetParam().width);
}

INSTANTIATE_TEST_SUITE_P(Cases, Shown,
                         ::testing::Values(ShownCase{"key = 1", "key = 1", 7}, ShownCase{"\ta\t", "    a    ", 9},
                                           ShownCase{"\xE4\xB8\xAD\xEF\xBC\xA1", "\xE4\xB8\xAD\xEF\xBC\xA1",
                                                     4},                            // CJK, fullwidth A
                                           ShownCase{"e\xCC\x81", "e\xCC\x81", 1},  // a combining accent
                                           ShownCase{"\x1b]0;t\x07", "\\u{1b}]0;t\\u{7}", 15},
                                           ShownCase{"\x7f\xC2\x9B", "\\u{7f}\\u{9b}", 12},  // DEL and CSI
                                           ShownCase{"\xE2\x80\xAE", "\\u{202e}", 8},        // a bidirectional override
                                           ShownCase{"a\xFF", "a\\x{ff}", 7}));

// A message's text: append_escaped keeps its line feeds, append_one_line
// escapes them too; both keep tabs and escape what append_shown escapes.
struct EscapedCase {
    std::string_view text, escaped, one_line;
};

class Escaped : public ::testing::TestWithParam<EscapedCase> {};

TEST_P(Escaped, KeepsOrEscapesLineFeeds) {
    std::string escaped = "> ", one_line = "> ";
    display::append_escaped(escaped, GetParam().text);
    display::append_one_line(one_line, GetParam().text);
    EXPECT_EQ(escaped, "> " + std::string(GetParam().escaped));
    EXPECT_EQ(one_line, "> " + std::string(GetParam().one_line));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Escaped,
    ::testing::Values(EscapedCase{"`x`", "`x`", "`x`"}, EscapedCase{"a\tb", "a\tb", "a\tb"},
                      EscapedCase{"a\nb", "a\nb", "a\\u{a}b"}, EscapedCase{"a\r\nb", "a\\u{d}\nb", "a\\u{d}\\u{a}b"},
                      EscapedCase{"\x1b]0;t\x07\x1b[2J", "\\u{1b}]0;t\\u{7}\\u{1b}[2J", "\\u{1b}]0;t\\u{7}\\u{1b}[2J"},
                      // CSI, a bidirectional override, DEL
                      EscapedCase{"\xC2\x9B"
                                  "2J\xE2\x80\xAE\x7F",
                                  "\\u{9b}2J\\u{202e}\\u{7f}", "\\u{9b}2J\\u{202e}\\u{7f}"},
                      EscapedCase{"\xFF\n", "\\x{ff}\n", "\\x{ff}\\u{a}"},
                      EscapedCase{std::string_view("a\0b", 3), "a\\u{0}b", "a\\u{0}b"}));

// Every offset, forwards and then from the start again, at the position
// counted character by character: after a byte-order mark, across CRLF lines and multi-byte
// characters, in a multi-line string; walked from the text's start, and
// from the line starts once a line has been asked for.
TEST(SourceIndex, CountsLinesAndCharacters) {
    for (const std::string_view text :
         {std::string_view("a = 1\nb = 2"),
          std::string_view("\xEF\xBB\xBF[config]\r\nk = '\xC3\xA9\xE4\xB8\xAD'\r\nx = 1\r\n"),
          std::string_view("s = \"\"\"\nline\n\xF0\x9F\x98\x80 two\"\"\"\nt = 2\n")}) {
        for (const bool lines : {false, true}) {
            SourceIndex index(text);
            if (lines) index.line(1);
            const std::size_t first = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
            for (const std::size_t from : {first, first + 1}) {
                for (std::size_t offset = from; offset <= text.size(); ++offset) {
                    if (offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80) continue;
                    LineColumn expected;
                    for (std::size_t at = first; at < offset; ++at) {
                        const auto c = static_cast<unsigned char>(text[at]);
                        if (c == '\n')
                            expected = LineColumn{expected.line + 1, 1};
                        else if ((c & 0xC0) != 0x80)
                            ++expected.column;
                    }
                    const LineColumn found = index.at(offset);
                    EXPECT_EQ(std::pair(found.line, found.column), std::pair(expected.line, expected.column))
                        << offset << (lines ? " with line starts" : "");
                }
            }
        }
    }
}

// Lines without their CRLF or LF ending, the byte-order mark left out of
// the first; nothing past the last line.
TEST(SourceIndex, GivesLines) {
    SourceIndex index("\xEF\xBB\xBF[config]\r\nk = 1\n\r\nlast");
    const std::vector<std::string_view> lines{"[config]", "k = 1", "", "last", ""};
    for (std::uint32_t n = 0; n < lines.size(); ++n) EXPECT_EQ(index.line(n + 1), lines[n]) << n + 1;
    EXPECT_EQ(index.line(0), "");
}

// Findings whose message is made from the key's bytes read as those held
// whole: message, suggestion, span and the fix that renames the key.
struct KeyCase {
    std::string_view text, message;
    std::optional<std::string_view> suggestion, replacement;
    std::uint32_t column, end_column;
};

class KeyFinding : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyFinding, ReadsAsWritten) {
    const std::vector<lint::Finding> findings = lint::check_text(GetParam().text).list();
    ASSERT_EQ(findings.size(), 1u);
    const lint::Finding& finding = findings[0];
    EXPECT_EQ(finding.message, GetParam().message);
    EXPECT_EQ(finding.suggestion, GetParam().suggestion);
    const std::optional<toml::Span> span = lint::span(finding, GetParam().text);
    ASSERT_TRUE(span);
    EXPECT_EQ(std::tuple(span->begin.line, span->begin.column, span->end.column),
              std::tuple(2u, GetParam().column, GetParam().end_column));
    EXPECT_EQ(lint::certain(finding) ? std::optional(finding.fix->edit.replacement) : std::nullopt,
              GetParam().replacement);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyFinding,
    ::testing::Values(
        KeyCase{"[config]\nOPTIMIZATION_LEVEL = 2\n",
                "`OPTIMIZATION_LEVEL` is not a key of [config]; the converter ignores it; did you mean "
                "`optimization_level`?",
                "optimization_level", "optimization_level", 1, 19},
        KeyCase{"[config]\n'Mean_Values' = [1]\n",
                "`Mean_Values` is not a key of [config]; the converter ignores it; did you mean `mean_values`?",
                "mean_values", "mean_values", 1, 14},  // quoted in the file: the message held whole
        KeyCase{"[config]\ndataset = 'd'\n",
                "`dataset` is not a key of [config]; the converter ignores it; it is a key of [build]", "[build]",
                std::nullopt, 1, 8},
        KeyCase{"[config]\n\"a b\" = 1\n", "`\"a b\"` is not a key of [config]; the converter ignores it", std::nullopt,
                std::nullopt, 1, 6},
        KeyCase{"\n[confg]\n", "[confg] is not a section; the converter ignores it; did you mean [config]?", "config",
                "config", 2, 7},
        KeyCase{"\xEF\xBB\xBF\nkey = 1\n", "`key` is not a key at the top level; the converter ignores it",
                std::nullopt, std::nullopt, 1, 4},
        KeyCase{"\n[zzzz]\n", "[zzzz] is not a section; the converter ignores it", std::nullopt, std::nullopt, 2, 6}));

}  // namespace
}  // namespace vora
