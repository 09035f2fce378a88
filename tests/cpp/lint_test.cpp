// The edit distance behind the suggestions, and the choice among candidates;
// the findings of check_text in file order and their settled fixes.
#include "lint/suggest.hpp"

#include "lint/codes.hpp"
#include "lint/lint.hpp"
#include "lint/phrases.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace vora {
namespace {

struct DistanceCase {
    std::string_view a, b;
    std::size_t distance;
};

class EditDistance : public ::testing::TestWithParam<DistanceCase> {};

TEST_P(EditDistance, BothWays) {
    EXPECT_EQ(lint::edit_distance(GetParam().a, GetParam().b), GetParam().distance);
    EXPECT_EQ(lint::edit_distance(GetParam().b, GetParam().a), GetParam().distance);
}

INSTANTIATE_TEST_SUITE_P(Cases, EditDistance,
                         ::testing::Values(DistanceCase{"", "", 0}, DistanceCase{"", "abc", 3},
                                           DistanceCase{"dataset", "datset", 1},  // deletion
                                           DistanceCase{"flaot", "float", 1},     // one swap
                                           DistanceCase{"ca", "abc", 3},          // restricted: no edit after a swap
                                           DistanceCase{"Model", "mODEL", 0},     // ASCII case is not counted
                                           DistanceCase{"μa", "ma", 1},           // characters, not bytes
                                           DistanceCase{"größe", "grösse", 2}, DistanceCase{"kitten", "sitting", 3}));

TEST(Nearest, CaseOnlyFirstThenTheNearestWithinAThirdTiesToTheFirst) {
    constexpr std::array<std::string_view, 4> keys{"inputs", "outputs", "model", "models"};
    EXPECT_EQ(lint::nearest("MODELS", keys), 3u);
    EXPECT_EQ(lint::nearest("modelx", keys), 2u);         // one from model and from models: the first
    EXPECT_EQ(lint::nearest("inptus", keys), 0u);         // 6 characters allow 2
    EXPECT_EQ(lint::nearest("mdl", keys), std::nullopt);  // 3 characters allow 1; model is 2 away
    EXPECT_EQ(lint::nearest("x", std::array<std::string_view, 1>{"y"}), 0u);  // at least 1
    EXPECT_EQ(lint::nearest("xyz", std::array<std::string_view, 0>{}), std::nullopt);
    // A nearer candidate after a farther one, and a swap among the same letters.
    EXPECT_EQ(lint::nearest("optimizaton_level",
                            std::array<std::string_view, 2>{"optimisation_levels", "optimization_level"}),
              1u);
    EXPECT_EQ(lint::nearest("trageT_platfrom", std::array<std::string_view, 2>{"target_platforms", "target_platform"}),
              1u);
    // Past 64 characters, and other letters than ASCII.
    const std::string long_key(70, 'k');
    EXPECT_EQ(lint::nearest(long_key + "x", std::array<std::string_view, 2>{"k", long_key}), 1u);
    EXPECT_EQ(lint::nearest("größe_ändern", std::array<std::string_view, 2>{"grösse_ändern", "größe_andern"}), 1u);
}

// One search gives the nearest and whether it is the single nearest, with
// the bounds it sets candidates aside by (length, kinds of character)
// never changing the answer.
struct MatchCase {
    std::string_view word;
    std::vector<std::string_view> candidates;
    std::optional<std::size_t> nearest;
    bool single;
};

class Match : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Match, NearestAndWhetherSingle) {
    const lint::Vocabulary::Match found = lint::Vocabulary(GetParam().candidates).match(GetParam().word);
    EXPECT_EQ(found.nearest, GetParam().nearest);
    EXPECT_EQ(found.single, GetParam().single);
    EXPECT_EQ(lint::single_nearest(GetParam().word, GetParam().candidates),
              GetParam().single ? GetParam().nearest : std::nullopt);
}

