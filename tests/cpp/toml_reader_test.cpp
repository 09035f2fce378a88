// The TOML reader on its own: messages and positions of syntax errors, spans,
// exact values, the rules on defining tables, and the nesting bound.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/toml_spans.hpp"
#include "toml/parser.hpp"
#include "toml/toml.hpp"

namespace vora::toml {
namespace {

std::string located(const Result& r) {
    if (const auto* e = std::get_if<Error>(&r)) {
        return std::to_string(e->span.begin.line) + ":" + std::to_string(e->span.begin.column) + " " + e->message;
    }
    return "accepted";
}

// The error's other place: "[begin, end) label", or "" when it has none.
std::string related(const Result& r) {
    const auto* e = std::get_if<Error>(&r);
    if (!e || !e->related) return "";
    std::string out(1, '[');
    out += std::to_string(e->related->begin);
    out += ", ";
    out += std::to_string(e->related->end);
    out += ") ";
    out += e->related->label;
    return out;
}

struct SyntaxCase {
    const char* name;
    std::string text;
    std::string error;         // "line:column message"
    std::string related = "";  // as related() gives it
};

class ReaderErrors : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(ReaderErrors, FirstErrorWithItsPosition) {
    const Result result = parse(GetParam().text);
    EXPECT_EQ(located(result), GetParam().error);
    EXPECT_EQ(related(result), GetParam().related);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ReaderErrors,
    ::testing::Values(
        SyntaxCase{"missing_value", "a = \n", "1:5 expected a value, found a line break"},
        SyntaxCase{"missing_equals", "a 1\n", "1:3 expected `=` after the key, found `1`"},
        SyntaxCase{"two_values", "a = 1 2\n", "1:7 expected a line break or a comment after the value, found `2`"},
        SyntaxCase{"array_comma", "a = [1,,2]", "1:8 expected a value, found `,`"},
        SyntaxCase{"array_unclosed", "a = [1\n",
                   "2:1 expected `,` or `]` after an array element, found the end of the file", "[4, 5) opened here"},
        SyntaxCase{"array_unclosed_before_a_key", "a = [[1, 2],\n  [3\nb = 1\n",
                   "3:1 expected `,` or `]` after an array element, found `b`", "[15, 16) opened here"},
        SyntaxCase{"array_ends_after_a_comma", "x = 1\na = [1,", "2:8 expected a value, found the end of the file",
                   "[10, 11) opened here"},
        SyntaxCase{"inline_unclosed", "a = {x = [1]",
                   "1:13 expected `,` or `}` after a value in an inline table, found the end of the file",
                   "[4, 5) opened here"},
        SyntaxCase{"array_unclosed_before_a_header", "a = [1, 2\n[build]\n",
                   "2:1 expected `,` or `]` after an array element, found `[`", "[4, 5) opened here"},
        // An array that is closed later has no note.
        SyntaxCase{"inline_separator", "a = {x = 1 y = 2}",
                   "1:12 expected `,` or `}` after a value in an inline table, found `y`"},
        SyntaxCase{"array_element_missing", "a = [\n  1,\n  ,\n]", "3:3 expected a value, found `,`"},
        SyntaxCase{"non_ascii_bare_key", "[t]\n\"μ\".a = 1\nμ.b = 2\n",
                   "3:1 a bare key may only hold ASCII letters, digits, `-` and `_`, found `μ`; put keys with other "
                   "characters in quotes"},
        SyntaxCase{"plus_in_header_key", "[a+b]",
                   "1:3 a bare key may only hold ASCII letters, digits, `-` and `_`, "
                   "found `+`; put keys with other characters in quotes"},
        SyntaxCase{"hex_float", "a = [1, 0x1p3]", "1:9 hexadecimal floats are not allowed"},
        SyntaxCase{"signed_hex", "a = -0x10", "1:5 a hexadecimal, octal or binary integer may not have a sign"},
        SyntaxCase{"leading_zero", "a = 007", "1:5 invalid number: leading zeros are not allowed"},
        SyntaxCase{"lone_underscore", "a = 1__0", "1:6 invalid number: `_` must stand between two digits"},
        SyntaxCase{"overlong_integer", "a = " + std::string(140, '9'), "1:5 integer number overflowed"},
        SyntaxCase{"below_i64", "a = -9223372036854775809", "1:5 integer number overflowed"},
        SyntaxCase{"above_u64", "a = 0x1_0000_0000_0000_0000", "1:5 integer number overflowed"},
        SyntaxCase{"float_overflow", "a = 1e309", "1:5 floating-point number overflowed"},
        SyntaxCase{"bad_escape", "a = \"x\\qy\"",
                   "1:7 invalid escape sequence `\\q`; the escapes are \\b \\t \\n \\f "
                   "\\r \\e \\\" \\\\ \\xHH \\uHHHH \\UHHHHHHHH"},
        SyntaxCase{"surrogate_escape", "a = \"\\uDC00\"",
                   "1:6 invalid escape sequence: \\uDC00 is not a Unicode scalar value"},
        SyntaxCase{"unterminated", "a = \"abc\nb = 1",
                   "1:5 unterminated string: expected `\"` before the end of the line"},
        SyntaxCase{"control_in_string", "a = \"\x01\"", "1:6 the control character U+0001 must be escaped in a string"},
        SyntaxCase{"control_in_comment", "a = 1 # \x7F", "1:9 comments may not hold the control character U+007F"},
        SyntaxCase{"lone_cr", "a = 1\r",
                   "1:6 expected a line break or a comment after the value, found the control "
                   "character U+000D"},
        SyntaxCase{"multiline_key", "\"\"\"a\"\"\" = 1", "1:1 a key may not be a multi-line string"},
        SyntaxCase{"feb_29", "d = 2023-02-29", "1:13 invalid date: 2023-02-29 does not exist"},
        SyntaxCase{"hour", "t = 24:00", "1:5 invalid time: the hour must be 00 to 23"},
        SyntaxCase{"offset_on_local_time", "t = 07:32Z", "1:10 invalid date-time: unexpected `Z`"},
        SyntaxCase{"duplicate_key", "a = 1\n'a' = 2", "2:1 duplicate key a", "[0, 1) first defined here"},
        SyntaxCase{"duplicate_key_in_a_table", "[t]\nx.y = 1\nz = 0\nx.y = 2", "4:3 duplicate key t.x.y",
                   "[6, 7) first defined here"},
        SyntaxCase{"duplicate_inline_key", "a = {b = 1, \"b\" = 2}", "1:13 duplicate key b in an inline table",
                   "[5, 6) first defined here"},
        SyntaxCase{"table_twice", "[a]\n[\"a\"]", "2:2 table a is defined more than once", "[0, 3) first defined here"},
        SyntaxCase{"dotted_then_header", "a.b.c = 1\n[a.b]", "2:4 table a.b is defined more than once",
                   "[2, 3) first defined here"},
        SyntaxCase{"header_then_dotted", "[a.b]\n[a]\nb.c = 1",
                   "3:1 cannot add keys to table a.b here: it is defined by its own [a.b] header"},
        SyntaxCase{"extend_inline", "a = {b = 1}\n[a.c]",
                   "2:2 cannot add to a: it is an inline table, closed when written"},
        SyntaxCase{"extend_inline_dotted", "x = {a = {b = 1}, a.c = 2}",
                   "1:19 cannot add keys to a: it is an inline table, closed when written"},
        SyntaxCase{"array_then_table", "a = []\n[[a]]", "2:3 cannot add to a: it is an array written as a value"},
        SyntaxCase{"table_then_array", "[a]\n[[a]]",
                   "2:3 cannot define a as an array of tables: it is already a table"},
        SyntaxCase{"value_as_table", "a = 1\n[a.b]", "2:2 cannot use a as a table: it already holds a value"},
        // The first error in the text wins, whatever kind it is.
        SyntaxCase{"first_in_file_order", "a = 1\nb = 0x1.0p1\nc = [\nd = 99999999999999999999\n",
                   "2:5 hexadecimal floats are not allowed"},
        SyntaxCase{"bad_utf8", "a = \"\xC3\x28\"", "1:6 the text is not valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Reader, TableRulesThatHold) {
    // Reopening and extending tables the ways TOML allows.
    for (std::string_view text : {
             "[a.b.c]\n[a]\nd = 1\n",                // a header defines an implicitly opened table
             "[a.b.c]\n[a]\nb.d = 1\n",              // a dotted key extends a table opened by a header path
             "a.b = 1\n[a.c]\n",                     // a header adds a sub-table to a dotted table
             "[[a]]\n[a.b]\nx = 1\n[[a]]\n[a.b]\n",  // each element of an array of tables has its own sub-tables
             "x = {a.b = 1, a.c = 2}\n",             // dotted keys extend each other inside one inline table
             "x = {\n  a = 1, # comment\n  b = 2,\n}\n",
         }) {
        EXPECT_EQ(located(parse(text)), "accepted") << text;
    }
}

TEST(Reader, SpansOfKeysAndValues) {
    const std::string text =
        "\xEF\xBB\xBF# é\r\n[t.\"ü\"]\r\nkey = \"vä\"\r\nl = [1, { x = 2 }]\n[[aot]]\nn.m = 1979-05-27\n";
    auto result = parse(text);
    ASSERT_TRUE(std::holds_alternative<Document>(result)) << located(result);
    const Document& doc = std::get<Document>(result);
    const Table root = doc.root_table();
    const Table t = root.get("t").as_table();
    const Value u = t.get("ü");
    EXPECT_EQ(toml_test::span(doc, u), (Span{{2, 1}, {2, 8}}));  // the header that defines it
    const Member key = *u.as_table().member("key");
    EXPECT_EQ(toml_test::key_span(key), (Span{{3, 1}, {3, 4}}));
    EXPECT_EQ(toml_test::span(doc, key.value), (Span{{3, 7}, {3, 11}}));  // columns count characters
    EXPECT_EQ(key.value.as_string(), "vä");
    const Value l = u.as_table().get("l");
    EXPECT_EQ(toml_test::span(doc, l), (Span{{4, 5}, {4, 19}}));
    const Value inner = *std::next(l.as_array().begin());
    EXPECT_EQ(toml_test::span(doc, inner), (Span{{4, 9}, {4, 18}}));
    EXPECT_EQ(toml_test::key_span(*inner.as_table().member("x")), (Span{{4, 11}, {4, 12}}));
    const Value aot = root.get("aot");
    ASSERT_TRUE(aot.is_array());
    const Value element = *aot.as_array().begin();
    EXPECT_EQ(toml_test::span(doc, element), (Span{{5, 1}, {5, 8}}));
    const Value n = element.as_table().get("n");
    EXPECT_EQ(toml_test::span(doc, n),
              (Span{{6, 1}, {6, 2}}));  // opened by the dotted key: the key part that opened it
    const Value date = n.as_table().get("m");
    EXPECT_EQ(date.type(), Type::LocalDate);
    EXPECT_EQ(toml_test::span(doc, date), (Span{{6, 7}, {6, 17}}));
    // Entries keep the order of their first definition.
    std::string order;
    for (const Member& m : root) order += std::string(m.key) + ",";
    EXPECT_EQ(order, "t,aot,");
}

TEST(Reader, ExactValues) {
    const std::string long_float = "0." + std::string(300, '3') + "e1";
    const std::string text =
        "u = 18446744073709551615\ns = -9223372036854775808\nh = 0xFFFF_FFFF_FFFF_FFFF\n"
        "b = +9223372036854775808\nf = " +
        long_float +
        "\nsub = 5e-324\nunder = -1e-400\n"
        "ml = \"\"\"\\\n   a\\\n\xC2\xA0"
        "b\\ \t\r\n\r\n  c\"\"\"\n"
        "crlf = '''\r\nx\r\ny'''\nq = \"\"\"\"\"a\"\"\"\"\"\nesc = \"\\e\\x41\\u00e9\\U0001F600\"\n"
        "t = 07:32\nodt = 1979-05-27 07:32:00.9999999999-07:30\n";
    auto result = parse(text);
    ASSERT_TRUE(std::holds_alternative<Document>(result)) << located(result);
    const Table root = std::get<Document>(result).root_table();
    EXPECT_TRUE(root.get("u").is_wide());
    EXPECT_EQ(root.get("u").as_unsigned(), 18446744073709551615ull);
    EXPECT_EQ(root.get("s").as_signed(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(root.get("h").as_unsigned(), 18446744073709551615ull);
    EXPECT_EQ(root.get("b").as_unsigned(), 9223372036854775808ull);
    EXPECT_EQ(root.get("f").as_float(), 3.3333333333333335);
    EXPECT_EQ(root.get("sub").as_float(), 5e-324);
    EXPECT_TRUE(std::signbit(root.get("under").as_float()) && root.get("under").as_float() == 0.0);
    // A line-ending backslash drops spaces, tabs and line breaks only.
    EXPECT_EQ(root.get("ml").as_string(),
              "a\xC2\xA0"
              "bc");
    EXPECT_EQ(root.get("crlf").as_string(), "x\ny");
    EXPECT_EQ(root.get("q").as_string(), "\"\"a\"\"");
    EXPECT_EQ(root.get("esc").as_string(),
              "\x1B"
              "A\xC3\xA9\xF0\x9F\x98\x80");
    const DateTime t = root.get("t").as_date_time();
    EXPECT_EQ(root.get("t").type(), Type::LocalTime);
    EXPECT_EQ(t.hour * 100 + t.minute, 732);
    EXPECT_FALSE(t.has_seconds);
    const DateTime odt = root.get("odt").as_date_time();
    EXPECT_EQ(root.get("odt").type(), Type::OffsetDateTime);
    EXPECT_EQ(odt.nanosecond, 999999999u);  // truncated, not rounded
    EXPECT_EQ(odt.offset_minutes, -450);
}

TEST(Reader, NestingIsBoundedWithAPosition) {
    const std::string ok = "a = " + std::string(4095, '[') + std::string(4095, ']');
    EXPECT_EQ(located(parse(ok)), "accepted");
    const std::string deep = "a = " + std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(located(parse(deep)), "1:4101 tables and arrays may nest at most 4096 levels deep");
    EXPECT_EQ(located(parse("a.b.c.d = 1", Options{.max_depth = 2})),
              "1:5 tables and arrays may nest at most 2 levels deep");
    EXPECT_EQ(located(parse("[[a]]\nb = [{c = 1}]", Options{.max_depth = 3})),
              "2:6 tables and arrays may nest at most 3 levels deep");
}

std::string repeated(std::string_view part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// The room the parser takes from the start: each text needs every kind of
// byte the bound counts (without it the bound falls short by a hundred).
struct BoundCase {
    const char* name;
    std::string text;
    std::size_t nodes, entries;  // what the document makes
};

class ArenaBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(ArenaBound, HoldsTheDocument) {
    const BoundCase& c = GetParam();
    const Result result = parse(c.text);
    ASSERT_EQ(located(result), "accepted");
    const Document& doc = std::get<Document>(result);
    EXPECT_EQ(doc.node_count(), c.nodes);
    EXPECT_EQ(doc.entry_count(), c.entries);
    const Bound bound = arena_bound(c.text);
    EXPECT_LE(doc.node_count(), bound.nodes);
    EXPECT_LE(doc.entry_count(), bound.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ArenaBound,
    ::testing::Values(BoundCase{"elements", "a = [1" + repeated(",1", 100) + "]", 103, 1},
                      BoundCase{"nested_arrays", "a = " + repeated("[", 100) + repeated("]", 100), 101, 1},
                      BoundCase{"inline_tables", "x = [" + repeated("{a = 1},", 100) + "]", 202, 101},
                      BoundCase{"dotted_key", "a" + repeated(".b", 100) + " = 1", 102, 101},
                      BoundCase{"table_arrays", repeated("[[t]]\n", 100), 102, 1},
                      BoundCase{"headers", "[t.u]\n[t.u.v]\n" + repeated("[[s.x]]\n", 100), 106, 5},
                      // Past 64 KiB the parser reserves the bound itself.
                      BoundCase{"large", "a = [[1]" + repeated(", [1]", 20000) + "]", 40004, 1}),
    [](const ::testing::TestParamInfo<BoundCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vora::toml
