// Source text as a terminal shows it: how many columns each character takes,
// and control characters made visible so that a line copied from a file
// cannot move the cursor, retitle the window or clear the screen.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vora::display {

// Columns a tab takes in shown text: each tab is written as this many spaces.
inline constexpr std::size_t kTabWidth = 4;

// The columns a code point takes on a terminal: two for East Asian Wide and
// Fullwidth characters, none for combining marks and zero-width characters,
// one otherwise. Characters shown escaped are not asked about.
std::size_t code_point_width(char32_t cp);

// Whether a code point is written escaped: C0 and C1 control characters
// (a tab aside), DEL, and the marks that reorder bidirectional text.
bool escaped(char32_t cp);

// Appends `text` as it is shown: a tab as kTabWidth spaces, an escaped code
// point as `\u{1b}` (lower-case hexadecimal, no leading zeros), a malformed
// byte as `\x{ff}`, everything else as it is. Returns the columns the
// appended text takes.
std::size_t append_shown(std::string& out, std::string_view text);

// The columns `text` takes once shown, as append_shown counts them.
std::size_t width(std::string_view text);

// Appends `text` with escaped code points and malformed bytes written as
// append_shown writes them; tabs and line feeds stay (a message's own
// layout is its own).
void append_escaped(std::string& out, std::string_view text);

// Appends `text` as append_escaped does, a line feed escaped too: text that
// comes from outside (a name in a model file, a path) can then neither start
// a line of its own nor act on a terminal. Tabs stay.
void append_one_line(std::string& out, std::string_view text);

}  // namespace vora::display
