// Replacing a file's contents whole, so that a crash or a signal never
// leaves half a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vora {

// Replaces the contents of the file at `path`, read as `original`, with
// `text`. The file a symbolic link finally names is replaced (the link stays
// a link): a new file is written beside it, given the old file's owner, mode
// and extended attributes, flushed, and renamed over it; a file with more
// than one name is written over in place instead, so that every name sees
// the new text. A file the user may not write, or one that no longer holds
// `original` just before it would be replaced, is left alone. SIGINT, SIGTERM
// and SIGHUP meanwhile remove the new file before the process dies of them.
// The error's text when the file is not replaced (it then is as it was).
std::optional<std::string> replace_file(const std::string& path, std::string_view original, std::string_view text);

}  // namespace vora
