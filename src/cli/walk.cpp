#include "cli/walk.hpp"

#include <algorithm>
#include <array>
#include <tuple>
#include <cerrno>
#include <dirent.h>
#include <fnmatch.h>
#include <set>
#include <sys/stat.h>
#include <utility>
#include <variant>

#include "configuration/structs.hpp"
#include "io/read_file.hpp"
#include "lint/suggest.hpp"

namespace vora::cli {

namespace {

constexpr std::string_view kOtherTools[] = {"project", "tool", "package", "build-system", "workspace"};
constexpr std::string_view kSkippedFolders[] = {"build", "node_modules", "__pycache__"};

// The sections the converter reads, from the declaration.
constexpr auto kSections = [] {
    std::array<std::string_view, std::tuple_size_v<decltype(Configuration::fields())>> names{};
    for_each_field<Configuration>([&](const auto& field, std::size_t i) { names[i] = field.key; });
    return names;
}();

bool is_section(std::string_view key) { return std::find(kSections.begin(), kSections.end(), key) != kSections.end(); }

// One that check takes for a misspelling of a section ([Load], [confg]): a
// file whose one section is misspelled is still a configuration, and its
// error is reported, not skipped. Asked only of a file without a section,
// as it costs a configuration's walk 6 % of its instructions.
bool is_misspelled_section(std::string_view key) { return lint::nearest(key, kSections).has_value(); }

// The names in `folder`, sorted; or the error of opening it.
std::variant<std::vector<std::string>, std::string> names_in(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return os_error_text(errno);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0) return os_error_text(error);
    std::sort(names.begin(), names.end());
    return names;
}

// A name below a folder: below "." the name alone, as the current folder's
// files are named.
std::string joined(std::string_view folder, std::string_view name) {
    if (folder == ".") return std::string(name);
    std::string path(folder);
    if (!path.empty() && path.back() != '/') path += '/';
    return path += name;
}

// Depth first with an explicit stack of open folders, so a deep tree uses
// no call stack; each folder's names in order, a subfolder walked at its
// name's place.
class Walk {
public:
    Walk(const std::vector<std::string>& exclude, const std::function<void(const WalkEntry&)>& visit)
        : exclude_(exclude), visit_(visit) {}

    void run(std::string_view root) {
        open(std::string(root), "");
        while (!stack_.empty()) {
            Folder& folder = stack_.back();
            if (folder.next == folder.names.size()) {
                stack_.pop_back();
                continue;
            }
            const std::string& name = folder.names[folder.next++];
            std::string path = joined(folder.path, name);
            std::string relative = folder.relative.empty() ? name : joined(folder.relative, name);
            if (excluded(exclude_, name, relative)) continue;
            struct stat st{};
            if (::stat(path.c_str(), &st) != 0) continue;  // a dangling link
            if (S_ISDIR(st.st_mode) && !skipped_folder(name)) {
                open(std::move(path), std::move(relative));  // `folder` is not used past here
            } else if (S_ISREG(st.st_mode) && name.ends_with(".toml")) {
                visit_(WalkEntry{std::move(path), {}});
            }
        }
    }

private:
    struct Folder {
        std::string path;
        std::string relative;
        std::vector<std::string> names;
        std::size_t next = 0;
    };

    // Lists a folder to walk next; one entered before (a link back into
    // the tree) is left.
    void open(std::string path, std::string relative) {
        struct stat st{};
        if (::stat(path.c_str(), &st) == 0 && !seen_.insert({st.st_dev, st.st_ino}).second) return;
        auto listed = names_in(path);
        if (auto* error = std::get_if<std::string>(&listed)) {
            visit_(WalkEntry{std::move(path), std::move(*error)});
            return;
        }
        stack_.push_back({std::move(path), std::move(relative), std::move(std::get<0>(listed)), 0});
    }

    const std::vector<std::string>& exclude_;
    const std::function<void(const WalkEntry&)>& visit_;
    std::set<std::pair<dev_t, ino_t>> seen_;
    std::vector<Folder> stack_;
};

// For a text that does not read as TOML: what its headers (lines that
// start with `[`, the name up to `]`, `.` or the line's end) say.
TomlKind kind_of_headers(std::string_view text) {
    bool section = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (!line.starts_with('[')) continue;
        line.remove_prefix(line.starts_with("[[") ? 2 : 1);
        const std::string_view name = line.substr(0, line.find_first_of("]. \t\r"));
        if (std::find(std::begin(kOtherTools), std::end(kOtherTools), name) != std::end(kOtherTools)) {
            return TomlKind::OtherTool;
        }
        section = section || is_misspelled_section(name);
    }
    return section ? TomlKind::Configuration : TomlKind::Neither;
}

TomlKind kind_of_document(const toml::Document& document) {
    bool section = false;
    for (const toml::Member member : document.root_table()) {
        if (std::find(std::begin(kOtherTools), std::end(kOtherTools), member.key) != std::end(kOtherTools)) {
            return TomlKind::OtherTool;
        }
        section = section || is_section(member.key);
    }
    if (section) return TomlKind::Configuration;
    const toml::Table top = document.root_table();
    const bool misspelled = std::any_of(top.begin(), top.end(),
                                        [](const toml::Member& member) { return is_misspelled_section(member.key); });
    return misspelled ? TomlKind::Configuration : TomlKind::Neither;
}

}  // namespace

bool is_configuration(const toml::Document& document) { return kind_of_document(document) == TomlKind::Configuration; }

TomlKind toml_kind(std::string_view text) {
    const toml::Result read = toml::parse(text);
    if (const auto* document = std::get_if<toml::Document>(&read)) return kind_of_document(*document);
    return kind_of_headers(text);
}

bool is_configuration_text(std::string_view text) { return toml_kind(text) == TomlKind::Configuration; }

bool skipped_folder(std::string_view name) {
    return name.starts_with('.') ||
           std::find(std::begin(kSkippedFolders), std::end(kSkippedFolders), name) != std::end(kSkippedFolders);
}

bool excluded(const std::vector<std::string>& globs, std::string_view name, std::string_view relative) {
    const std::string own(name), below(relative);
    return std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
        return ::fnmatch(glob.c_str(), own.c_str(), 0) == 0 || ::fnmatch(glob.c_str(), below.c_str(), 0) == 0;
    });
}

void walk_toml_files(std::string_view folder, const std::vector<std::string>& exclude,
                     const std::function<void(const WalkEntry&)>& visit) {
    Walk(exclude, visit).run(folder);
}

bool is_folder(std::string_view path) {
    struct stat st{};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vora::cli
