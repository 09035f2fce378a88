#include "cli/settings.hpp"

#include <algorithm>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

#include "io/read_file.hpp"
#include "lint/suggest.hpp"
#include "toml/toml.hpp"

namespace vora::cli {

namespace {

// A settings file is small: more is no settings file.
constexpr SizeLimit kSettingsLimit{std::size_t{1} << 20, "the settings file is larger than 1 MiB"};

constexpr std::string_view kSettingNames[] = {"select", "ignore", "per-file-ignores", "strict",
                                              "files",  "base",   "exclude"};

// "`NAME`" and `rest`. Appended, not "`" + std::string(...): GCC 12 warns
// falsely (-Wrestrict) about the inlined operator+.
std::string backticked(std::string_view name, std::string_view rest) {
    std::string text = "`";
    text.append(name);
    text += '`';
    text.append(rest);
    return text;
}

bool never_dropped(lint::Code code) { return code == lint::kReadError || code == lint::kParseError; }

bool has(const std::vector<lint::Code>& codes, lint::Code code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool glob_matches(const std::string& glob, std::string_view path) {
    const std::string text(path);
    if (::fnmatch(glob.c_str(), text.c_str(), 0) == 0) return true;
    const std::size_t slash = text.rfind('/');
    return slash != std::string::npos && ::fnmatch(glob.c_str(), text.c_str() + slash + 1, 0) == 0;
}

// Reads a settings table into a SettingsFile's settings, each fault a
// finding at its place.
class SettingsReader {
public:
    explicit SettingsReader(SettingsFile& file) : file_(file) {}

    void read(const toml::Table& table) {
        for (const toml::Member member : table) {
            const std::string_view key = member.key;
            const toml::Value value = member.value;
            Settings& s = file_.settings;
            if (key == "select") {
                if (auto codes = code_list(key, value)) s.codes.select = std::move(*codes);
            } else if (key == "ignore") {
                if (auto codes = code_list(key, value)) s.codes.ignore = std::move(*codes);
            } else if (key == "per-file-ignores") {
                per_file_ignores(value);
            } else if (key == "strict" || key == "files") {
                if (!value.is_boolean()) {
                    fault(value, backticked(key, " takes true or false"));
                } else {
                    (key == "strict" ? s.strict : s.files) = value.as_boolean();
                }
            } else if (key == "base") {
                if (!value.is_string() || value.as_string().empty()) {
                    fault(value, "`base` takes \"config\" or a folder");
                } else {
                    s.base = std::string(value.as_string());
                }
            } else if (key == "exclude") {
                if (auto globs = texts(key, value)) s.exclude = std::move(*globs);
            } else {
                unknown(member);
            }
        }
    }

private:
    void add(lint::Severity severity, lint::Code code, std::size_t begin, std::size_t end, std::string message,
             std::optional<std::string> suggestion = {}) {
        lint::Finding& finding = file_.findings.emplace_back(severity, code, begin, end);
        finding.message = std::move(message);
        finding.suggestion = std::move(suggestion);
    }

    void fault(const toml::Value& value, std::string message) {
        add(lint::Severity::Error, lint::kBadSetting, value.offset(), value.end_offset(), std::move(message));
    }

    void unknown(const toml::Member& member) {
        std::string message = backticked(member.key, " is not a setting of vora-config check");
        std::optional<std::string> suggestion;
        if (const std::optional<std::size_t> near = lint::nearest(member.key, kSettingNames)) {
            suggestion = std::string(kSettingNames[*near]);
            message += "; did you mean `" + *suggestion + "`?";
        }
        const auto [begin, end] = member.key_offsets();
        add(lint::Severity::Error, lint::kBadSetting, begin, end, std::move(message), std::move(suggestion));
    }

    // The texts of an array of texts; nothing (and a finding) otherwise.
    std::optional<std::vector<toml::Value>> text_values(std::string_view key, const toml::Value& value) {
        std::vector<toml::Value> items;
        if (value.is_array()) {
            for (const toml::Value item : value.as_array()) items.push_back(item);
        }
        if (!value.is_array() || !std::all_of(items.begin(), items.end(), [](auto& v) { return v.is_string(); })) {
            fault(value, backticked(key, " takes a list of texts"));
            return std::nullopt;
        }
        return items;
    }

    std::optional<std::vector<std::string>> texts(std::string_view key, const toml::Value& value) {
        const auto items = text_values(key, value);
        if (!items) return std::nullopt;
        std::vector<std::string> out;
        for (const toml::Value& item : *items) out.emplace_back(item.as_string());
        return out;
    }

    // The codes listed, those that are none left out with a warning each.
    std::optional<std::vector<lint::Code>> code_list(std::string_view key, const toml::Value& value) {
        const auto items = text_values(key, value);
        if (!items) return std::nullopt;
        std::vector<lint::Code> codes;
        for (const toml::Value& item : *items) {
            const std::string_view name = item.as_string();
            if (const std::optional<lint::Code> code = lint::code_named(name)) {
                codes.push_back(*code);
                continue;
            }
            std::string message = backticked(name, " is not a code of vora-config check");
            std::optional<std::string> suggestion;
            if (const std::optional<std::size_t> near = lint::nearest(name, lint::kCodeNames)) {
                suggestion = std::string(lint::kCodeNames[*near]);
                message += "; did you mean `" + *suggestion + "`?";
            }
            add(lint::Severity::Warning, lint::kUnknownCode, item.offset(), item.end_offset(), std::move(message),
                std::move(suggestion));
        }
        return codes;
    }

    void per_file_ignores(const toml::Value& value) {
        if (!value.is_table()) {
            fault(value, "`per-file-ignores` takes a table of globs, each with a list of codes");
            return;
        }
        for (const toml::Member member : value.as_table()) {
            if (auto codes = code_list("per-file-ignores", member.value)) {
                file_.settings.codes.per_file_ignores.emplace_back(std::string(member.key), std::move(*codes));
            }
        }
    }

    SettingsFile& file_;
};

// The table at a dotted path of plain keys, or nothing.
std::optional<toml::Table> table_at(const toml::Document& document, std::string_view path) {
    toml::Table table = document.root_table();
    while (!path.empty()) {
        const std::size_t dot = path.find('.');
        const toml::Value value = table.get(path.substr(0, dot));
        if (!value || !value.is_table()) return std::nullopt;
        table = value.as_table();
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    }
    return table;
}

std::string current_folder() {
    std::string folder(4096, '\0');
    while (::getcwd(folder.data(), folder.size()) == nullptr) {
        if (errno != ERANGE) return "/";
        folder.resize(folder.size() * 2);
    }
    folder.resize(folder.find('\0'));
    return folder;
}

std::string_view name_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool CodeFilter::keeps(lint::Code code, std::string_view relative) const {
    if (never_dropped(code)) return true;
    if (select && !has(*select, code)) return false;
    if (has(ignore, code)) return false;
    return std::none_of(per_file_ignores.begin(), per_file_ignores.end(), [&](const auto& entry) {
        return has(entry.second, code) && glob_matches(entry.first, relative);
    });
}

std::optional<SettingsFile> read_settings(std::string path, std::string folder, std::string text,
                                          std::string_view table) {
    SettingsFile file{std::move(path), std::move(folder), std::move(text), {}, {}};
    const toml::Result read = toml::parse(file.text);
    if (const auto* error = std::get_if<toml::Error>(&read)) {
        lint::Finding& finding =
            file.findings.emplace_back(lint::Severity::Error, lint::kParseError, error->begin, error->end);
        finding.message = error->message;
        return file;
    }
    const std::optional<toml::Table> settings = table_at(std::get<toml::Document>(read), table);
    if (!settings) return std::nullopt;
    SettingsReader(file).read(*settings);
    // The reader's findings go in the table's order, which is the file's.
    return file;
}

std::optional<SettingsFile> load_settings(const std::string& path) {
    const std::string absolute = absolute_path(path);
    const std::string_view table = name_of(path) == "pyproject.toml" ? "tool.vora-config" : "";
    auto read = read_text_file(path, kSettingsLimit);
    if (auto* error = std::get_if<ReadError>(&read)) {
        SettingsFile file{path, folder_of(absolute), {}, {}, {}};
        file.findings.emplace_back(lint::Severity::Error, lint::kReadError, error->message);
        return file;
    }
    return read_settings(path, folder_of(absolute), std::move(std::get<std::string>(read)), table);
}

const SettingsFile* SettingsLookup::for_folder(std::string_view folder) { return for_absolute(absolute_path(folder)); }

const SettingsFile* SettingsLookup::for_absolute(const std::string& folder) {
    if (const auto known = folders_.find(folder); known != folders_.end()) return known->second;
    const SettingsFile* found = nullptr;
    for (const std::string_view name : {"vora-config.toml", "pyproject.toml"}) {
        std::string path = folder;  // appended: GCC 12 warns falsely (-Wrestrict) of "/" + std::string
        if (!path.ends_with('/')) path += '/';
        path.append(name);
        // A FIFO or a device of that name is never opened: it could block or never end.
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::optional<SettingsFile> file = load_settings(relative_to(path, current_folder()));
        if (!file) continue;
        files_.push_back(std::make_unique<SettingsFile>(std::move(*file)));
        found = files_.back().get();
        break;
    }
    if (!found && folder != "/") found = for_absolute(folder_of(folder));
    folders_.emplace(folder, found);
    return found;
}

std::string absolute_path(std::string_view path) {
    std::string whole = path.starts_with('/') ? std::string(path) : current_folder() + "/" + std::string(path);
    std::vector<std::string_view> parts;
    std::string_view rest = whole;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    std::string out;
    for (const std::string_view part : parts) (out += '/') += part;
    return out.empty() ? "/" : out;
}

std::string folder_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string relative_to(std::string_view path, std::string_view folder) {
    if (folder == "/" && path.starts_with('/')) return std::string(path.substr(1));
    if (path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/') {
        return std::string(path.substr(folder.size() + 1));
    }
    return std::string(path);
}

std::variant<std::vector<lint::Code>, std::string> codes_listed(std::string_view list) {
    std::vector<lint::Code> codes;
    while (true) {
        const std::size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        while (name.starts_with(' ')) name.remove_prefix(1);
        while (name.ends_with(' ')) name.remove_suffix(1);
        const std::optional<lint::Code> code = lint::code_named(name);
        if (!code) return std::string(name);
        codes.push_back(*code);
        if (comma == std::string_view::npos) return codes;
        list.remove_prefix(comma + 1);
    }
}

}  // namespace vora::cli
