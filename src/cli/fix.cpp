#include "cli/fix.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output.hpp"
#include "read_file.hpp"

namespace vora::cli {

namespace {

// The edits of the findings in the order of their offsets, without those
// that overlap one before them or lie outside the text.
std::vector<lint::Edit> ordered_edits(std::string_view text, const std::vector<lint::Finding>& findings) {
    std::vector<lint::Edit> edits;
    for (const lint::Finding& finding : findings) {
        const std::optional<lint::Edit> fix = finding.fix();
        if (fix && fix->begin <= fix->end && fix->end <= text.size()) edits.push_back(*fix);
    }
    std::stable_sort(edits.begin(), edits.end(),
                     [](const lint::Edit& a, const lint::Edit& b) { return a.begin < b.begin; });
    std::vector<lint::Edit> kept;
    for (const lint::Edit& edit : edits) {
        if (kept.empty() || kept.back().end <= edit.begin) kept.push_back(edit);
    }
    return kept;
}

// The lines of a text, each with its line feed (the last may have none).
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        const std::size_t length = feed == std::string_view::npos ? text.size() : feed + 1;
        lines.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return lines;
}

void diff_line(std::string& out, char mark, std::string_view line) {
    out += mark;
    out += line;
    if (!line.ends_with('\n')) out += "\n\\ No newline at end of file\n";
}

std::string range(std::size_t first, std::size_t count) {
    // One line is named alone; a hunk of no lines names the line before it.
    if (count == 1) return std::to_string(first + 1);
    return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}

std::string error_text(std::string_view what, const std::string& path) {
    return "cannot " + std::string(what) + " " + path + ": " + os_error_text(errno);
}

}  // namespace

std::string apply_fixes(std::string_view text, const std::vector<lint::Finding>& findings) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    for (const lint::Edit& edit : ordered_edits(text, findings)) {
        out.append(text.substr(at, edit.begin - at));
        out += edit.replacement;
        at = edit.end;
    }
    out.append(text.substr(at));
    return out;
}

std::string unified_diff(std::string_view name, std::string_view before, std::string_view after) {
    if (before == after) return {};
    const std::vector<std::string_view> old_lines = lines_of(before);
    const std::vector<std::string_view> new_lines = lines_of(after);
    std::string out = "--- " + std::string(name) + "\n+++ " + std::string(name) + "\n";
    if (old_lines.size() != new_lines.size()) {
        // Not what edits of keys make: the whole text as one hunk.
        out += "@@ -" + range(0, old_lines.size()) + " +" + range(0, new_lines.size()) + " @@\n";
        for (const std::string_view line : old_lines) diff_line(out, '-', line);
        for (const std::string_view line : new_lines) diff_line(out, '+', line);
        return out;
    }
    constexpr std::size_t context = 3;
    const std::size_t n = old_lines.size();
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < n; ++i) {
        if (old_lines[i] != new_lines[i]) changed.push_back(i);
    }
    for (std::size_t c = 0; c < changed.size();) {
        // A hunk: changed lines no more than twice the context apart.
        std::size_t last = c;
        while (last + 1 < changed.size() && changed[last + 1] - changed[last] <= 2 * context + 1) ++last;
        const std::size_t first_line = changed[c] >= context ? changed[c] - context : 0;
        const std::size_t end_line = std::min(n, changed[last] + context + 1);
        const std::size_t count = end_line - first_line;
        out += "@@ -" + range(first_line, count) + " +" + range(first_line, count) + " @@\n";
        std::size_t line = first_line;
        for (std::size_t k = c; k <= last;) {
            // A run of changed lines: the old ones, then the new ones.
            std::size_t run = k;
            while (run + 1 <= last && changed[run + 1] == changed[run] + 1) ++run;
            for (; line < changed[k]; ++line) diff_line(out, ' ', old_lines[line]);
            for (std::size_t r = k; r <= run; ++r) diff_line(out, '-', old_lines[changed[r]]);
            for (std::size_t r = k; r <= run; ++r) diff_line(out, '+', new_lines[changed[r]]);
            line = changed[run] + 1;
            k = run + 1;
        }
        for (; line < end_line; ++line) diff_line(out, ' ', old_lines[line]);
        c = last + 1;
    }
    return out;
}

std::optional<std::string> replace_file(const std::string& path, std::string_view text) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return error_text("resolve", path);
    const std::string target(resolved);
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) return error_text("read the mode of", target);
    // A device or a pipe is not replaced by a file.
    if (!S_ISREG(old.st_mode)) return "cannot replace " + target + ": not a regular file";
    const std::size_t slash = target.rfind('/');
    std::string temporary =
        target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".vora-config-fix.XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return error_text("create a file beside", target);
    // The owner is kept where the process may keep it; the mode always.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    std::optional<std::string> error;
    if (!write_all(fd, text)) {
        error = error_text("write", temporary);
    } else if (::fchmod(fd, old.st_mode & 07777) != 0) {
        error = error_text("set the mode of", temporary);
    } else if (::fsync(fd) != 0) {
        error = error_text("flush", temporary);
    }
    if (::close(fd) != 0 && !error) error = error_text("close", temporary);
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) error = error_text("replace", target);
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself made lasting (best effort: not every file system can).
    const int directory = ::open(target.substr(0, std::max<std::size_t>(slash, 1)).c_str(), O_RDONLY | O_DIRECTORY);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return std::nullopt;
}

FileFix fix_file(FixMode mode, std::string_view path, std::string_view name, std::string& text,
                 std::vector<lint::Finding>& file_findings) {
    FileFix result;
    if (mode == FixMode::Off) return result;
    const bool from_stdin = path == "-";
    // The keys of a section are checked only once its name is right: the
    // fixed text is fixed again until nothing changes (each round renames
    // unknown keys to known ones, which stay; a few rounds at most).
    std::string fixed = text;
    std::vector<lint::Finding> findings;
    const std::vector<lint::Finding>* current = &file_findings;
    for (int round = 0; round < 8; ++round) {
        const std::size_t edits = ordered_edits(fixed, *current).size();
        if (edits == 0) break;
        result.edits += edits;
        fixed = apply_fixes(fixed, *current);
        findings = lint::check_text(fixed);
        current = &findings;
    }
    if (mode == FixMode::Diff) {
        result.diff = unified_diff(name, text, fixed);
        return result;
    }
    if (from_stdin) result.fixed_text = fixed;
    if (fixed == text) return result;
    if (!from_stdin) {
        if (auto error = replace_file(std::string(path), fixed)) {
            result.edits = 0;
            file_findings.push_back(
                lint::Finding{lint::Severity::Error, lint::kWriteError, std::move(*error), std::nullopt, std::nullopt});
            return result;
        }
    }
    text = std::move(fixed);
    file_findings = std::move(findings);
    return result;
}

}  // namespace vora::cli
