// The findings of `vora-config check`, written in its three formats.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lint/lint.hpp"

namespace vora::cli {

// One checked file: its name as given (standard input as "<stdin>"), its
// text, and what was found in it. A file that cannot be read has one error
// without a span.
struct FileReport {
    std::string name;
    std::string text;
    std::vector<lint::Finding> findings;
};

enum class Format { Text, Json, Github };

// Text: per finding "name:line:column: severity[code]: message", the source
// line with carets under the span, and an empty line; then one closing line
// counting files, errors and warnings.
std::string format_text(const std::vector<FileReport>& files);

// One JSON array of findings: file, line, column, end_line, end_column (the
// span's end, exclusive; all null for a file that cannot be read), severity,
// code, message, suggestion (null when there is none).
std::string format_json(const std::vector<FileReport>& files);

// One workflow-command annotation line per finding:
// "::warning file=…,line=…,col=…,endLine=…,endColumn=…,title=…::message",
// with the command's escaping of properties and message.
std::string format_github(const std::vector<FileReport>& files);

}  // namespace vora::cli
