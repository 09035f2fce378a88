// What `vora-config check` checks and under which rules: the files named and
// the configurations in the folders named, each with the settings that hold
// for it (the nearest settings file, the command line winning over it).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/settings.hpp"

namespace vora::cli {

// What the command line says, each winning over a settings file.
struct Overrides {
    std::optional<std::vector<lint::Code>> select;
    std::optional<std::vector<lint::Code>> ignore;
    bool strict = false;
    bool no_files = false;
    std::optional<std::string> base;    // "config" or a folder
    std::vector<std::string> exclude;   // added to the settings' own
    bool isolated = false;              // read no settings file
    std::optional<std::string> config;  // the one settings file for every file
    bool force_exclude = false;         // a file named is skipped as the walk would skip it
};

// The rules one file is checked under.
struct FileRules {
    bool strict = false;
    bool files = true;
    std::string base;  // the folder its relative paths are taken from ("": the current one)
    CodeFilter filter;
    std::string relative;  // its path below the settings' folder, for per-file-ignores
    // A file of a folder (or named, with --force-exclude): one that is no
    // configuration (is_configuration) is skipped, told from the one parse
    // of its check.
    bool skip_others = false;

    // Drops the findings the filter leaves out.
    void drop_ignored(lint::Findings& findings) const;
};

class Targets {
public:
    struct Visitor {
        // A file to check: `text` is null for a file named (the caller reads
        // it: standard input, a FIFO) or one that cannot be read, else the
        // text the walk read.
        std::function<void(std::string_view path, std::string* text, const FileRules&)> check;
        // A settings file with findings, once, before the first file it holds for.
        std::function<void(const SettingsFile&)> settings;
        // A folder the walk cannot read, and why.
        std::function<void(std::string_view path, std::string_view error)> unreadable;
    };

    explicit Targets(Overrides overrides) : overrides_(std::move(overrides)) {}

    // Checks `argument`: the file itself, or each configuration below the folder.
    void run(std::string_view argument, const Visitor& visitor);

    // The rules of the file at `path` (an editor's document), from the
    // settings file that holds for it; what that file says of itself is
    // not reported.
    FileRules rules_of(std::string_view path);

private:
    // A file the walk met (or one named, with --force-exclude): checked
    // unless excluded, skipped when no configuration.
    void consider(const std::string& path, const Visitor& visitor);
    const SettingsFile* settings_for(std::string_view path, const Visitor& visitor);
    FileRules rules_for(std::string_view path, const SettingsFile* settings) const;

    Overrides overrides_;
    SettingsLookup lookup_;
    std::optional<std::optional<SettingsFile>> config_;  // --config's, read once
    std::vector<const SettingsFile*> reported_;
    std::string text_;  // the file last read, its room reused
};

}  // namespace vora::cli