std::vector<std::string_view> many_then(std::string_view last) {
    static const std::vector<std::string> fillers = [] {
        std::vector<std::string> f;
        for (int i = 0; i < 70; ++i) f.push_back("zzqq" + std::to_string(i));
        return f;
    }();
    std::vector<std::string_view> words(fillers.begin(), fillers.end());
    words.push_back(last);
    return words;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Match,
    ::testing::Values(MatchCase{"modelx", {"model", "models"}, 0u, false},     // as near: not single
                      MatchCase{"MODEL", {"Model", "model"}, 0u, true},        // case only: always single
                      MatchCase{"datset", {"dataset", "data_set"}, 0u, true},  // one away, the other two
                      MatchCase{"aaab", {"bbba", "aaba"}, 1u, true},           // same letters, counted
                      MatchCase{"unknown_key_7", {"mean_values", "std_values"}, std::nullopt, false},
                      MatchCase{"zzqq69x", many_then("zzqq69"), 69u, false},  // ties across 64 words
                      MatchCase{"outptus", many_then("outputs"), 70u, true},  // past the first 64
                      MatchCase{"model", {"modes", "MODEL"}, 1u, true},       // case only wins over one nearer first
                      MatchCase{"abcdefgh", {"abcdefhg", "abcdefgx", "abcdefg"}, 0u, false},   // swap, change, deletion
                      MatchCase{"abcdefgh", {"abcdxyzw", "abcdefxy", "abcdefyx"}, 1u, false},  // farther first, a tie
                      MatchCase{"abcdef", {"abcdxy"}, 0u, true},               // two changes: four classes differ
                      MatchCase{"abcdef", {"abxyzf"}, std::nullopt, false}));  // three: past the limit of two

// Every code is found by its name; a name of no code is none, never another code.
TEST(CodeNamed, EveryNameAndNoOther) {
    for (const lint::CodeInfo& info : lint::kCodeTable) {
        const std::optional<lint::Code> code = lint::code_named(info.name);
        ASSERT_TRUE(code);
        EXPECT_EQ(code->id(), info.id);
        EXPECT_EQ(code->text(), info.name);
    }
    for (const std::string_view name : {"", "typo", "unknown-keys", "Unknown-Key", "unknown_key", "unknown-key "}) {
        EXPECT_FALSE(lint::code_named(name)) << name;
    }
}

// A finding in a line of its own: "code@begin", its fix ("certain:" or
// "suggestion:" and the replacement), the section it was checked as and
// whether it is silenced.
std::string described(const lint::Finding& finding) {
    std::string out(finding.code.text());
    if (finding.range) out += "@" + std::to_string(finding.range->begin);
    if (finding.fix) {
        out += lint::certain(finding) ? " certain:" : " suggestion:";
        out += finding.fix->edit.replacement;
    }
    if (finding.as_section) out += " as " + *finding.as_section;
    if (finding.silenced) out += " silenced";
    return out;
}

std::vector<std::string> described(const lint::Findings& findings) {
    std::vector<std::string> out;
    for (const lint::Finding& finding : findings) out.push_back(described(finding));
    return out;
}

struct SettledCase {
    std::string_view text;
    std::vector<std::string> findings;
};

class Settled : public ::testing::TestWithParam<SettledCase> {};

// Every caller of check_text sees the fixes `check --fix` makes as certain,
// and the rest as suggestions, whatever format it writes.
TEST_P(Settled, FixesAreDecidedWhereTheFindingsAreMade) {
    EXPECT_EQ(described(lint::check_text(GetParam().text)), GetParam().findings);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Settled,
    ::testing::Values(
        SettledCase{"[config]\nOptimization_Level = 2\nfoo = 1\n",
                    {"unknown-key@9 certain:optimization_level", "unknown-key@32"}},
        // Under the key meant the value would not load: only a suggestion.
        SettledCase{"[config]\nOptimization_Level = 'high'\n", {"unknown-key@9 suggestion:optimization_level"}},
        // Two keys renamed to one, and the key meant set already.
        SettledCase{"[config]\nMean_Values = [1]\nmean_value = [2]\n",
                    {"unknown-key@9 suggestion:mean_values", "unknown-key@27 suggestion:mean_values"}},
        SettledCase{"[config]\nmean_value = [1]\nmean_values = [2]\n", {"unknown-key@9 suggestion:mean_values"}},
        // Near two keys alike; written quoted.
        SettledCase{"[config]\n'med_values' = [1]\n", {"unknown-key@9 suggestion:mean_values"}},
        SettledCase{"[config]\n'Mean_Values' = [1]\n", {"unknown-key@9 certain:mean_values"}},
        // A silenced finding's fix is never made.
        SettledCase{"[config]\nOptimization_Level = 2 # vora-config: ignore\n",
                    {"unknown-key@9 suggestion:optimization_level silenced"}},
        SettledCase{"[config]\nquantized_algorithm = 'MMSE' # vora-config: ignore\n",
                    {"unknown-choice@31 suggestion:mmse silenced"}},
        // The keys of a misspelled section wait for its rename; its values'
        // corrections that loading needs are made with it.
        SettledCase{"[CONFIG]\nOptimization_Level = 2\nquantized_algorithm = 'MMSE'\nzz = 1\n",
                    {"unknown-section@1 certain:config", "unknown-key@9 suggestion:optimization_level as config",
                     "unknown-choice@54 suggestion:mmse as config", "unknown-key@61 as config"}},
        SettledCase{"[Load]\nmodel_type = 'onnx'\n",
                    {"unknown-section@1 certain:load", "load-error@20 certain:Onnx as load"}},
        SettledCase{"a = [\n", {"parse-error@6"}}));

