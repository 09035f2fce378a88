#include "lsp/findings.hpp"

#include <algorithm>
#include <sys/stat.h>

#include "cli/fix.hpp"
#include "cli/walk.hpp"
#include "configuration/structs.hpp"
#include "lint/lint.hpp"
#include "lint/preflight.hpp"

namespace vora::lsp {

namespace {

std::string resolved(const std::string& base, const std::string& path) {
    if (path.empty() || path.front() == '/' || base.empty()) return path;
    return base + (base.back() == '/' ? "" : "/") + path;
}

// The files and folders whose change changes what the file checks find:
// the values of the keys declared as files read or written (the folder of
// one written). A list of files as long as the user makes it
// (accuracy_analysis.inputs) is followed for its first entries only: the
// editor's watch of the folder tells of the others.
std::vector<std::string> named_paths(const Configuration& configuration, const std::string& base) {
    constexpr std::size_t kMostListed = 64;
    constexpr unsigned kFiles = kModelFile | kInitialValuesFile | kDatasetFile | kInputFileList | kOutputPath;
    std::vector<std::string> paths;
    const auto add = [&](const std::string& value, unsigned roles) {
        std::string path = resolved(base, value);
        if (roles & kOutputPath) {
            const std::size_t slash = path.rfind('/');
            path = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        }
        paths.push_back(std::move(path));
    };
    for_each_section(configuration, [&](std::string_view, const auto& record) {
        for_each_field<std::remove_cvref_t<decltype(record)>>([&](const auto& f, std::size_t) {
            if (!(f.roles & kFiles)) return;
            const auto& value = f.get(record);
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Text>) {
                add(value, f.roles);
            } else if constexpr (std::is_same_v<T, std::optional<Text>>) {
                if (value) add(*value, f.roles);
            } else if constexpr (std::is_same_v<T, std::vector<Text>>) {
                for (std::size_t i = 0; i < value.size() && i < kMostListed; ++i) add(value[i], f.roles);
            }
        });
    });
    return paths;
}

Problem problem_of(const lint::Finding& finding, bool with_fixes) {
    Problem problem;
    problem.code = std::string(finding.code.text());
    problem.error = finding.severity == lint::Severity::Error;
    if (finding.range) {
        problem.placed = true;
        problem.begin = finding.range->begin;
        problem.end = finding.range->end;
    }
    problem.message = finding.message;
    if (finding.help) {
        problem.message += '\n';
        problem.message += finding.help_lead;
        problem.message += *finding.help;
    }
    for (const lint::Related& related : finding.related) {
        problem.related.push_back(Note{related.message, related.begin, related.end});
    }
    problem.silenced = finding.silenced;
    if (with_fixes && finding.fix) {
        problem.fix = TextEdit{finding.fix->edit.begin, finding.fix->edit.end, finding.fix->edit.replacement};
        problem.certain = finding.fix->applicability == lint::Applicability::Certain;
    }
    return problem;
}

std::string_view trimmed_end(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The byte offset where the line holding `at` ends (before "\r\n" or "\n").
std::size_t line_end(std::string_view text, std::size_t at) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    if (end > at && text[end - 1] == '\r') --end;
    return end;
}

// Whether a multi-line string opens on the rest of a line: a comment added
// at its end would fall inside the string.
bool opens_multiline_string(std::string_view rest) {
    std::size_t quotes = 0;
    for (const std::string_view delimiter : {std::string_view("\"\"\""), std::string_view("'''")}) {
        for (std::size_t at = rest.find(delimiter); at != std::string_view::npos; at = rest.find(delimiter, at + 3)) {
            ++quotes;
        }
    }
    return quotes % 2 == 1;
}

// The values the checks of the files named read, as the text writes them:
// each key of a role they read, where the mapping found it (a key absent
// reads as nothing).
std::string values_read(std::string_view text, const Places& places) {
    constexpr unsigned kRead = kModelFile | kInitialValuesFile | kDatasetFile | kOutputPath | kInputNames |
                               kOutputNames | kShapes | kPerChannel | kInputFileList;
    std::string read;
    for_each_field<Configuration>([&](const auto& s, std::size_t) {
        using Record = section_record_t<decltype(s)>;
        for_each_field<Record>([&](const auto& f, std::size_t index) {
            if (!(f.roles & kRead)) return;
            read += f.key;
            read += '=';
            if (const Place* place = places.find<Record>(index)) {
                read += text.substr(place->value.offset(), place->value.end_offset() - place->value.offset());
            }
            read += '\n';
        });
    });
    return read;
}

}  // namespace

