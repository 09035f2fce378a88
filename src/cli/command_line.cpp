#include "cli/command_line.hpp"

#include <unistd.h>

#include "cli/help.hpp"
#include "configuration/load.hpp"
#include "io/output.hpp"

namespace vora::cli {

void out(std::string_view text) { write_whole(STDOUT_FILENO, text); }
void err(std::string_view text) { write_whole(STDERR_FILENO, text); }

int usage_error(std::string_view message) {
    err("vora-config: " + std::string(message) + "\n");
    err(usage());
    return 2;
}

std::variant<std::string, ReadError> read_input(std::string_view path) {
    return path == "-" ? read_text_descriptor(STDIN_FILENO, kDocumentLimit) : read_text_file(path, kDocumentLimit);
}

std::optional<std::variant<std::string_view, std::string>> option_value(std::string_view name,
                                                                        const std::vector<std::string_view>& args,
                                                                        std::size_t& i) {
    const std::string_view arg = args[i];
    if (arg == name) {
        if (i + 1 == args.size()) return std::string(name) + " needs a value";
        return args[++i];
    }
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
    }
    return std::nullopt;
}

}  // namespace vora::cli
