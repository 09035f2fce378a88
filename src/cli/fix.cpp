#include "cli/fix.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "configuration/load.hpp"
#include "io/output.hpp"
#include "io/read_file.hpp"
#include "text/source_index.hpp"

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

// A file name in a diff header, as diff tools write it: quoted with C
// escapes when it holds a control character or begins with a quote, else as
// it is, with a tab after it when it holds a space (the tab ends the name).
std::string header_name(std::string_view name) {
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (!control && !name.starts_with('"')) {
        return std::string(name) + (name.find(' ') != std::string_view::npos ? "\t" : "");
    }
    std::string out = "\"";
    for (const char c : name) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    const auto byte = static_cast<unsigned char>(c);
                    out += '\\';
                    out += static_cast<char>('0' + (byte >> 6));
                    out += static_cast<char>('0' + ((byte >> 3) & 7));
                    out += static_cast<char>('0' + (byte & 7));
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
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
    const std::string shown = header_name(name);
    std::string out = "--- " + shown + "\n+++ " + shown + "\n";
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

namespace {

// The new file being written beside the one it replaces, for the handler of
// the signals that end the process: its path, prepared before the file is
// made, and whether it is there.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
char temporary_path[PATH_MAX + NAME_MAX + 2];
volatile std::sig_atomic_t temporary_made = 0;

extern "C" void remove_temporary_and_die(int signal_number) {
    if (temporary_made) ::unlink(temporary_path);
    // Dies of the signal: it is delivered again, unhandled, once the
    // handler returns and unblocks it.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// The ending signals held back while alive: what happens meanwhile (the
// new file made and its name kept, the rename, a file written over in
// place) is done whole, and a signal that came is handled after it.
class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal_number : kEndingSignals) sigaddset(&set, signal_number);
        ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~EndingSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
    EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// While alive, the ending signals that would end the process (not those
// ignored) remove the new file first; then each is handled as before.
class TemporaryRemovedOnSignals {
public:
    TemporaryRemovedOnSignals() {
        struct sigaction action {};
        action.sa_handler = remove_temporary_and_die;
        sigemptyset(&action.sa_mask);
        for (const int signal_number : kEndingSignals) sigaddset(&action.sa_mask, signal_number);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            installed_[i] = ::sigaction(kEndingSignals[i], nullptr, &old_[i]) == 0 && old_[i].sa_handler == SIG_DFL &&
                            ::sigaction(kEndingSignals[i], &action, nullptr) == 0;
        }
    }
    ~TemporaryRemovedOnSignals() {
        forget();
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            if (installed_[i]) ::sigaction(kEndingSignals[i], &old_[i], nullptr);
        }
    }
    TemporaryRemovedOnSignals(const TemporaryRemovedOnSignals&) = delete;
    TemporaryRemovedOnSignals& operator=(const TemporaryRemovedOnSignals&) = delete;

    // Makes the new file from the template `path` (its name filled in).
    int make(std::string& path) {
        if (path.size() >= sizeof temporary_path) {
            errno = ENAMETOOLONG;
            return -1;
        }
        EndingSignalsBlocked blocked;
        const int fd = ::mkstemp(path.data());
        if (fd >= 0) {
            std::memcpy(temporary_path, path.c_str(), path.size() + 1);
            temporary_made = 1;
        }
        return fd;
    }
    // The new file is no longer there to remove (renamed or removed).
    static void forget() { temporary_made = 0; }

private:
    struct sigaction old_[std::size(kEndingSignals)] {};
    bool installed_[std::size(kEndingSignals)] {};
};

// Whether the open file holds `original` exactly.
bool holds(int fd, std::string_view original) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) != original.size()) return false;
    char buffer[65536];
    std::size_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return at == original.size();
        const auto got = static_cast<std::size_t>(n);
        if (got > original.size() - at || original.compare(at, got, buffer, got) != 0) return false;
        at += got;
    }
}

