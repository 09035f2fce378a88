// Which TOML texts are configurations, what settings make of a finding, and
// the lexical paths the settings lookup walks: the functions a language
// server calls as check does.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "cli/settings.hpp"
#include "cli/walk.hpp"

namespace vora::cli {
namespace {

struct KindCase {
    std::string_view text;
    bool configuration;
};

class ConfigurationText : public ::testing::TestWithParam<KindCase> {};

TEST_P(ConfigurationText, HasASectionAndNoOtherToolsTable) {
    EXPECT_EQ(is_configuration_text(GetParam().text), GetParam().configuration) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationText,
    ::testing::Values(KindCase{"[config]\noptimization_level = 1\n", true}, KindCase{"[export]\n", true},
                      KindCase{"accuracy_analysis.inputs = []\n", true},  // a dotted key makes the table
                      KindCase{"", false}, KindCase{"title = 'x'\n", false},
                      KindCase{"[Config]\n", true},  // a misspelled section: its error is reported
                      KindCase{"[confg]\n", true}, KindCase{"[dependencies]\n", false},
                      KindCase{"[config]\n[tool.x]\n", false}, KindCase{"[project]\n[load]\n", false},
                      KindCase{"[[package]]\nname = 'x'\n[build]\n", false}, KindCase{"[build-system]\n", false},
                      KindCase{"[workspace]\n", false},
                      // No TOML: its headers tell.
                      KindCase{"[config\n", true}, KindCase{"  [build.x]\nkey = = 1\n", true},
                      KindCase{"[[config]]\n[config]\n", true}, KindCase{"[tool.vora-config\n", false},
                      KindCase{"[config]\n[package\n", false}, KindCase{"x = = 1\n", false}));

struct KeepCase {
    lint::Code code;
    std::string_view relative;
    bool kept;
};

class Filter : public ::testing::TestWithParam<KeepCase> {};

TEST_P(Filter, SelectIgnoreAndPerFileIgnores) {
    CodeFilter filter;
    filter.select = std::vector<lint::Code>{lint::kUnknownKey, lint::kOutOfRange, lint::kMissingFile};
    filter.ignore = {lint::kMissingFile};
    filter.per_file_ignores = {{"legacy/*", {lint::kUnknownKey}}, {"w.toml", {lint::kOutOfRange}}};
    EXPECT_EQ(filter.keeps(GetParam().code, GetParam().relative), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, Filter,
                         ::testing::Values(KeepCase{lint::kUnknownKey, "a.toml", true},
                                           KeepCase{lint::kEmptyValue, "a.toml", false},   // not selected
                                           KeepCase{lint::kMissingFile, "a.toml", false},  // ignored
                                           KeepCase{lint::kParseError, "a.toml", true},    // never dropped
                                           KeepCase{lint::kReadError, "legacy/a.toml", true},
                                           KeepCase{lint::kUnknownKey, "legacy/a.toml", false},
                                           KeepCase{lint::kUnknownKey, "legacy/deep/a.toml", false},  // * crosses /
                                           KeepCase{lint::kOutOfRange, "legacy/a.toml", true},
                                           KeepCase{lint::kOutOfRange, "sub/w.toml", false},  // by its name
                                           KeepCase{lint::kOutOfRange, "sub/xw.toml", true}));

TEST(Paths, AbsoluteFoldersAndRelative) {
    EXPECT_EQ(absolute_path("/a/./b//c/../d"), "/a/b/d");
    EXPECT_EQ(absolute_path("/.."), "/");
    EXPECT_EQ(folder_of("a/b.toml"), "a");
    EXPECT_EQ(folder_of("b.toml"), ".");
    EXPECT_EQ(folder_of("/b.toml"), "/");
    EXPECT_EQ(relative_to("/a/b/c.toml", "/a"), "b/c.toml");
    EXPECT_EQ(relative_to("/ab/c.toml", "/a"), "/ab/c.toml");
    EXPECT_EQ(relative_to("/c.toml", "/"), "c.toml");
}

TEST(Settings, EachFaultAtItsPlaceTheRestRead) {
    const auto file =
        read_settings("s.toml", "/p", "ignore = ['unknown-key', 'nope']\nstrict = 1\nfiles = false\n", "");
    ASSERT_TRUE(file);
    ASSERT_EQ(file->findings.size(), 2u);
    EXPECT_EQ(file->findings[0].code, lint::kUnknownCode);
    EXPECT_EQ(file->findings[0].range->begin, 25u);
    EXPECT_EQ(file->findings[1].code, lint::kBadSetting);
    EXPECT_EQ(file->findings[1].range->begin, 42u);
    EXPECT_EQ(file->settings.codes.ignore, std::vector<lint::Code>{lint::kUnknownKey});
    EXPECT_FALSE(file->settings.strict);
    EXPECT_EQ(file->settings.files, false);
    // A pyproject.toml without the table holds no settings.
    EXPECT_FALSE(read_settings("pyproject.toml", "/p", "[project]\n", "tool.vora-config"));
}

}  // namespace
}  // namespace vora::cli
