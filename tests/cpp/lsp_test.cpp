#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lsp/document.hpp"
#include "lsp/findings.hpp"
#include "lsp/framing.hpp"

namespace vora::lsp {
namespace {

// A frame as the cases write it: 'B' a body, 'R' a refusal (its reason),
// 'E' the end.
struct Expected {
    char kind;
    std::string text;
};

std::vector<Expected> frames_of(const std::string& bytes, std::size_t step, FramingLimits limits) {
    Framer framer(limits);
    std::vector<Expected> frames;
    const auto take = [&](bool ended) {
        while (std::optional<Frame> frame = framer.next(ended)) {
            const char kind = frame->kind == Frame::Kind::Body ? 'B' : frame->kind == Frame::Kind::Refused ? 'R' : 'E';
            frames.push_back(Expected{kind, frame->text});
            if (kind == 'E') return;
        }
    };
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        framer.feed(std::string_view(bytes).substr(at, step));
        take(false);
    }
    take(true);
    return frames;
}

struct FramingCase {
    const char* name;
    std::string bytes;
    std::vector<Expected> frames;
};

const FramingLimits kSmall{64, 10};

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, GivesTheSameFramesWhateverTheReads) {
    const FramingCase& c = GetParam();
    for (const std::size_t step : {c.bytes.size() + 1, std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
        const std::vector<Expected> frames = frames_of(c.bytes, step, kSmall);
        ASSERT_EQ(frames.size(), c.frames.size()) << "reads of " << step;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].kind, c.frames[i].kind) << i << ", reads of " << step;
            EXPECT_EQ(frames[i].text, c.frames[i].text) << i << ", reads of " << step;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lsp, Framing,
    ::testing::Values(FramingCase{"two messages",
                                  "Content-Length: 2\r\n\r\n{}Content-Length: 3\r\n\r\n[1]",
                                  {{'B', "{}"}, {'B', "[1]"}, {'E', ""}}},
                      FramingCase{"other fields, any letter case",
                                  "Content-Type: x\r\ncontent-LENGTH:  4 \r\n\r\nnull",
                                  {{'B', "null"}, {'E', ""}}},
                      FramingCase{"an empty body", "Content-Length: 0\r\n\r\n", {{'B', ""}, {'E', ""}}},
                      FramingCase{"no length, then a message",
                                  "X: 1\r\n\r\nContent-Length: 1\r\n\r\n1",
                                  {{'R', "a header without a valid Content-Length"}, {'B', "1"}, {'E', ""}}},
                      FramingCase{"a length of 19 digits",
                                  "Content-Length: 1000000000000000000\r\n\r\n",
                                  {{'R', "a header without a valid Content-Length"}, {'E', ""}}},
                      FramingCase{"a body over the limit is skipped",
                                  "Content-Length: 11\r\n\r\n01234567890Content-Length: 1\r\n\r\n2",
                                  {{'R', "a body of 11 bytes (at most 10)"}, {'B', "2"}, {'E', ""}}},
                      FramingCase{"a header over the limit",
                                  "X: " + std::string(70, 'a') + "\r\n\r\nContent-Length: 1\r\n\r\n3",
                                  {{'R', "a header of more than 64 bytes"}, {'B', "3"}, {'E', ""}}},
                      FramingCase{
                          "garbage before a header", "}{\r\nContent-Length: 1\r\n\r\n4", {{'B', "4"}, {'E', ""}}},
                      FramingCase{"the input ends inside a body",
                                  "Content-Length: 5\r\n\r\nab",
                                  {{'R', "the input ended inside a body"}, {'E', ""}}},
                      FramingCase{"the input ends inside a header",
                                  "Content-Length: 5\r\n",
                                  {{'R', "the input ended inside a header"}, {'E', ""}}},
                      FramingCase{"nothing", "", {{'E', ""}}}),
    [](const ::testing::TestParamInfo<FramingCase>& info) {
        std::string name;
        for (const char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

// "a😀é\n" then "b": the emoji is 4 bytes and 2 UTF-16 units, é 2 bytes and 1 unit.
const std::string kText = "a\xF0\x9F\x98\x80\xC3\xA9\nb";

struct PositionCase {
    std::size_t offset;
    Position utf8;
    Position utf16;
};

TEST(LspDocument, PositionsOfOffsetsInBothEncodings) {
    const Document document(kText, 1);
    const PositionCase cases[] = {
        {0, {0, 0}, {0, 0}}, {1, {0, 1}, {0, 1}}, {5, {0, 5}, {0, 3}},
        {7, {0, 7}, {0, 4}}, {8, {1, 0}, {1, 0}}, {9, {1, 1}, {1, 1}},
    };
    for (const PositionCase& c : cases) {
        EXPECT_EQ(document.position(c.offset, Encoding::Utf8), c.utf8) << c.offset;
        EXPECT_EQ(document.position(c.offset, Encoding::Utf16), c.utf16) << c.offset;
        EXPECT_EQ(document.offset(c.utf8, Encoding::Utf8), c.offset) << c.offset;
        EXPECT_EQ(document.offset(c.utf16, Encoding::Utf16), c.offset) << c.offset;
    }
}

TEST(LspDocument, PositionsOutsideTheTextAreClamped) {
    const Document document(kText, 1);
    struct Case {
        Position position;
        Encoding encoding;
        std::size_t offset;
    };
    const Case cases[] = {
        {{0, 2}, Encoding::Utf16, 1},   // inside the surrogate pair: the emoji's start
        {{0, 3}, Encoding::Utf8, 1},    // inside its bytes
        {{0, 99}, Encoding::Utf16, 7},  // past the line's end: the line's end
        {{1, 99}, Encoding::Utf8, 9},   // past the last line's end
        {{5, 0}, Encoding::Utf8, 9},    // past the last line: the text's end
    };
    for (const Case& c : cases) EXPECT_EQ(document.offset(c.position, c.encoding), c.offset);
}

TEST(LspDocument, EditsKeepTheLinesInStep) {
    Document document(kText, 1);
    document.replace(7, 8, " x\n\ny");  // the line feed replaced: two more lines
    EXPECT_EQ(document.text(), "a\xF0\x9F\x98\x80\xC3\xA9 x\n\nyb");
    EXPECT_EQ(document.line_count(), 3u);
    EXPECT_EQ(document.line(2), "yb");
    EXPECT_EQ(document.position(document.text().size(), Encoding::Utf16), (Position{2, 2}));
    document.replace(std::string("one line"));
    EXPECT_EQ(document.line_count(), 1u);
}

TEST(LspConfiguration, IsToldByItsTopLevelTables) {
    constexpr TomlKind C = TomlKind::Configuration, O = TomlKind::OtherTool, U = TomlKind::Undecided;
    struct Case {
        const char* text;
        TomlKind kind;
    };
    const Case cases[] = {
        {"[config]\n", C},
        {"  [[load]]\n", C},
        {"[\"build\"]\n", C},
        {"config.remove_weight = true\n", C},
        {"export = { export_path = 'x' }\n", C},
        {"[config\n", C},  // being typed: still one
        {"", U},
        {"[Load]\n", C},  // check's rule: a misspelling of a section

        {"[other]\nconfig = 1\n", U},
        {"config = 1\n", C},  // a section of the wrong type: check reports it
        {"[config]\n[tool.x]\n", O},
        {"[build-system]\n[build]\n", O},
        {"[workspace]\n[load]\n", O},
        {"project.name = 'x'\n[config]\n", O},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toml_kind(c.text), c.kind) << c.text;
        EXPECT_EQ(is_configuration(c.text), c.kind == C) << c.text;
    }
}

}  // namespace
}  // namespace vora::lsp
