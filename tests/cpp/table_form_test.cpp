// TableForm and FormCells draw exactly what render draws for the Table of the
// same cells; TableCells drawn straight, and reused, likewise.
#include "summary/table.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "base/fault.hpp"
#include "support/table_cells.hpp"

namespace vora {
namespace {

using Texts = std::vector<std::string>;

struct FormRow {
    std::vector<Texts> variants;
};

// One drawing: the open cell and the picked variant of every row.
struct Fill {
    Texts open;
    std::vector<std::size_t> picks;
};

struct FormCase {
    const char* name;
    std::size_t columns;
    std::size_t open;
    std::vector<FormRow> rows;
    std::vector<Fill> fills;
};

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

TableForm make_form(const FormCase& c) {
    TableForm form(c.columns, c.open);
    for (const FormRow& row : c.rows) {
        std::vector<std::vector<std::string_view>> variants;
        for (const Texts& texts : row.variants) variants.emplace_back(texts.begin(), texts.end());
        form.add_row(variants);
    }
    form.finish();
    return form;
}

// The model: the picked variants with the open cells put in, as a Table.
std::string model(const FormCase& c, const Fill& fill) {
    Table table;
    table.cols.resize(c.columns);
    for (std::size_t r = 0; r < c.rows.size(); ++r) {
        Texts texts = c.rows[r].variants[fill.picks[r]];
        texts.resize(c.columns);
        texts[c.open] = fill.open[r];
        table.add_row(texts);
    }
    return render(table);
}

std::string repeat(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

class FormDrawing : public ::testing::TestWithParam<FormCase> {};

// Every fill drawn in turn through one FormCells (kept buffers), by view
// and through its own store, and appended after existing text.
TEST_P(FormDrawing, DrawsAsRender) {
    const FormCase& c = GetParam();
    const TableForm form = make_form(c);
    FormCells cells;
    for (const Fill& fill : c.fills) {
        const std::string expected = model(c, fill);
        for (const bool written : {false, true}) {
            cells.start(form);
            for (std::size_t r = 0; r < fill.open.size(); ++r) {
                if (written) {
                    cells.add_written([&](std::string& out) { out += fill.open[r]; }, fill.picks[r]);
                } else {
                    cells.add(fill.open[r], fill.picks[r]);
                }
            }
            ASSERT_EQ(cells.drawn_size(), expected.size());
            std::string out = "before";
            cells.draw_into(out);
            EXPECT_EQ(out, "before" + expected) << (written ? "written" : "by view");
        }
    }
}

const std::vector<Texts> kYesNo = {{"k", "", "Yes", "Set?"}, {"k", "", "No", "Set?"}};

INSTANTIATE_TEST_SUITE_P(
    Forms, FormDrawing,
    ::testing::Values(FormCase{"open_middle_with_variants",
                               4,
                               1,
                               {{{{"Key", "", "Set", "Note"}}},
                                {kYesNo},
                                {{{"long key", "", "Yes", "x"}, {"long key", "", "No", "x"}}}},
                               {{{"Value", "1", "22"}, {0, 0, 1}},
                                {{"Value", "", ""}, {0, 1, 0}},
                                {{"V", "first\nsecond\r\nthird", "a\tb\u00A0c"}, {0, 1, 1}}}},
                      FormCase{"open_first_column",
                               3,
                               0,
                               {{{{"", "b", "c"}}}, {{{"", "dd\nee", "f"}}}},
                               {{{"open", "x"}, {0, 0}}, {{"", "wide open cell"}, {0, 0}}, {{"a\n\n", "\n"}, {0, 0}}}},
                      FormCase{"open_last_column",
                               3,
                               2,
                               {{{{"a", "b"}}}, {{{"c", "d\te"}}}},
                               {{{"x", "y"}, {0, 0}}, {{"中文", "\U0001F600 smile"}, {0, 0}}}},
                      FormCase{"open_only_column",
                               1,
                               0,
                               {{{{""}}}, {{{""}}}},
                               {{{"a", "b"}, {0, 0}}, {{"", ""}, {0, 0}}, {{"x\r", "\u3000y"}, {0, 0}}}},
                      FormCase{"fixed_cells_taller_than_open",
                               3,
                               1,
                               {{{{"1\n2\n3", "", "x\ny"}}}, {{{"a", "", "b\r\nc\n"}}}},
                               {{{"v", "w"}, {0, 0}}, {{"one\ntwo\nthree\nfour", "w\n"}, {0, 0}}}},
                      FormCase{"variants_of_different_heights",
                               3,
                               1,
                               {{{{"Key", "", "Set by User?"}}},
                                {{{"a", "", "Yes"}, {"a", "", "No\nreally"}}},
                                {{{"b", "", "Yes\n\nsure"}, {"b", "", "No"}}}},
                               {{{"Value", "1", "2"}, {0, 0, 0}},
                                {{"Value", "1", "2"}, {0, 1, 1}},
                                {{"Value", "1\n2\n3\n4", "x"}, {0, 1, 0}}}},
                      FormCase{"short_variants_completed_with_empty_cells",
                               4,
                               2,
                               {{{{"a", "bb", "", "dddd"}}}, {{{"e"}, {"e", "f"}}}},
                               {{{"c", "g"}, {0, 0}}, {{"c", "g"}, {0, 1}}}},
                      FormCase{"whitespace_rewritten_in_fixed_and_open_cells",
                               3,
                               1,
                               {{{{"a\tb", "", "c\u2028d  e"}}}, {{{"\tindent", "", "x\u200By"}}}},
                               {{{"p\vq\fr", "s\u0085t"}, {0, 0}}, {{"  lead", "trail\t"}, {0, 0}}}},
                      FormCase{"malformed_utf8_in_open_cell",
                               2,
                               1,
                               {{{{"k", ""}}}},
                               {{{std::string("\x80") + "a" + "\xC0\xAF" + "\xE2\x82"}, {0}}}},
                      FormCase{"wide_open_and_fixed_columns",
                               3,
                               1,
                               {{{{repeat("k", 130), "", "d"}}}, {{{"e", "", repeat("é", 300)}}}},
                               {{{repeat("v", 129), repeat("w\t", 200)}, {0, 0}}, {{"", ""}, {0, 0}}}}),
    [](const auto& info) { return std::string(info.param.name); });

void expect_fault(const std::function<void()>& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no fault, expected: " << message;
    } catch (const InternalFault& fault) {
        EXPECT_EQ(fault.what(), message);
    }
}

TEST(TableForm, RefusesWhatItCannotDrawAsRender) {
    expect_fault([] { TableForm form(2, 2); }, "form's open column is outside the table");
    expect_fault(
        [] {
            TableForm form(2, 0);
            form.finish();
        },
        "table cannot be empty");
    // Which variant is picked would decide the second column's width.
    expect_fault(
        [] {
            TableForm form(2, 0);
            form.add_row({{"", "Set"}});
            form.add_row({{"", "Yes!"}, {"", "No"}});
            form.finish();
        },
        "form column width depends on the variants picked");
    expect_fault(
        [] {
            TableForm form(2, 0);
            form.add_row({{"", "a"}});
            form.finish();
            form.add_row({{"", "b"}});
        },
        "form is already finished");
}

TEST(TableForm, RefusesDrawingsThatDoNotFitIt) {
    TableForm unfinished(2, 0);
    unfinished.add_row({{"", "a"}});
    TableForm form(2, 0);
    form.add_row({{"", "a"}, {"", "b"}});
    form.add_row({{"", "c"}});
    form.finish();
    FormCells cells;
    expect_fault([&] { cells.start(unfinished); }, "form is not finished");
    expect_fault(
        [&] {
            cells.start(form);
            cells.add("x", 2);
        },
        "form row has no such variant");
    expect_fault(
        [&] {
            cells.start(form);
            cells.add("x", 1);
            (void)cells.drawn_size();
        },
        "form drawing is missing rows");
    expect_fault(
        [&] {
            cells.start(form);
            cells.add("x", 1);
            cells.add("y");
            cells.add("z");
        },
        "more rows than the form has");
}

// TableCells kept between drawings of different shapes draws each as render
// does, a short last row completed.
TEST(TableCells, ReusedBetweenDrawings) {
    const std::vector<std::vector<Texts>> tables = {
        {{"a\tb", "c"}, {"dd\neee", "é"}},
        {{"x"}},
        {{"1", "2", "3"}, {"4"}},
        {{"", ""}, {"long\r\n", "\u3000"}},
    };
    TableCells cells;
    for (const auto& rows : tables) {
        Table table;
        for (const Texts& row : rows) table.add_row(row);
        const std::string expected = render(table);
        cells.start(table.cols.size());
        for (const Texts& row : rows) {
            for (const std::string& text : row) cells.add(text);
        }
        ASSERT_EQ(cells.drawn_size(), expected.size());
        std::string out = "kept";
        cells.draw_into(out);
        EXPECT_EQ(out, "kept" + expected);
    }
}

TEST(TableCells, RefusesEmptyDrawings) {
    TableCells no_columns;
    no_columns.start(0);
    TableCells no_cells;
    no_cells.start(3);
    for (TableCells* cells : {&no_columns, &no_cells}) {
        expect_fault([&] { (void)cells->drawn_size(); }, "table cannot be empty");
    }
}

}  // namespace
}  // namespace vora
