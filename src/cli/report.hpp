// The findings of `vora-config check`, written in its four formats. Each
// format has one renderer, fed one checked file at a time: what a file gives
// is written (and flushed) before the next file is read, and nothing of it is
// kept afterwards.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "configuration/error.hpp"
#include "lint/lint.hpp"

namespace vora::cli {

// One checked file: its name as given (standard input as "<stdin>"), its
// text (the one the findings' offsets are into), and what was found in it.
// A file that cannot be read has one error without a span.
struct FileReport {
    std::string_view name;
    std::string_view text;
    const lint::Findings& findings;
};

enum class Format { Text, Concise, Json, Github, Sarif };

struct Totals {
    std::size_t files = 0;
    std::size_t errors = 0;
    std::size_t warnings = 0;
    std::size_t silenced = 0;  // by suppression comments: neither errors nor warnings
    std::size_t skipped = 0;   // TOML files of the folders checked that are no configurations

    // Counts one checked file (unless `file` is false: a settings file's
    // findings) and its findings.
    void add(const lint::Findings& findings, bool file = true) {
        files += file ? 1 : 0;
        const lint::Findings::Counts counts = findings.counts();
        errors += counts.errors;
        warnings += counts.warnings;
        silenced += counts.silenced;
    }
};

// "2 files checked: 1 error, 0 warnings", with its line feed (and ", 3
// silenced" before it when findings were, then "; 2 TOML files skipped: not
// configurations" when files were): the text and concise formats' closing
// line, and all that --quiet prints.
std::string summary_line(const Totals& totals);

// Where a renderer's bytes go: a buffer handed to `sink` when it grows past
// 64 KiB and whenever flush() is called.
class Output {
public:
    explicit Output(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}
    std::string& buffer() { return buffer_; }
    // Hands the buffer on when it is large; renderers call it between findings.
    void spill() {
        if (buffer_.size() >= 65536) flush();
    }
    void flush() {
        if (!buffer_.empty()) sink_(buffer_);
        buffer_.clear();
    }

private:
    std::function<void(std::string_view)> sink_;
    std::string buffer_;
};

struct RenderOptions {
    bool color = false;        // text: ANSI colours for severity, code and carets
    std::string_view version;  // sarif: the tool's version
};

class Renderer {
public:
    virtual ~Renderer() = default;
    // What precedes the first file (JSON's opening bracket, SARIF's tool).
    virtual void begin(Output&) {}
    virtual void file(const FileReport& file, Output& out) = 0;
    // What follows the last file; `totals` counts every file and finding.
    virtual void end(const Totals& totals, Output& out) = 0;
};

// text: per finding "name:line:column: severity[code]: message", the source
//   line (cut to a window around the span) with carets under the span, a
//   "note" of the same shape for each related place, a "= help:" line when
//   the message names a type; an empty line. Closes with summary_line.
//   Silenced findings are left out (counted in the summary line).
// concise: per finding "name:line:column: severity[code] message" (a finding
//   without a place "name: severity[code] message"), no source line; the
//   texts escaped as the text format escapes them. Closes with summary_line.
// Each format but json and sarif leaves out silenced findings: json writes
//   them with "silenced": true after "help", sarif with an in-source
//   suppression.
//   Source lines are shown as display::append_shown writes them, carets
//   counted in display columns; file names, messages, related messages and
//   helps as display::append_one_line writes them (each one line, nothing in
//   it acting on a terminal, whatever a model file or a path held).
//   json and sarif keep every text's exact string.
// json: one array of findings: file (bytes that are not UTF-8 as lone
//   surrogates U+DC80-U+DCFF), line, column, end_line, end_column (the
//   span's end, exclusive; all null for a file that cannot be read),
//   severity, code, message, suggestion (null when there is none), related
//   ({message, line, column, end_line, end_column} each), help (or null).
// github: one workflow-command annotation line per finding:
//   "::warning file=…,line=…,col=…,endLine=…,endColumn=…,title=…::message",
//   with the command's escaping; a related place is added to the message,
//   the help on a line after it. Each text is first escaped as the text
//   format escapes it, so the help's is the only line break.
// sarif: a SARIF 2.1.0 log of one run, columns counted in code points; a
//   finding with help has it in message.markdown after the message.
std::unique_ptr<Renderer> make_renderer(Format format, const RenderOptions& options = {});

// A loading error as `explain` writes it on standard error: the lines of
// LoadError::render, with the source line shown as the text format shows
// it (control characters escaped, tabs expanded, carets by display width)
// and control characters of the message and key path escaped. The same bytes
// as render() for a line and message of printable characters one column wide.
std::string shown_error(const LoadError& error);

// The whole output of one format for the given files, in one string.
std::string render(Format format, const std::vector<FileReport>& files, const RenderOptions& options = {});

}  // namespace vora::cli
