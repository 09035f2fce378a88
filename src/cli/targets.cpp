#include "cli/targets.hpp"

#include <algorithm>
#include <sys/stat.h>
#include <variant>

#include "cli/walk.hpp"
#include "configuration/load.hpp"
#include "io/read_file.hpp"

namespace vora::cli {

namespace {

// Whether a glob of `globs` matches a path below the settings' folder, or
// one of the folders on the way to it.
bool is_regular_file(std::string_view path) {
    struct stat st{};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool excluded_below(const std::vector<std::string>& globs, std::string_view relative) {
    if (globs.empty()) return false;
    for (std::size_t end = relative.find('/');; end = relative.find('/', end + 1)) {
        const std::string_view prefix = relative.substr(0, end);
        const std::size_t slash = prefix.rfind('/');
        const std::string_view name = slash == std::string_view::npos ? prefix : prefix.substr(slash + 1);
        if (excluded(globs, name, prefix)) return true;
        if (end == std::string_view::npos) return false;
    }
}

}  // namespace

void FileRules::drop_ignored(lint::Findings& findings) const {
    if (!filter.select && filter.ignore.empty() && filter.per_file_ignores.empty()) return;
    findings.drop_codes([&](lint::Code code) { return !filter.keeps(code, relative); });
}

const SettingsFile* Targets::settings_for(std::string_view path, const Visitor& visitor) {
    if (overrides_.isolated) return nullptr;
    const SettingsFile* settings = nullptr;
    if (overrides_.config) {
        if (!config_) config_.emplace(load_settings(*overrides_.config));
        settings = *config_ ? &**config_ : nullptr;
    } else if (path != "-") {
        settings = lookup_.for_folder(folder_of(path));
    } else {
        settings = lookup_.for_folder(".");
    }
    if (settings && !settings->findings.empty() &&
        std::find(reported_.begin(), reported_.end(), settings) == reported_.end()) {
        reported_.push_back(settings);
        visitor.settings(*settings);
    }
    return settings;
}

FileRules Targets::rules_for(std::string_view path, const SettingsFile* settings) const {
    FileRules rules;
    const Settings none;
    const Settings& s = settings ? settings->settings : none;
    rules.strict = overrides_.strict || s.strict.value_or(false);
    rules.files = !overrides_.no_files && s.files.value_or(true);
    const std::optional<std::string>& base = overrides_.base ? overrides_.base : s.base;
    if (base == "config") {
        rules.base = path == "-" ? "" : folder_of(path);
    } else if (base) {
        // A relative folder the settings name is taken from the settings' folder.
        const bool own = overrides_.base || !settings || base->starts_with('/');
        rules.base = own ? *base : absolute_path(settings->folder + "/" + *base);
    }
    rules.filter = s.codes;
    if (overrides_.select) rules.filter.select = overrides_.select;
    if (overrides_.ignore) rules.filter.ignore = *overrides_.ignore;
    if (settings) rules.relative = relative_to(absolute_path(path), settings->folder);
    return rules;
}

FileRules Targets::rules_of(std::string_view path) {
    Visitor quiet;
    quiet.settings = [](const SettingsFile&) {};
    return rules_for(path, settings_for(path, quiet));
}

void Targets::consider(const std::string& path, const Visitor& visitor) {
    const SettingsFile* settings = settings_for(path, visitor);
    if (settings && excluded_below(settings->settings.exclude, relative_to(absolute_path(path), settings->folder))) {
        return;
    }
    const std::optional<ReadError> error = read_text_file(path, text_, kDocumentLimit);
    FileRules rules = rules_for(path, settings);
    rules.skip_others = true;
    // A file that cannot be read is checked: it reports why.
    visitor.check(path, error ? nullptr : &text_, rules);
}

void Targets::run(std::string_view argument, const Visitor& visitor) {
    if (argument == "-" || !is_folder(argument)) {
        // --force-exclude: a regular file named is taken as the walk takes
        // the files it meets (pre-commit names every TOML file touched).
        if (overrides_.force_exclude && is_regular_file(argument)) {
            if (!excluded_below(overrides_.exclude, argument)) consider(std::string(argument), visitor);
            return;
        }
        const SettingsFile* settings = settings_for(argument, visitor);
        visitor.check(argument, nullptr, rules_for(argument, settings));
        return;
    }
    walk_toml_files(argument, overrides_.exclude, [&](const WalkEntry& entry) {
        if (entry.error.empty()) {
            consider(entry.path, visitor);
        } else {
            visitor.unreadable(entry.path, entry.error);
        }
    });
}

}  // namespace vora::cli