std::vector<Stamp> stamps_of(const std::vector<std::string>& paths) {
    std::vector<Stamp> stamps;
    stamps.reserve(paths.size());
    for (const std::string& path : paths) {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) {
            stamps.push_back(Stamp{path});
        } else {
            stamps.push_back(Stamp{path, static_cast<long long>(st.st_size),
                                   static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec});
        }
    }
    return stamps;
}

// The cache's side of check_document.
struct FileCheckCacheAccess {
    // Moves a byte offset of the kept text to the new one, whose bytes
    // before `head` and the last `tail` are the kept text's; nothing when
    // the offset lies in or at the ends of what changed.
    static std::optional<std::size_t> moved(std::size_t offset, std::size_t head, std::size_t tail,
                                            std::size_t old_size, std::size_t new_size) {
        if (offset < head) return offset;
        if (offset > old_size - tail) return offset - old_size + new_size;
        return std::nullopt;
    }

    // Moves the places of a kept finding (its own, its related places', its
    // fix's); false when one lies in what changed.
    template <class Move>
    static bool relocate(lint::Finding& finding, const Move& move) {
        const auto begin = move(finding.range->begin), end = move(finding.range->end);
        if (!begin || !end) return false;
        finding.range = lint::Range{*begin, *end};
        for (lint::Related& related : finding.related) {
            const auto related_begin = move(related.begin), related_end = move(related.end);
            if (!related_begin || !related_end) return false;
            related.begin = static_cast<std::uint32_t>(*related_begin);
            related.end = static_cast<std::uint32_t>(*related_end);
        }
        if (finding.fix) {
            const auto fix_begin = move(finding.fix->edit.begin), fix_end = move(finding.fix->edit.end);
            if (!fix_begin || !fix_end) return false;
            finding.fix->edit.begin = *fix_begin;
            finding.fix->edit.end = *fix_end;
        }
        return true;
    }

    // Appends the kept findings to `out`, moved to `text`; false (nothing
    // appended) when they do not hold for it.
    static bool replay(FileCheckCache& cache, std::string_view text, const std::string& read,
                       std::vector<lint::Finding>& out) {
        if (!cache.valid_ || cache.read_ != read || stamps_of(cache.paths_) != cache.stamps_) return false;
        const std::string_view old = cache.text_;
        const std::size_t most = std::min(old.size(), text.size());
        const std::size_t head = static_cast<std::size_t>(
            std::mismatch(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(most), text.begin()).first -
            old.begin());
        const std::size_t tail = static_cast<std::size_t>(
            std::mismatch(old.rbegin(), old.rbegin() + static_cast<std::ptrdiff_t>(most - head), text.rbegin()).first -
            old.rbegin());
        const auto move = [&](std::size_t offset) { return moved(offset, head, tail, old.size(), text.size()); };
        std::vector<lint::Finding> replayed = cache.kept_;
        for (lint::Finding& finding : replayed) {
            if (!relocate(finding, move)) return false;
        }
        cache.kept_ = replayed;
        for (lint::Finding& finding : replayed) out.push_back(std::move(finding));
        cache.text_ = std::string(text);
        return true;
    }

    // Keeps the findings out[first...) of `text`: all of them, or none when
    // one has no place.
    static void keep(FileCheckCache& cache, std::string_view text, std::string read, std::vector<std::string> paths,
                     const std::vector<lint::Finding>& out, std::size_t first) {
        cache.valid_ = false;
        cache.kept_.clear();
        for (std::size_t i = first; i < out.size(); ++i) {
            if (!out[i].range) return;
            cache.kept_.push_back(out[i]);
        }
        cache.valid_ = true;
        cache.text_ = std::string(text);
        cache.read_ = std::move(read);
        cache.stamps_ = stamps_of(paths);
        cache.paths_ = std::move(paths);
    }
};

