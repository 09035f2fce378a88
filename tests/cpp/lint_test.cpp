// The edit distance behind the suggestions, and the choice among candidates.
#include "lint/suggest.hpp"

#include <array>
#include <string>
#include <string_view>

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
                                           DistanceCase{"dataset", "datset", 1},    // deletion
                                           DistanceCase{"flaot", "float", 1},       // one swap
                                           DistanceCase{"ca", "abc", 3},            // restricted: no edit after a swap
                                           DistanceCase{"Model", "mODEL", 0},       // ASCII case is not counted
                                           DistanceCase{"μa", "ma", 1},             // characters, not bytes
                                           DistanceCase{"größe", "grösse", 2},
                                           DistanceCase{"kitten", "sitting", 3}));

TEST(Nearest, CaseOnlyFirstThenTheNearestWithinAThirdTiesToTheFirst) {
    constexpr std::array<std::string_view, 4> keys{"inputs", "outputs", "model", "models"};
    EXPECT_EQ(lint::nearest("MODELS", keys), 3u);
    EXPECT_EQ(lint::nearest("modelx", keys), 2u);      // one from model and from models: the first
    EXPECT_EQ(lint::nearest("inptus", keys), 0u);      // 6 characters allow 2
    EXPECT_EQ(lint::nearest("mdl", keys), std::nullopt);  // 3 characters allow 1; model is 2 away
    EXPECT_EQ(lint::nearest("x", std::array<std::string_view, 1>{"y"}), 0u);  // at least 1
    EXPECT_EQ(lint::nearest("xyz", std::array<std::string_view, 0>{}), std::nullopt);
    // A nearer candidate after a farther one, and a swap among the same letters.
    EXPECT_EQ(lint::nearest("optimizaton_level", std::array<std::string_view, 2>{"optimisation_levels", "optimization_level"}), 1u);
    EXPECT_EQ(lint::nearest("trageT_platfrom", std::array<std::string_view, 2>{"target_platforms", "target_platform"}), 1u);
    // Past 64 characters, and other letters than ASCII.
    const std::string long_key(70, 'k');
    EXPECT_EQ(lint::nearest(long_key + "x", std::array<std::string_view, 2>{"k", long_key}), 1u);
    EXPECT_EQ(lint::nearest("größe_ändern", std::array<std::string_view, 2>{"grösse_ändern", "größe_andern"}), 1u);
}

}  // namespace
}  // namespace vora