bool pwrite_all(int fd, std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + at, bytes.size() - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

std::string changed_text(const std::string& target) {
    return "cannot fix " + target + ": it changed while it was being fixed (left as it is)";
}

// A file with more than one name, written over in place: every name sees
// the new text.
std::optional<std::string> write_in_place(const std::string& target, std::string_view original,
                                          std::string_view text) {
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return error_text("open", target);
    std::optional<std::string> error;
    {
        EndingSignalsBlocked blocked;
        if (!holds(fd, original)) {
            error = changed_text(target);
        } else if (!pwrite_all(fd, text) || ::ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
            error = error_text("write", target);
            // What was there, put back as far as it goes.
            if (pwrite_all(fd, original)) {
                [[maybe_unused]] const int ignored = ::ftruncate(fd, static_cast<off_t>(original.size()));
            }
        }
    }
    if (!error && ::fsync(fd) != 0) error = error_text("flush", target);
    if (::close(fd) != 0 && !error) error = error_text("close", target);
    return error;
}

// The extended attributes of `from` (ACLs and security labels among them)
// given to the open file `to`: those of the user namespace always (or an
// error), the others where the process may set them.
std::optional<std::string> copy_attributes(const std::string& from, int to, const std::string& to_name) {
    std::string names;
    for (;;) {
        const ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP) return std::nullopt;
            return error_text("list the extended attributes of", from);
        }
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = size == 0 ? 0 : ::listxattr(from.c_str(), names.data(), names.size());
        if (got < 0 && errno == ERANGE) continue;
        if (got < 0) return error_text("list the extended attributes of", from);
        names.resize(static_cast<std::size_t>(got));
        break;
    }
    std::string value;
    for (std::size_t at = 0; at < names.size();) {
        const char* name = names.c_str() + at;
        at += std::strlen(name) + 1;
        ssize_t got = -1;
        do {
            const ssize_t size = ::getxattr(from.c_str(), name, nullptr, 0);
            if (size < 0) break;
            value.resize(static_cast<std::size_t>(size));
            got = size == 0 ? 0 : ::getxattr(from.c_str(), name, value.data(), value.size());
        } while (got < 0 && errno == ERANGE);
        const bool user = std::strncmp(name, "user.", 5) == 0;
        if (got < 0 || ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0) {
            if (user && errno != ENOTSUP) return error_text("copy the extended attribute " + std::string(name) + " to", to_name);
        }
    }
    return std::nullopt;
}

// The name of the new file made beside `base`: ".BASE.vora-config-fix."
// and six characters mkstemp chooses, BASE cut (at a character's start) so
// that the name fits a directory entry.
std::string temporary_name(std::string_view base) {
    constexpr std::string_view suffix = ".vora-config-fix.XXXXXX";
    const std::size_t room = NAME_MAX - 1 - suffix.size();
    if (base.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
        base = base.substr(0, cut);
    }
    std::string name(1, '.');
    name.append(base).append(suffix);
    return name;
}

}  // namespace