Checked check_document(std::string_view text, const CheckSettings& settings, bool with_fixes, FileCheckCache* cache) {
    Checked checked;
    const lint::FileCheckOptions options{settings.base};
    lint::DocumentCheck files;
    if (settings.files) {
        files = [&](const toml::Document& document, const Configuration& configuration, const Places& places,
                    std::vector<lint::Finding>& out) {
            std::string read = values_read(document.text(), places) + settings.base;
            checked.paths = named_paths(configuration, settings.base);
            if (cache && FileCheckCacheAccess::replay(*cache, text, read, out)) return;
            const std::size_t first = out.size();
            lint::check_files(configuration, places, options, out);
            if (cache) FileCheckCacheAccess::keep(*cache, text, std::move(read), checked.paths, out, first);
        };
    }
    lint::Findings findings = lint::check_text(text, files);
    if (settings.rules) settings.rules->drop_ignored(findings);
    checked.problems.reserve(findings.size());
    for (const lint::Finding& finding : findings) checked.problems.push_back(problem_of(finding, with_fixes));
    return checked;
}

std::string fixed_text(std::string_view text, const CheckSettings& settings) {
    // The checks of the files named carry no fixes: the text alone is checked.
    std::string fixed(text);
    lint::Findings findings = lint::check_text(fixed);
    if (settings.rules) settings.rules->drop_ignored(findings);  // neither shown nor fixed
    cli::FileFix result = cli::fix_file(cli::FixMode::Fix, "-", "-", fixed, findings);
    return result.fixed_text ? std::move(*result.fixed_text) : fixed;
}

std::optional<TextEdit> silence_edit(std::string_view text, const Problem& problem) {
    const std::optional<lint::Code> code = lint::code_named(problem.code);
    if (!code || !problem.placed || problem.begin > text.size()) return std::nullopt;
    if (*code == lint::kReadError || *code == lint::kParseError) return std::nullopt;
    const std::size_t end = line_end(text, problem.begin);
    const std::string_view rest = text.substr(problem.begin, end - problem.begin);
    if (opens_multiline_string(rest)) return std::nullopt;
    const std::size_t start = text.rfind('\n', problem.begin == 0 ? 0 : problem.begin - 1);
    const std::size_t line_start = start == std::string_view::npos || problem.begin == 0 ? 0 : start + 1;
    const std::string_view line = trimmed_end(text.substr(line_start, end - line_start));
    TextEdit edit;
    if (line.rfind("# vora-config: ignore[") != std::string_view::npos && line.ends_with(']')) {
        // The list extended: before its closing bracket.
        const std::size_t close = line_start + line.size() - 1;
        edit = TextEdit{close, close, ", " + problem.code};
    } else {
        const std::size_t at = line_start + line.size();
        edit = TextEdit{at, end, "  # vora-config: ignore[" + problem.code + "]"};
    }
    // Kept only when the comment reads as one that silences the finding.
    std::string edited(text);
    edited.replace(edit.begin, edit.end - edit.begin, edit.text);
    lint::Findings probe;
    probe.push_back(lint::Finding{lint::Severity::Warning, *code, problem.begin, problem.end});
    if (lint::silence(edited, probe) != 1) return std::nullopt;
    return edit;
}

std::vector<std::string_view> section_names() {
    std::vector<std::string_view> names;
    for_each_field<Configuration>([&](const auto& f, std::size_t) { names.push_back(f.key); });
    return names;
}

TomlKind toml_kind(std::string_view text) {
    // The rule of `check`'s walk; a text it takes for neither a
    // configuration nor another tool's file is undecided (a configuration
    // whose only section is being typed stays one).
    switch (cli::toml_kind(text)) {
        case cli::TomlKind::Configuration: return TomlKind::Configuration;
        case cli::TomlKind::OtherTool: return TomlKind::OtherTool;
        case cli::TomlKind::Neither: break;
    }
    return TomlKind::Undecided;
}

}  // namespace vora::lsp
