// The settings of `vora-config check` kept in a file beside the
// configurations: a `vora-config.toml` (its top level), or the
// [tool.vora-config] table of a `pyproject.toml`. Reading them, finding the
// nearest one for a file, and what they make of a file's findings: plain
// functions that print nothing, for any front end.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lint/lint.hpp"

namespace vora::cli {

// Which codes are reported. A code left out is dropped: not shown, not
// counted (unlike a suppression comment, which silences a finding). Errors
// of reading and syntax are never dropped.
struct CodeFilter {
    std::optional<std::vector<lint::Code>> select;  // nothing: every code
    std::vector<lint::Code> ignore;
    // Globs matched against a file's name and its path below the settings'
    // folder, each with the codes it ignores in the files it matches.
    std::vector<std::pair<std::string, std::vector<lint::Code>>> per_file_ignores;

    // Whether a finding of `code` in the file at `relative` (below the
    // settings' folder) is kept.
    bool keeps(lint::Code code, std::string_view relative) const;
};

struct Settings {
    CodeFilter codes;
    std::optional<bool> strict;
    std::optional<bool> files;
    // "config" (each file's own folder), or a folder: relative to `folder`.
    std::optional<std::string> base;
    std::vector<std::string> exclude;  // globs, as --exclude
};

// A settings file read: where it is, its text (which the findings read) and
// what was wrong in it, each finding at its place.
struct SettingsFile {
    std::string path;    // as found: relative to the current folder when below it
    std::string folder;  // its folder, absolute
    std::string text;
    Settings settings;
    std::vector<lint::Finding> findings;
};

// The settings of a text: the whole document (`table` empty) or the table
// at that dotted path ("tool.vora-config"); nothing when the document reads
// but has no such table. Unknown settings are `bad-setting` errors, codes
// that are none `unknown-code` warnings, a text that is no TOML its
// `parse-error`.
std::optional<SettingsFile> read_settings(std::string path, std::string folder, std::string text,
                                          std::string_view table);

// Reads the settings file at `path` (a pyproject.toml when its name says so).
// A file that cannot be read gives a `read-error`.
std::optional<SettingsFile> load_settings(const std::string& path);

// The settings that hold for the files of each folder: the nearest settings
// file upwards (in one folder `vora-config.toml` before `pyproject.toml`,
// a pyproject.toml without [tool.vora-config] passed over). Each folder is
// looked up once.
class SettingsLookup {
public:
    // The settings for a file in `folder` (as given: relative to the current
    // folder), or null when there are none.
    const SettingsFile* for_folder(std::string_view folder);

private:
    const SettingsFile* for_absolute(const std::string& folder);

    std::map<std::string, const SettingsFile*> folders_;
    std::vector<std::unique_ptr<SettingsFile>> files_;
};

// The absolute form of `path`, made lexically (".", ".." and repeated
// slashes folded; links not followed).
std::string absolute_path(std::string_view path);

// The folder of a path ("." for a bare name).
std::string folder_of(std::string_view path);

// `path` below `folder` (both absolute), or `path` itself when it is not.
std::string relative_to(std::string_view path, std::string_view folder);

// The codes of a comma-separated list (--select, --ignore), or the first
// name that is no code.
std::variant<std::vector<lint::Code>, std::string> codes_listed(std::string_view list);

}  // namespace vora::cli