std::optional<std::string> replace_file(const std::string& path, std::string_view original, std::string_view text) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return error_text("resolve", path);
    const std::string target(resolved);
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0) return error_text("read the mode of", target);
    // A device or a pipe is not replaced by a file.
    if (!S_ISREG(old.st_mode)) return "cannot replace " + target + ": not a regular file";
    // Not a file the user may not write, even where the directory would let
    // it be replaced.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return "cannot fix " + target + ": the file may not be written: " + os_error_text(errno);
    }
    if (old.st_nlink > 1) return write_in_place(target, original, text);
    const std::size_t slash = target.rfind('/');
    std::string temporary = target.substr(0, slash + 1) + temporary_name(std::string_view(target).substr(slash + 1));
    TemporaryRemovedOnSignals cleanup;
    const int fd = cleanup.make(temporary);
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
    } else if (auto copy_error = copy_attributes(target, fd, temporary)) {
        error = std::move(copy_error);
    } else if (::fsync(fd) != 0) {
        error = error_text("flush", temporary);
    }
    if (::close(fd) != 0 && !error) error = error_text("close", temporary);
    if (!error) {
        // The file is still the one read, just before it is replaced: a
        // write made to it meanwhile is not lost.
        EndingSignalsBlocked blocked;
        struct stat now {};
        const int current = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
        const bool same = current >= 0 && ::fstat(current, &now) == 0 && now.st_dev == old.st_dev &&
                          now.st_ino == old.st_ino && holds(current, original);
        if (current >= 0) ::close(current);
        if (!same) {
            error = changed_text(target);
        } else if (::rename(temporary.c_str(), target.c_str()) != 0) {
            error = error_text("replace", target);
        } else {
            cleanup.forget();
        }
    }
    if (error) {
        EndingSignalsBlocked blocked;
        ::unlink(temporary.c_str());
        cleanup.forget();
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

std::optional<std::string> read_bytes(int fd, std::string& bytes) {
    constexpr std::size_t limit = toml::max_document_size;
    bytes.clear();
    char buffer[65536];
    while (bytes.size() <= limit) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit + 1 - bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return os_error_text(errno);
        if (n == 0) return std::nullopt;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return std::string(toml::too_large_message);
}

namespace {

// The renames among `edits` (made in `before`, giving `after`) under whose
// new key loading `after` fails: the key of a value that does not load, or
// a key on the way to it, is where an edit put a key.
std::vector<const lint::Edit*> renames_that_break_loading(std::string_view after,
                                                          const std::vector<lint::Edit>& edits) {
    std::vector<const lint::Edit*> breaking;
    auto parsed = toml::parse(after);
    const auto* document = std::get_if<toml::Document>(&parsed);
    if (document == nullptr) return breaking;
    // Where each edit's key begins in `after`, as a byte offset.
    std::vector<std::uint32_t> keys;
    std::ptrdiff_t shift = 0;
    for (const lint::Edit& edit : edits) {
        keys.push_back(static_cast<std::uint32_t>(static_cast<std::ptrdiff_t>(edit.begin) + shift));
        shift += static_cast<std::ptrdiff_t>(edit.replacement.size()) - static_cast<std::ptrdiff_t>(edit.end - edit.begin);
    }
    for (const LoadError& error : mapping_errors(*document)) {
        std::optional<toml::Table> table = document->root_table();
        for (const std::string& key : error.path) {
            const std::optional<toml::Member> member = table ? table->member(key) : std::nullopt;
            if (!member) break;
            const auto at = std::find(keys.begin(), keys.end(), member->key_offsets().first);
            if (at != keys.end() && std::find(breaking.begin(), breaking.end(), &edits[at - keys.begin()]) == breaking.end()) {
                breaking.push_back(&edits[at - keys.begin()]);
            }
            table = member->value.is_table() ? std::optional(member->value.as_table()) : std::nullopt;
        }
    }
    return breaking;
}

// The edits made over the rounds of a fix, as offsets into the original
// text: to tell where a later round's edit (an offset into the text the
// rounds before made) lies in the original.
class EditsMade {
public:
    // Records a round's edits (ordered, into the current text, none inside
    // an earlier edit) with their positions in the original text.
    void add(std::string_view current, const std::vector<lint::Edit>& edits, std::vector<Change>& changes) {
        std::vector<Made> round;
        std::size_t next = 0;
        std::ptrdiff_t shift = 0;  // current minus original offset, before the edit looked at
        for (const lint::Edit& edit : edits) {
            while (next < made_.size() &&
                   made_[next].begin + shift + made_[next].length <= static_cast<std::ptrdiff_t>(edit.begin)) {
                shift += made_[next].length - (made_[next].end - made_[next].begin);
                ++next;
            }
            const auto begin = static_cast<std::ptrdiff_t>(edit.begin) - shift;
            const auto length = static_cast<std::ptrdiff_t>(edit.replacement.size());
            round.push_back(Made{begin, begin + static_cast<std::ptrdiff_t>(edit.end - edit.begin), length});
            changes.push_back(Change{0, 0, std::string(current.substr(edit.begin, edit.end - edit.begin)),
                                     std::string(edit.replacement), edit.value});
            offsets_.push_back(static_cast<std::size_t>(begin));
        }
        const std::size_t middle = made_.size();
        made_.insert(made_.end(), round.begin(), round.end());
        std::inplace_merge(made_.begin(), made_.begin() + static_cast<std::ptrdiff_t>(middle), made_.end(),
                           [](const Made& a, const Made& b) { return a.begin < b.begin; });
    }

    // Gives the changes their lines and columns in `original`, and puts
    // them in file order.
    void place(std::string_view original, std::vector<Change>& changes) const {
        SourceIndex index(original);
        std::vector<std::size_t> order(changes.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return offsets_[a] < offsets_[b]; });
        std::vector<Change> placed;
        placed.reserve(changes.size());
        for (const std::size_t i : order) {
            const LineColumn at = index.at(offsets_[i]);
            placed.push_back(std::move(changes[i]));
            placed.back().line = at.line;
            placed.back().column = at.column;
        }
        changes = std::move(placed);
    }

private:
    struct Made {
        std::ptrdiff_t begin, end;  // in the original text
        std::ptrdiff_t length;      // of the replacement
    };
    std::vector<Made> made_;           // in the order of their offsets
    std::vector<std::size_t> offsets_;  // of each change, in the original text
};

bool has_load_error(const std::vector<lint::Finding>& findings) {
    return std::any_of(findings.begin(), findings.end(),
                       [](const lint::Finding& finding) { return finding.code == lint::kLoadError; });
}

// Drops the fixes of `findings` that are among `breaking`: they stay
// suggestions.
void drop_fixes(std::vector<lint::Finding>& findings, const std::vector<const lint::Edit*>& breaking) {
    for (lint::Finding& finding : findings) {
        const std::optional<lint::Edit> fix = finding.fix();
        if (fix && std::any_of(breaking.begin(), breaking.end(), [&](const lint::Edit* edit) {
                return edit->begin == fix->begin && edit->end == fix->end;
            })) {
            finding.drop_fix();
        }
    }
}

// One round of fixes of `text`: the edits made, the fixed text and its
// findings; nothing when no fix is left. A rename whose value does not load
// under its new key is not certain: it stays a suggestion (its fix dropped
// from `findings`), and the round is made anew without it.
struct Round {
    std::vector<lint::Edit> edits;  // views into `findings`' replacements
    std::string text;
    std::vector<lint::Finding> findings;
};

std::optional<Round> settled_round(std::string_view text, std::vector<lint::Finding>& findings) {
    for (;;) {
        std::vector<lint::Edit> edits = ordered_edits(text, findings);
        if (edits.empty()) return std::nullopt;
        std::string candidate = apply_fixes(text, findings);
        std::vector<lint::Finding> after = lint::check_text(candidate);
        if (has_load_error(after)) {
            const std::vector<const lint::Edit*> breaking = renames_that_break_loading(candidate, edits);
            if (!breaking.empty()) {
                drop_fixes(findings, breaking);
                continue;
            }
        }
        return Round{std::move(edits), std::move(candidate), std::move(after)};
    }
}

}  // namespace

