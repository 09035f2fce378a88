#include "summary/table.hpp"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "base/fault.hpp"
#include "support/table_cells.hpp"

namespace vora {
namespace {

std::string draw(const std::vector<std::vector<std::string>>& rows) {
    Table table;
    for (const auto& row : rows) table.add_row(row);
    return render(table);
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += '\n';
        out += lines[i];
    }
    return out;
}

TEST(TableRender, TitleRowAlone) {
    const std::string drawn = draw({{"Key", "Value", "Default", "Set by User?", "Description"}});
    EXPECT_EQ(drawn, join_lines({
                         "╔═══╤═════╤═══════╤════════════╤═══════════╗",
                         "║Key│Value│Default│Set by User?│Description║",
                         "╚═══╧═════╧═══════╧════════════╧═══════════╝",
                     }));
    // Three lines of 44 scalar values each.
    std::size_t scalars = 0;
    for (const char ch : drawn) {
        if (ch == '\n') {
            EXPECT_EQ(scalars, 44u);
            scalars = 0;
        } else if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) {
            ++scalars;
        }
    }
    EXPECT_EQ(scalars, 44u);
}

TEST(TableRender, TitleRowAndOneRow) {
    EXPECT_EQ(draw({{"Key", "Value", "Default", "Set by User?", "Description"}, {"a", "1", "0", "No", "x"}}),
              join_lines({
                  "╔═══╤═════╤═══════╤════════════╤═══════════╗",
                  "║Key│Value│Default│Set by User?│Description║",
                  "╟───┼─────┼───────┼────────────┼───────────╢",
                  "║a  │1    │0      │No          │x          ║",
                  "╚═══╧═════╧═══════╧════════════╧═══════════╝",
              }));
}

struct RenderCase {
    const char* name;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> lines;
};

void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.name; }

class TableRenderCases : public ::testing::TestWithParam<RenderCase> {};

TEST_P(TableRenderCases, DrawsExactly) { EXPECT_EQ(draw(GetParam().rows), join_lines(GetParam().lines)); }

