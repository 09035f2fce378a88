// The choices and examples declared beside each key against those its
// description names: the summary, the schema and `init` show the
// description, while `check`, the schema and `init` act on the declaration.
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "configuration/structs.hpp"

namespace vora {
namespace {

struct Named {
    std::vector<std::string> items;
    bool open = false;
    std::string example;
};

// What a description names: the first bracketed list outside "(e.g. ...)"
// (ending in "..." when open), and the example in "(e.g. ...)".
Named named_in(std::string_view description) {
    Named named;
    const std::size_t example = description.find("(e.g. ");
    const std::size_t example_end = description.find(')', example);
    if (example != std::string_view::npos) named.example = description.substr(example + 6, example_end - example - 6);
    std::size_t at = 0;
    while ((at = description.find('[', at)) != std::string_view::npos) {
        const std::size_t close = description.find(']', at);
        if (example != std::string_view::npos && at > example && at < example_end) {
            at = close + 1;
            continue;
        }
        std::string_view list = description.substr(at + 1, close - at - 1);
        while (!list.empty()) {
            const std::size_t comma = list.find(',');
            std::string_view item = list.substr(0, comma);
            list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
            while (item.starts_with(' ')) item.remove_prefix(1);
            if (item == "...") {
                named.open = true;
            } else {
                named.items.emplace_back(item);
            }
        }
        break;
    }
    return named;
}

struct Declared {
    std::string key;
    std::string description;
    Named named;
};

template <class Record>
void declared_of(std::vector<Declared>& out) {
    for_each_field<Record>([&](const auto& f, std::size_t) {
        Named named{{f.choices.items().begin(), f.choices.items().end()}, f.choices.open, std::string(f.example)};
        out.push_back(Declared{std::string(Record::name) + "." + std::string(f.key), std::string(f.description),
                               std::move(named)});
    });
}

std::vector<Declared> every_key() {
    std::vector<Declared> keys;
    declared_of<ConfigConfig>(keys);
    declared_of<OnnxLoadConfig>(keys);
    declared_of<BuildConfig>(keys);
    declared_of<AccuracyAnalysisConfig>(keys);
    declared_of<ExportConfig>(keys);
    return keys;
}

class DeclaredChoices : public testing::TestWithParam<Declared> {};

TEST_P(DeclaredChoices, AreThoseItsDescriptionNames) {
    const Declared& key = GetParam();
    const Named named = named_in(key.description);
    EXPECT_EQ(key.named.items, named.items);
    EXPECT_EQ(key.named.open, named.open);
    // A description that gives an example gives the one declared; the
    // others may declare one of their own, for init.
    if (!named.example.empty()) {
        EXPECT_EQ(key.named.example, named.example);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKey, DeclaredChoices, testing::ValuesIn(every_key()),
                         [](const testing::TestParamInfo<Declared>& info) {
                             std::string name = info.param.key;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// The lists that declare choices, so that a key losing its declaration (or
// a description losing its brackets) is seen even if both change at once.
TEST(DeclaredChoices, CoverTheListedKeys) {
    std::vector<std::string> with;
    for (const Declared& key : every_key()) {
        if (!key.named.items.empty()) with.push_back(key.key + (key.named.open ? " (open)" : ""));
    }
    EXPECT_EQ(with, (std::vector<std::string>{"ConfigConfig.quantized_dtype", "ConfigConfig.quantized_algorithm",
                                              "ConfigConfig.quantized_method", "ConfigConfig.target_platform (open)",
                                              "ConfigConfig.float_dtype", "ConfigConfig.optimization_level"}));
}

}  // namespace
}  // namespace vora
