#include "cli/init.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <type_traits>
#include <unistd.h>

#include "configuration/file_schema.hpp"
#include "configuration/schema.hpp"
#include "configuration/structs.hpp"
#include "text/format.hpp"
#include "text/lines.hpp"
#include "io/output.hpp"
#include "io/read_file.hpp"

namespace vora::cli {

namespace {

using json = nlohmann::json;

// A TOML basic string: quotes, backslashes and control characters escaped.
std::string toml_string(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The TOML form of a value in the JSON form of the records (no nulls).
std::string toml_value(const json& value) {
    if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
    if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
    if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
    if (value.is_number_float()) return format_display_double(value.get<double>());
    if (value.is_string()) return toml_string(value.get_ref<const std::string&>());
    std::string out = "[";
    for (std::size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + toml_value(value[i]);
    return out + "]";
}

template <class T>
struct innermost {
    using type = T;
};
template <class T>
struct innermost<std::optional<T>> : innermost<T> {};
template <class T>
struct innermost<std::vector<T>> : innermost<T> {};

// A value of type T that loads, for a key without a default or with an
// empty one: its declared example, the first of its choices, or the
// simplest value.
template <class T, class F>
std::string example_value(const F& f) {
    if (!f.example.empty()) return std::string(f.example);
    if constexpr (is_optional<T>::value) {
        return example_value<typename T::value_type>(f);
    } else if constexpr (is_vector<T>::value) {
        return "[]";
    } else if constexpr (std::is_same_v<T, bool>) {
        return "false";
    } else if constexpr (std::is_same_v<T, std::string>) {
        return toml_string(f.choices.count == 0 ? std::string_view{} : f.choices.items().front());
    } else if constexpr (std::is_same_v<T, float>) {
        return "1.0";
    } else {
        return f.limits.minimum ? std::to_string(*f.limits.minimum) : "1";
    }
}

// "# " before each line of a comment.
void comment(std::string& out, std::string_view text) { append_prefixed_lines(out, "# ", text); }

// One commented-out key: its description, the choices it lists, its line.
void key_lines(std::string& out, std::string_view key, std::string_view description, const Choices& choices,
               bool quoted, const std::string& value) {
    out += '\n';
    comment(out, description);
    if (choices.count != 0) {
        std::string list = choices.open ? "for example: " : "one of: ";
        for (const std::string_view item : choices.items()) {
            if (list.back() != ' ') list += ", ";
            list += quoted ? toml_string(item) : std::string(item);
        }
        comment(out, list);
    }
    comment(out, std::string(key) + " = " + value);
}

template <class Record>
void section_keys(std::string& out) {
    const Record defaults{};
    for_each_field<Record>([&](const auto& f, std::size_t) {
        using T = typename std::remove_cvref_t<decltype(f)>::value_type;
        const json value = schema_detail::value_json(f.get(defaults));
        // An empty default ("" or []) is what the converter gets when the
        // key is left out: uncommented, the line gives a real value instead.
        const bool shown = !value.is_null() && !((value.is_string() || value.is_array()) && value.empty());
        key_lines(out, f.key, f.description, f.choices, std::is_same_v<typename innermost<T>::type, std::string>,
                  shown ? toml_value(value) : example_value<T>(f));
    });
}

// Writes `text` to a new file at `path`; false, with the error number in
// errno, when the file exists or cannot be written (a partly written file is
// removed).
bool write_new_file(const std::string& path, std::string_view text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    int error = write_all(fd, text) ? 0 : errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (error) {
        ::unlink(path.c_str());
        errno = error;
        return false;
    }
    return true;
}

void err(std::string_view text) { write_whole(STDERR_FILENO, text); }

}  // namespace

std::string starting_file() {
    const json schema = file_schema();
    std::string out = "#:schema ./" + std::string(kSchemaFileName) + "\n";
    comment(out,
            "A VORA conversion configuration with every section and key commented out. Uncomment the\n"
            "header of each section you need and the keys you set in it; [load] needs its model_type.\n"
            "Each key shows its default, or an example value where it has none. Run `vora-config check`\n"
            "on the file before converting with it.");
    for_each_field<Configuration>([&](const auto& f, std::size_t) {
        using Record = section_record_t<decltype(f)>;
        const std::string name(f.key);
        out += '\n';
        comment(out, schema.at("properties").at(name).at("description").template get<std::string>());
        out += "# [" + name + "]\n";
        if constexpr (std::is_same_v<section_value_t<decltype(f)>, LoadConfig>) {
            key_lines(out, LoadConfig::tag_key, LoadConfig::tag_description, Choices{}, true,
                      toml_string(LoadConfig::onnx_tag));
        }
        section_keys<Record>(out);
    });
    return out;
}

int init(const std::vector<std::string_view>& args, int (*usage_error)(std::string_view)) {
    std::optional<std::string> output;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--output") {
            if (i + 1 == args.size()) return usage_error("--output needs a FILE");
            output = std::string(args[++i]);
        } else if (arg.starts_with("--output=")) {
            output = std::string(arg.substr(9));
        } else {
            return usage_error("init: unexpected argument '" + std::string(arg) + "'");
        }
    }
    const std::string text = starting_file();
    if (!output) {
        write_whole(STDOUT_FILENO, text);
        return 0;
    }
    if (output->empty()) return usage_error("--output needs a FILE");
    if (!write_new_file(*output, text)) {
        err("vora-config: " + *output + ": " +
            (errno == EEXIST ? std::string("already exists; init does not overwrite a file") : os_error_text(errno)) +
            "\n");
        return 1;
    }
    // The schema the header names, beside the file, unless one is there.
    const std::size_t slash = output->rfind('/');
    const std::string schema_path =
        (slash == std::string::npos ? std::string() : output->substr(0, slash + 1)) + std::string(kSchemaFileName);
    std::string written = "wrote " + *output + "\n";
    if (write_new_file(schema_path, file_schema().dump(2) + "\n")) {
        written += "wrote " + schema_path + "\n";
    } else if (errno != EEXIST) {
        err("vora-config: " + schema_path + ": " + os_error_text(errno) + "\n");
        return 1;
    }
    write_whole(STDOUT_FILENO, written);
    return 0;
}

}  // namespace vora::cli
