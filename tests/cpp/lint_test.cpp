// The edit distance behind the suggestions, and the choice among candidates.
#include "lint/suggest.hpp"

#include "lint/codes.hpp"

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

}  // namespace
}  // namespace vora
