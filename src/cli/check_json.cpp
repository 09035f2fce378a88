#include "cli/check_json.hpp"

#include <variant>
#include <vector>

#include "cli/report.hpp"
#include "configuration/load.hpp"
#include "io/read_file.hpp"
#include "lint/preflight.hpp"

namespace vora::cli {

std::string check_as_json(std::string_view path, bool files, const std::string& base, InterruptCheck check) {
    std::string text;
    lint::Findings findings;
    if (std::optional<ReadError> error = read_text_file(path, text, kDocumentLimit, check)) {
        text.clear();
        findings.push_back(lint::Finding{lint::Severity::Error, lint::kReadError, std::move(error->message)});
    } else {
        lint::DocumentCheck more;
        const lint::FileCheckOptions options{base};
        if (files) {
            more = [&options](const toml::Document&, const Configuration& configuration, const Places& places,
                              std::vector<lint::Finding>& out) {
                lint::check_files(configuration, places, options, out);
            };
        }
        findings = lint::check_text(text, more);
    }
    return render(Format::Json, {FileReport{path, text, findings}});
}

}  // namespace vora::cli
