// The report formats' common entry points: a renderer of the format asked
// for, and a whole report in one string. The formats themselves are in
// report_text.cpp, report_json.cpp, report_github.cpp and report_sarif.cpp.
#include "cli/report.hpp"

#include "cli/report_common.hpp"

namespace vora::cli {

std::unique_ptr<Renderer> make_renderer(Format format, const RenderOptions& options) {
    switch (format) {
        case Format::Text: return make_text_renderer(options.color);
        case Format::Concise: return make_concise_renderer();
        case Format::Json: return make_json_renderer();
        case Format::Github: return make_github_renderer();
        case Format::Sarif: return make_sarif_renderer(options.version);
    }
    return nullptr;
}

std::string render(Format format, const std::vector<FileReport>& files, const RenderOptions& options) {
    std::string all;
    Output out([&](std::string_view bytes) { all += bytes; });
    const auto renderer = make_renderer(format, options);
    Totals totals;
    renderer->begin(out);
    for (const FileReport& file : files) {
        renderer->file(file, out);
        totals.add(file.findings);
    }
    renderer->end(totals, out);
    out.flush();
    return all;
}

}  // namespace vora::cli
