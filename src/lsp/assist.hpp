// Hover and completion in a configuration: what the key declaration, the
// converter calls and the model say about the place under the cursor.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lsp/findings.hpp"

namespace vora::lsp {

struct Hover {
    std::string markdown;
    std::size_t begin = 0;  // the bytes it is about
    std::size_t end = 0;
};

// The protocol's CompletionItemKind values used here.
enum CompletionKind { kKindFile = 17, kKindFolder = 19, kKindField = 5, kKindModule = 9, kKindValue = 12 };

struct Completion {
    std::string label;
    int kind = kKindField;
    std::string detail;
    std::string documentation;
    std::string insert;    // replaces the bytes [begin, end)
    bool snippet = false;  // `insert` is a snippet (${1:...})
    std::string plain;     // of a snippet: the text without its placeholder, for a client without snippets
    std::size_t begin = 0;
    std::size_t end = 0;
};

// What to show at byte `at` of a configuration's text: a key's
// declaration and what the converter receives of its value, the model's
// inputs and outputs on the keys that name them, a section's keys.
std::optional<Hover> hover_at(std::string_view text, std::size_t at, const CheckSettings& settings);

// What may be written at byte `at`: keys of the section not yet set,
// section names, the choices of a closed key, the model's input and output
// names, files and folders in a path.
std::vector<Completion> complete_at(std::string_view text, std::size_t at, const CheckSettings& settings);

}  // namespace vora::lsp