// The records of unknown names go among the findings held whole in file
// order, though the walk of the tree meets [config.sub] before [build]; an
// error of writing comes last.
TEST(Findings, RecordsAndWholeFindingsInFileOrder) {
    constexpr std::string_view text =
        "[config]\nk1 = 1\n[build]\nvora_batch_size = 0 # vora-config: ignore[nope]\nk2 = 1\n[config.sub]\n";
    lint::Findings findings = lint::check_text(text);
    findings.push_back(lint::Finding{lint::Severity::Error, lint::kWriteError, "cannot write"});
    const std::vector<std::string> expected{"unknown-key@9",  "out-of-range@42", "unknown-code@66",
                                            "unknown-key@72", "unknown-key@87",  "write-error"};
    EXPECT_EQ(described(findings), expected);
    std::vector<std::string> listed;
    for (const lint::Finding& finding : findings.list()) listed.push_back(described(finding));
    EXPECT_EQ(listed, expected);
    const lint::Findings::Counts counts = findings.counts();
    // vora_batch_size = 0 is an error: no conversion runs with no sample in a batch.
    EXPECT_EQ(std::tuple(counts.errors, counts.warnings, counts.silenced), std::tuple(5u, 1u, 0u));
    const std::vector<lint::Finding> all = findings.list();
    EXPECT_EQ(all[4].message, "`sub` is not a key of [config]; the converter ignores it");
    EXPECT_EQ(all[4].range->end, 90u);
}

// A record's finding is silenced like any other, and counted so.
TEST(Findings, RecordsSilencedAndCounted) {
    const lint::Findings findings =
        lint::check_text("[config]\nk1 = 1 # vora-config: ignore[unknown-key]\nk2 = 1\nk3 = 1 # vora-config: ignore\n");
    EXPECT_EQ(described(findings),
              (std::vector<std::string>{"unknown-key@9 silenced", "unknown-key@51", "unknown-key@58 silenced"}));
    const lint::Findings::Counts counts = findings.counts();
    EXPECT_EQ(std::tuple(counts.errors, counts.warnings, counts.silenced), std::tuple(1u, 0u, 2u));
}

// Of edits at one place only the first is made; one outside the text or of
// a silenced finding is none: the rest stay suggestions, and applying the
// fixes makes only the certain ones.
TEST(Findings, SettlingLeavesOverlapsAndSilencedOnesSuggestions) {
    constexpr std::string_view text = "[config]\nx = 1\ny = 2\n";
    std::vector<lint::Finding> made;
    const auto add = [&](std::size_t begin, std::size_t end, std::string replacement, bool silenced = false) {
        lint::Finding& finding = made.emplace_back(lint::Severity::Error, lint::kUnknownKey, begin, end);
        finding.fix = lint::Fix{lint::Applicability::Certain, lint::Edit{begin, end, std::move(replacement)}};
        finding.silenced = silenced;
    };
    add(9, 10, "a");
    add(9, 10, "b");  // the same bytes again
    add(15, 16, "c");
    add(15, 16, "d", true);
    add(30, 31, "e");  // past the end
    lint::Findings findings(std::move(made));
    lint::settle_fixes(text, findings);
    EXPECT_EQ(
        described(findings),
        (std::vector<std::string>{"unknown-key@9 certain:a", "unknown-key@9 suggestion:b", "unknown-key@15 certain:c",
                                  "unknown-key@15 suggestion:d silenced", "unknown-key@30 suggestion:e"}));
    EXPECT_EQ(lint::apply_fixes(text, findings), "[config]\na = 1\nc = 2\n");
}

}  // namespace
}  // namespace vora