INSTANTIATE_TEST_SUITE_P(
    Cells, TableRenderCases,
    ::testing::Values(
        RenderCase{"line_feed_makes_row_two_lines_high",
                   {{"one\ntwo", "x"}, {"y", "z"}},
                   {"╔═══╤═╗", "║one│x║", "║two│ ║", "╟───┼─╢", "║y  │z║", "╚═══╧═╝"}},
        RenderCase{"crlf_same_as_lf", {{"ab\r\ncd"}}, {"╔══╗", "║ab║", "║cd║", "╚══╝"}},
        RenderCase{"trailing_lf_opens_no_line", {{"ab\n"}}, {"╔══╗", "║ab║", "╚══╝"}},
        RenderCase{"trailing_crlf_opens_no_line", {{"ab\r\n"}}, {"╔══╗", "║ab║", "╚══╝"}},
        RenderCase{"only_lf_is_one_empty_line", {{"\n", "x"}}, {"╔╤═╗", "║│x║", "╚╧═╝"}},
        RenderCase{"two_lf_leave_empty_middle_line", {{"a\n\nb"}}, {"╔═╗", "║a║", "║ ║", "║b║", "╚═╝"}},
        RenderCase{"two_trailing_lf_leave_one_empty_line", {{"a\n\n"}}, {"╔═╗", "║a║", "║ ║", "╚═╝"}},
        RenderCase{"empty_text_is_padded_line",
                   {{"", "x"}, {"abc", "y"}},
                   {"╔═══╤═╗", "║   │x║", "╟───┼─╢", "║abc│y║", "╚═══╧═╝"}},
        RenderCase{"tab_between_words_becomes_space", {{"a\tb"}}, {"╔═══╗", "║a b║", "╚═══╝"}},
        RenderCase{"two_spaces_between_words_stay", {{"a  b"}}, {"╔════╗", "║a  b║", "╚════╝"}},
        RenderCase{"tab_after_space_stays", {{"a \tb"}}, {"╔════╗", "║a \tb║", "╚════╝"}},
        RenderCase{"two_tabs_only_first_replaced", {{"a\t\tb"}}, {"╔════╗", "║a \tb║", "╚════╝"}},
        RenderCase{"indentation_stays", {{"  a"}, {"\tb"}}, {"╔═══╗", "║  a║", "╟───╢", "║\tb ║", "╚═══╝"}},
        RenderCase{"trailing_tab_becomes_space", {{"a\t"}}, {"╔══╗", "║a ║", "╚══╝"}},
        RenderCase{"lone_cr_inside_line_becomes_space", {{"a\rb"}}, {"╔═══╗", "║a b║", "╚═══╝"}},
        RenderCase{"lone_cr_at_end_becomes_space", {{"a\r"}}, {"╔══╗", "║a ║", "╚══╝"}},
        RenderCase{"cr_before_cr_lf_becomes_space", {{"a\r\r\nb"}}, {"╔══╗", "║a ║", "║b ║", "╚══╝"}},
        RenderCase{"vertical_tab_and_form_feed_after_word", {{"a\vb\fc"}}, {"╔═════╗", "║a b c║", "╚═════╝"}},
        RenderCase{"no_break_space_after_word", {{"a\u00A0b"}}, {"╔═══╗", "║a b║", "╚═══╝"}},
        RenderCase{"next_line_after_word", {{"a\u0085b"}}, {"╔═══╗", "║a b║", "╚═══╝"}},
        RenderCase{"ogham_space_after_word", {{"a\u1680b"}}, {"╔═══╗", "║a b║", "╚═══╝"}},
        RenderCase{"en_quad_and_hair_space_after_words", {{"a\u2000b\u200Ac"}}, {"╔═════╗", "║a b c║", "╚═════╝"}},
        RenderCase{
            "line_and_paragraph_separators_after_words", {{"a\u2028b\u2029c"}}, {"╔═════╗", "║a b c║", "╚═════╝"}},
        RenderCase{"narrow_and_math_spaces_after_words", {{"a\u202Fb\u205Fc"}}, {"╔═════╗", "║a b c║", "╚═════╝"}},
        RenderCase{"ideographic_space_after_word", {{"a\u3000b"}}, {"╔═══╗", "║a b║", "╚═══╝"}},
        RenderCase{"ideographic_space_at_start_stays", {{"\u3000a"}}, {"╔══╗", "║\u3000a║", "╚══╝"}},
        RenderCase{"ideographic_space_after_space_stays", {{"a \u3000b"}}, {"╔════╗", "║a \u3000b║", "╚════╝"}},
        RenderCase{"zero_width_space_is_not_white_space", {{"a\u200Bb"}}, {"╔═══╗", "║a\u200Bb║", "╚═══╝"}},
        RenderCase{"widths_count_scalar_values",
                   {{"é"}, {"中文"}, {"abc"}},
                   {"╔═══╗", "║é  ║", "╟───╢", "║中文 ║", "╟───╢", "║abc║", "╚═══╝"}},
        RenderCase{
            "four_byte_scalar_counts_one", {{"\U0001F600"}, {"ab"}}, {"╔══╗", "║\U0001F600 ║", "╟──╢", "║ab║", "╚══╝"}},
        RenderCase{"escape_character_copied_and_counted", {{"\x1b[1m"}}, {"╔════╗", "║\x1b[1m║", "╚════╝"}},
        RenderCase{"zero_width_middle_column",
                   {{"a", "", "b"}, {"c", "", "d"}},
                   {"╔═╤╤═╗", "║a││b║", "╟─┼┼─╢", "║c││d║", "╚═╧╧═╝"}},
        RenderCase{"zero_width_last_column", {{"a", ""}}, {"╔═╤╗", "║a│║", "╚═╧╝"}},
        RenderCase{"single_empty_cell", {{""}}, {"╔╗", "║║", "╚╝"}},
        RenderCase{"short_row_drawn_with_empty_cells",
                   {{"a", "bb", "c"}, {"d"}},
                   {"╔═╤══╤═╗", "║a│bb│c║", "╟─┼──┼─╢", "║d│  │ ║", "╚═╧══╧═╝"}},
        RenderCase{"longer_later_row_adds_columns", {{"a"}, {"b", "c"}}, {"╔═╤═╗", "║a│ ║", "╟─┼─╢", "║b│c║", "╚═╧═╝"}},
        RenderCase{"text_sits_at_top_of_row", {{"1\n2\n3", "x\ny"}}, {"╔═╤═╗", "║1│x║", "║2│y║", "║3│ ║", "╚═╧═╝"}},
        RenderCase{
            "rows_keep_insertion_order", {{"b"}, {"a"}, {"c"}}, {"╔═╗", "║b║", "╟─╢", "║a║", "╟─╢", "║c║", "╚═╝"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TableRender, MalformedUtf8CountsEachBadByteOnce) {
    // A stray continuation byte, a truncated three-byte sequence at the end
    // and an overlong form: each byte is copied unchanged and counts one.
    const std::string text = std::string("\x80") + "a" + "\xC0\xAF" + "\xE2\x82";
    EXPECT_EQ(draw({{text}, {"b"}}), join_lines({"╔══════╗", "║" + text + "║", "╟──────╢", "║b     ║", "╚══════╝"}));
}

TEST(TableRender, RefusesEmptyTables) {
    Table no_rows;
    Table no_columns;
    no_columns.add_row(std::vector<std::string>{});
    for (const Table* table : {&no_rows, &no_columns}) {
        try {
            (void)render(*table);
            ADD_FAILURE() << "render accepted an empty table";
        } catch (const InternalFault& fault) {
            EXPECT_STREQ(fault.what(), "table cannot be empty");
        }
    }
}

TEST(TableRender, LeavesTableUnchanged) {
    Table table;
    table.add_row({"a\tb", "c"});
    const std::string first = render(table);
    EXPECT_EQ(render(table), first);
    ASSERT_EQ(table.rows.size(), 1u);
    EXPECT_EQ(table.rows[0].cells[0].text, "a\tb");
    EXPECT_EQ(table.cols.size(), 2u);
}

std::string repeat(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

TEST(TableRender, ManyRows) {
    Table table;
    for (int i = 0; i < 100000; ++i) table.add_row({"key", "value", "x\ty", "No", std::to_string(i % 10)});
    const std::string drawn = render(table);
    const std::string text_line = "║key│value│x y│No│";
    std::string expected = "╔═══╤═════╤═══╤══╤═╗\n";
    for (int i = 0; i < 100000; ++i) {
        if (i > 0) expected += "╟───┼─────┼───┼──┼─╢\n";
        expected += text_line + std::to_string(i % 10) + "║\n";
    }
    expected += "╚═══╧═════╧═══╧══╧═╝";
    EXPECT_EQ(drawn, expected);
}

// Lines of eight bytes and more are scanned eight bytes at a time: a
// whitespace character is found at every position of a long line.
TEST(TableRender, WhitespaceFoundAtEveryPositionOfLongLines) {
    const std::string letters = "abcdefghijklmnopqrst";
    for (const std::string white : {"\t", "\v", "\f", "\r", "\u00A0", "\u3000"}) {
        for (std::size_t at = 0; at < letters.size(); ++at) {
            const std::string text = letters.substr(0, at) + white + letters.substr(at + 1);
            // Replaced by one space after a letter; kept at the start.
            const std::string drawn = at == 0 ? text : letters.substr(0, at) + " " + letters.substr(at + 1);
            const std::string rule = repeat("═", letters.size());
            EXPECT_EQ(draw({{text}}), "╔" + rule + "╗\n║" + drawn + "║\n╚" + rule + "╝")
                << "character " << at << " of " << letters.size();
        }
    }
}

TEST(TableRender, LongCellText) {
    Table wide;
    wide.add_row({repeat("a\t", 50000)});
    EXPECT_EQ(render(wide),
              "╔" + repeat("═", 100000) + "╗\n║" + repeat("a ", 50000) + "║\n╚" + repeat("═", 100000) + "╝");

    Table tall;
    tall.add_row({repeat("x\r\n", 100000), "y"});
    EXPECT_EQ(render(tall), "╔═╤═╗\n║x│y║\n" + repeat("║x│ ║\n", 99999) + "╚═╧═╝");
}

}  // namespace
}  // namespace vora