void settle_fixes(std::string_view text, std::vector<lint::Finding>& findings) { settled_round(text, findings); }

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
    std::vector<lint::Finding>* current = &file_findings;
    EditsMade made;
    for (int round = 0; round < 8; ++round) {
        std::optional<Round> made_round = settled_round(fixed, *current);
        if (!made_round) break;
        const std::vector<lint::Edit>& edits = made_round->edits;
        result.edits += edits.size();
        result.values += static_cast<std::size_t>(
            std::count_if(edits.begin(), edits.end(), [](const lint::Edit& edit) { return edit.value; }));
        if (mode == FixMode::Fix) made.add(fixed, edits, result.changes);
        fixed = std::move(made_round->text);
        findings = std::move(made_round->findings);
        current = &findings;
    }
    if (mode == FixMode::Diff) {
        result.diff = unified_diff(name, text, fixed);
        return result;
    }
    if (from_stdin) result.fixed_text = fixed;
    if (fixed == text) return result;
    if (!from_stdin) {
        if (auto error = replace_file(std::string(path), text, fixed)) {
            result.edits = 0;
            result.values = 0;
            result.changes.clear();
            file_findings.push_back(
                lint::Finding{lint::Severity::Error, lint::kWriteError, std::move(*error)});
            return result;
        }
    }
    made.place(text, result.changes);
    text = std::move(fixed);
    file_findings = std::move(findings);
    return result;
}

}  // namespace vora::cli
