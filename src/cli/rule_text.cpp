#include "cli/rule_text.hpp"

#include "text/lines.hpp"

namespace vora::cli {

namespace {

std::string_view fix_of(const lint::CodeInfo& info) {
    return info.fix.empty() ? std::string_view("does not fix it") : info.fix;
}

}  // namespace

std::string rule_text(const lint::CodeInfo& info) {
    std::string out;
    out += info.name;
    out += ": ";
    out += info.description;
    out += "\nseverity: ";
    out += info.severity;
    out += "\nwhy: ";
    out += info.explanation;
    out += '\n';
    if (!info.example.empty()) {
        out += "example:\n";
        append_prefixed_lines(out, "    ", info.example);
        out += "instead:\n";
        append_prefixed_lines(out, "    ", info.instead);
    }
    out += "--fix: ";
    out += fix_of(info);
    out += '\n';
    return out;
}

std::string rule_markdown(const lint::CodeInfo& info) {
    std::string out = "**" + std::string(info.name) + "**: " + std::string(info.description) +
                      "\n\nSeverity: " + std::string(info.severity) + "\n\n" + std::string(info.explanation) + "\n\n";
    if (!info.example.empty()) {
        out += "Example:\n\n```toml\n" + std::string(info.example) + "\n```\n\nInstead:\n\n```toml\n" +
               std::string(info.instead) + "\n```\n\n";
    }
    return out + "`--fix`: " + std::string(fix_of(info)) + "\n";
}

}  // namespace vora::cli
