// What the checks of lint/ share: the fixed words of unknown names'
// messages, hints, the test for a bare key, and the steps of check_text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "configuration/error.hpp"
#include "lint/lint.hpp"

namespace vora::lint {

// The words of an unknown key's or section's message: "`KEY` is not a key
// of [config]; the converter ignores it", "[KEY] is not a section; ...".
inline constexpr std::string_view kNotAKey = " is not a key";
inline constexpr std::string_view kNotASection = " is not a section";
inline constexpr std::string_view kIgnored = "; the converter ignores it";

// Whether a key is written bare: letters, digits, `_` and `-`. (Eight
// bytes at a time, `check --format json` took 129.7 against this loop's
// 129.9 instructions a byte of unknown_keys.toml: bench/reader_ir.py.)
inline bool bare(std::string_view key) {
    static constexpr std::array<bool, 256> allowed = [] {
        std::array<bool, 256> a{};
        for (std::size_t c = 0; c < 256; ++c) {
            a[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        }
        return a;
    }();
    for (const char c : key) {
        if (!allowed[static_cast<unsigned char>(c)]) return false;
    }
    return !key.empty();
}

// What a warning adds when it knows what was meant: the end of its message
// and the suggestion.
struct Hint {
    std::string tail;
    std::string suggestion;
};

inline Hint did_you_mean(const std::string& shown, std::string_view meant) {
    return Hint{"; did you mean " + shown + "?", std::string(meant)};
}

// Makes the finding's fix of a string value (load_findings.cpp).
void correct_text(Finding& finding, std::string_view text, std::size_t begin, std::size_t end, std::string_view value,
                  std::string_view meant);

// The findings of loading's errors, appended to `out` (load_findings.cpp).
void load_findings(const toml::Document& document, std::vector<LoadError>& errors, std::vector<Finding>& out);

// What check_text finds before its fixes are settled (lint.cpp).
Findings unsettled_findings(std::string_view text, const DocumentCheck& more);

// Settles the fixes of `findings` of `text` as check_text does
// (settle.cpp).
void settle_fixes(std::string_view text, Findings& findings);

}  // namespace vora::lint
