#include "lsp/server.hpp"

#include <csignal>

#include "io/output.hpp"
#include "lsp/assist.hpp"

namespace vora::lsp {

namespace {

// JSON-RPC's and the protocol's error codes.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kServerNotInitialized = -32002;
constexpr int kRequestCancelled = -32800;

constexpr std::string_view kFixAllKind = "source.fixAll.vora-config";
// Where the text of the finding codes is; `vora-config rule CODE` prints
// a code's.
constexpr std::string_view kCodesHref = "README.md#finding-codes";

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// The key of a request id in the set of cancelled ones.
std::string id_key(const json& id) { return dump(id); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether the action kind `kind` is among those the client asked for.
bool kind_wanted(const json& context, std::string_view kind) {
    const auto only = context.find("only");
    if (only == context.end() || !only->is_array()) return true;
    for (const json& wanted : *only) {
        if (!wanted.is_string()) continue;
        const std::string& w = wanted.get_ref<const std::string&>();
        if (kind == w || (kind.starts_with(w) && kind.size() > w.size() && kind[w.size()] == '.')) return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> uri_path(std::string_view uri) {
    constexpr std::string_view kScheme = "file://";
    if (!uri.starts_with(kScheme)) return std::nullopt;
    uri.remove_prefix(kScheme.size());
    const std::size_t slash = uri.find('/');  // past an authority ("localhost")
    if (slash == std::string_view::npos) return std::nullopt;
    uri.remove_prefix(slash);
    std::string path;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && hex_digit(uri[i + 1]) >= 0 && hex_digit(uri[i + 2]) >= 0) {
            path += static_cast<char>(hex_digit(uri[i + 1]) * 16 + hex_digit(uri[i + 2]));
            i += 2;
        } else {
            path += uri[i];
        }
    }
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

Server::Server(Send send, std::string version) : send_(std::move(send)), version_(std::move(version)) {}

void Server::respond(const json& id, json result) {
    send_(dump(json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}}));
}

void Server::respond_error(const json& id, int code, std::string_view message) {
    send_(dump(json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}}));
}

void Server::notify(std::string_view method, json params) {
    send_(dump(json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}}));
}

void Server::log(int type, std::string_view message) {
    notify("window/logMessage", json{{"type", type}, {"message", "vora-config: " + std::string(message)}});
}

void Server::handle(std::vector<Frame> frames) {
    // The ids of requests cancelled before they were answered: those of
    // the frames read together.
    std::set<std::string> cancelled;
    for (const Frame& frame : frames) {
        if (frame.kind != Frame::Kind::Body || frame.text.find("$/cancelRequest") == std::string::npos) continue;
        const json message = json::parse(frame.text, nullptr, false);
        if (message.is_object() && message.value("method", "") == "$/cancelRequest" && message.contains("params") &&
            message["params"].is_object() && message["params"].contains("id")) {
            cancelled.insert(id_key(message["params"]["id"]));
        }
    }
    for (const Frame& frame : frames) {
        if (exited_) return;
        if (frame.kind == Frame::Kind::Refused) {
            log(1, "a message refused: " + frame.text);
        } else if (frame.kind == Frame::Kind::Body) {
            handle_body(frame.text, cancelled);
        }
    }
}

void Server::handle_body(const std::string& body, const std::set<std::string>& cancelled) {
    const json message = json::parse(body, nullptr, false);
    if (message.is_discarded()) return respond_error(nullptr, kParseError, "the message is not JSON");
    if (!message.is_object()) return respond_error(nullptr, kInvalidRequest, "the message is not a JSON object");
    const auto id = message.find("id");
    const bool has_id = id != message.end();
    if (has_id && !id->is_string() && !id->is_number_integer()) {
        return respond_error(nullptr, kInvalidRequest, "the id is not a number or a string");
    }
    const auto method = message.find("method");
    if (method == message.end() || !method->is_string()) {
        // A response to one of the server's requests: nothing to do.
        if (has_id && (message.contains("result") || message.contains("error"))) return;
        return respond_error(has_id ? *id : json(nullptr), kInvalidRequest, "the message has no method");
    }
    const std::string& name = method->get_ref<const std::string&>();
    if (has_id && cancelled.count(id_key(*id))) return respond_error(*id, kRequestCancelled, "cancelled");
    try {
        dispatch(name, message, has_id ? &*id : nullptr);
    } catch (const json::exception& e) {
        if (has_id) return respond_error(*id, kInvalidParams, std::string("invalid params: ") + e.what());
        log(1, name + ": invalid params: " + e.what());
    }
}

void Server::dispatch(const std::string& method, const json& message, const json* id) {
    static const json kNoParams = json::object();
    const json& params = message.contains("params") ? message["params"] : kNoParams;
    if (method == "exit") {
        exited_ = true;
        return;
    }
    if (!initialized_) {
        if (method == "initialize" && id) return respond(*id, initialize(params));
        if (id) respond_error(*id, kServerNotInitialized, "the server is not initialized");
        return;
    }
    if (id && shut_down_) return respond_error(*id, kInvalidRequest, "the server is shut down");
    if (!id) {
        if (method == "initialized") return initialized();
        if (method == "textDocument/didOpen") return did_open(params);
        if (method == "textDocument/didChange") return did_change(params);
        if (method == "textDocument/didClose") return did_close(params);
        if (method == "workspace/didChangeWatchedFiles") return watched_files_changed();
        if (method == "textDocument/didSave") return did_save(params);
        return;  // $/cancelRequest, $/setTrace, and what is not implemented
    }
    if (method == "initialize") return respond_error(*id, kInvalidRequest, "initialize was already received");
    if (method == "shutdown") {
        shut_down_ = true;
        return respond(*id, nullptr);
    }
    if (method == "textDocument/diagnostic") return respond(*id, pull_diagnostics(params));
    if (method == "textDocument/codeAction") return respond(*id, code_actions(params));
    if (method == "textDocument/hover") return respond(*id, hover(params));
    if (method == "textDocument/completion") return respond(*id, completion(params));
    respond_error(*id, kMethodNotFound, "not implemented: " + method);
}

json Server::initialize(const json& params) {
    initialized_ = true;
    const json capabilities = params.value("capabilities", json::object());
    const json encodings = capabilities.value("general", json::object()).value("positionEncodings", json::array());
    for (const json& encoding : encodings) {
        if (encoding == "utf-8") encoding_ = Encoding::Utf8;
    }
    const json text_document = capabilities.value("textDocument", json::object());
    const json workspace = capabilities.value("workspace", json::object());
    pull_ = text_document.contains("diagnostic");
    snippets_ = text_document.value("completion", json::object())
                    .value("completionItem", json::object())
                    .value("snippetSupport", false);
    refresh_ = workspace.value("diagnostics", json::object()).value("refreshSupport", false);
    watch_ = workspace.value("didChangeWatchedFiles", json::object()).value("dynamicRegistration", false);
    json provided = {
        {"positionEncoding", encoding_ == Encoding::Utf8 ? "utf-8" : "utf-16"},
        {"textDocumentSync", {{"openClose", true}, {"change", 2}, {"save", {{"includeText", false}}}}},
        {"codeActionProvider", {{"codeActionKinds", {"quickfix", kFixAllKind}}}},
        {"hoverProvider", true},
        {"completionProvider", {{"triggerCharacters", {"[", "\"", "/", "'"}}}},
    };
    if (pull_) provided["diagnosticProvider"] = {{"interFileDependencies", false}, {"workspaceDiagnostics", false}};
    return json{{"capabilities", provided}, {"serverInfo", {{"name", "vora-config"}, {"version", version_}}}};
}

void Server::initialized() {
    if (!watch_) return;
    // The files the checks read: models and their data, initial values,
    // datasets, settings.
    json watchers = json::array();
    for (const char* glob : {"**/*.onnx", "**/*.npy", "**/*.npz", "**/*.txt", "**/*.data", "**/*.bin",
                             "**/pyproject.toml", "**/vora-config.toml"}) {
        watchers.push_back({{"globPattern", glob}});
    }
    json registration = {{"id", "vora-config-files"},
                         {"method", "workspace/didChangeWatchedFiles"},
                         {"registerOptions", {{"watchers", watchers}}}};
    json message = {{"jsonrpc", "2.0"}, {"id", next_request_++}, {"method", "client/registerCapability"}};
    message["params"]["registrations"] = json::array({std::move(registration)});
    send_(dump(message));
}

CheckSettings Server::settings_for(const std::string& uri) const {
    CheckSettings settings;
    const std::optional<std::string> path = uri_path(uri);
    if (!path) {
        settings.files = false;
        return settings;
    }
    // The settings file that holds for the document, as for `check` of it
    // (read anew each time: the user may be editing it); relative paths
    // are taken from the configuration's folder unless it names a base.
    cli::FileRules rules = cli::Targets(cli::Overrides{}).rules_of(*path);
    const std::size_t slash = path->rfind('/');
    settings.base = rules.base.empty() ? (slash == 0 ? "/" : path->substr(0, slash)) : rules.base;
    settings.files = rules.files;
    settings.rules = std::move(rules);
    return settings;
}

Server::Open* Server::find(const json& params) {
    const std::string& uri = params.at("textDocument").at("uri").get_ref<const std::string&>();
    const auto at = open_.find(uri);
    return at == open_.end() ? nullptr : &at->second;
}

void Server::did_open(const json& params) {
    const json& item = params.at("textDocument");
    const std::string& uri = item.at("uri").get_ref<const std::string&>();
    Open& open = open_[uri];
    open.document = Document(item.at("text").get<std::string>(), item.value("version", std::int64_t{0}));
    open.configuration = is_configuration(open.document.text());
    dirty_.insert(uri);
}

void Server::did_change(const json& params) {
    Open* open = find(params);
    if (!open) return log(1, "didChange of a document not open");
    Document& document = open->document;
    for (const json& change : params.at("contentChanges")) {
        const std::string& text = change.at("text").get_ref<const std::string&>();
        if (!change.contains("range")) {
            document.replace(text);
            continue;
        }
        const json& range = change.at("range");
        const auto position = [](const json& p) {
            return Position{p.at("line").get<std::uint32_t>(), p.at("character").get<std::uint32_t>()};
        };
        const std::size_t begin = document.offset(position(range.at("start")), encoding_);
        const std::size_t end = document.offset(position(range.at("end")), encoding_);
        document.replace(std::min(begin, end), std::max(begin, end), text);
    }
    document.set_version(params.at("textDocument").value("version", document.version()));
    // A configuration being edited stays one while it holds no table of
    // another tool's file: its one section misspelled is its error.
    const TomlKind kind = toml_kind(document.text());
    open->configuration = kind == TomlKind::Configuration || (open->configuration && kind == TomlKind::Undecided);
    dirty_.insert(params.at("textDocument").at("uri").get<std::string>());
}

void Server::did_close(const json& params) {
    const std::string uri = params.at("textDocument").at("uri").get<std::string>();
    open_.erase(uri);
    results_.erase(uri);
    dirty_.erase(uri);
    if (!pull_) notify("textDocument/publishDiagnostics", json{{"uri", uri}, {"diagnostics", json::array()}});
}

void Server::did_save(const json& params) {
    // Saving reads the files named again (those no watcher tells of: the
    // entries of a dataset, a list of inputs).
    const std::string uri = params.at("textDocument").at("uri").get<std::string>();
    results_.erase(uri);
    if (open_.count(uri)) dirty_.insert(uri);
}

void Server::watched_files_changed() {
    // The files may hold anything now: every document is checked again.
    results_.clear();
    for (const auto& [uri, open] : open_) dirty_.insert(uri);
    if (pull_ && refresh_) {
        send_(dump(json{{"jsonrpc", "2.0"}, {"id", next_request_++}, {"method", "workspace/diagnostic/refresh"}}));
    }
}

const Checked& Server::checked(const std::string& uri, const Open& open) {
    Result& result = results_[uri];
    const std::string& text = open.document.text();
    // The files' findings hold while the text and the files named are
    // what they were: a file changed (its size or time) is read again.
    if (result.valid && result.text == text && result.stamps == stamps_of(result.checked.paths)) return result.checked;
    result.valid = true;
    result.text = text;
    result.checked = check_document(text, settings_for(uri), false, &result.files);
    result.stamps = stamps_of(result.checked.paths);
    return result.checked;
}

json Server::range(const Document& document, std::size_t begin, std::size_t end) const {
    const Position a = document.position(begin, encoding_);
    const Position b = document.position(end, encoding_);
    return json{{"start", {{"line", a.line}, {"character", a.character}}},
                {"end", {{"line", b.line}, {"character", b.character}}}};
}

json Server::text_edit(const Document& document, const TextEdit& edit) const {
    return json{{"range", range(document, edit.begin, edit.end)}, {"newText", edit.text}};
}

json Server::diagnostic(const std::string& uri, const Document& document, const Problem& problem) const {
    json diagnostic = {
        {"range", range(document, problem.begin, problem.end)},
        {"severity", problem.error ? 1 : 2},
        {"code", problem.code},
        {"codeDescription", {{"href", kCodesHref}}},
        {"source", "vora-config"},
        {"message", problem.message},
    };
    if (!problem.related.empty()) {
        json related = json::array();
        for (const Note& note : problem.related) {
            related.push_back({{"location", {{"uri", uri}, {"range", range(document, note.begin, note.end)}}},
                               {"message", note.message}});
        }
        diagnostic["relatedInformation"] = std::move(related);
    }
    return diagnostic;
}

json Server::diagnostics(const std::string& uri, const Open& open) {
    json items = json::array();
    if (!open.configuration) return items;
    for (const Problem& problem : checked(uri, open).problems) {
        if (!problem.silenced) items.push_back(diagnostic(uri, open.document, problem));
    }
    return items;
}

void Server::flush() {
    if (pull_) {
        dirty_.clear();
        return;
    }
    std::set<std::string> dirty;
    dirty.swap(dirty_);
    for (const std::string& uri : dirty) {
        const auto at = open_.find(uri);
        if (at == open_.end()) continue;
        json params = {{"uri", uri}, {"diagnostics", diagnostics(uri, at->second)}};
        params["version"] = at->second.document.version();
        notify("textDocument/publishDiagnostics", std::move(params));
    }
}

json Server::pull_diagnostics(const json& params) {
    Open* open = find(params);
    json items = open ? diagnostics(params["textDocument"]["uri"].get<std::string>(), *open) : json::array();
    return json{{"kind", "full"}, {"items", std::move(items)}};
}

json Server::code_actions(const json& params) {
    json actions = json::array();
    Open* open = find(params);
    if (!open || !open->configuration) return actions;
    const std::string uri = params["textDocument"]["uri"].get<std::string>();
    const Document& document = open->document;
    const std::string& text = document.text();
    const json& wanted = params.at("range");
    const auto position = [](const json& p) {
        return Position{p.at("line").get<std::uint32_t>(), p.at("character").get<std::uint32_t>()};
    };
    // The findings on the lines asked about: a cursor anywhere on a line
    // has the actions of the line's findings.
    const std::uint32_t from = document.line_of(document.offset(position(wanted.at("start")), encoding_));
    const std::uint32_t to = document.line_of(document.offset(position(wanted.at("end")), encoding_));
    const json context = params.value("context", json::object());
    const auto action = [&](std::string title, std::string_view kind, const TextEdit& edit) {
        return json{{"title", std::move(title)},
                    {"kind", kind},
                    {"edit", {{"changes", {{uri, json::array({text_edit(document, edit)})}}}}}};
    };
    if (kind_wanted(context, "quickfix")) {
        const Checked fixes = check_document(text, settings_for(uri), true);
        for (const Problem& problem : fixes.problems) {
            if (problem.silenced || !problem.placed || document.line_of(problem.begin) > to ||
                document.line_of(problem.end) < from) {
                continue;
            }
            const json diagnostics = json::array({diagnostic(uri, document, problem)});
            if (problem.fix) {
                json fix = action("Replace with `" + problem.fix->text + "`", "quickfix", *problem.fix);
                fix["diagnostics"] = diagnostics;
                fix["isPreferred"] = problem.certain;
                actions.push_back(std::move(fix));
            }
            if (const std::optional<TextEdit> edit = silence_edit(text, problem)) {
                json silence = action("Silence " + problem.code + " on this line", "quickfix", *edit);
                silence["diagnostics"] = diagnostics;
                actions.push_back(std::move(silence));
            }
        }
    }
    if (kind_wanted(context, kFixAllKind)) {
        const std::string fixed = fixed_text(text, settings_for(uri));
        if (fixed != text) {
            // One edit: the bytes between what the two texts share at
            // their start and at their end.
            std::size_t head = 0;
            while (head < text.size() && head < fixed.size() && text[head] == fixed[head]) ++head;
            std::size_t tail = 0;
            while (tail < text.size() - head && tail < fixed.size() - head &&
                   text[text.size() - 1 - tail] == fixed[fixed.size() - 1 - tail]) {
                ++tail;
            }
            // An edit's ends lie between characters.
            while (head > 0 && (static_cast<unsigned char>(text[head]) & 0xC0) == 0x80) --head;
            while (tail > 0 && (static_cast<unsigned char>(text[text.size() - tail]) & 0xC0) == 0x80) --tail;
            const TextEdit edit{head, text.size() - tail, fixed.substr(head, fixed.size() - tail - head)};
            actions.push_back(action("Fix all vora-config findings", kFixAllKind, edit));
        }
    }
    return actions;
}

json Server::hover(const json& params) {
    Open* open = find(params);
    if (!open || !open->configuration) return nullptr;
    const json& p = params.at("position");
    const Document& document = open->document;
    const std::size_t at =
        document.offset(Position{p.at("line").get<std::uint32_t>(), p.at("character").get<std::uint32_t>()}, encoding_);
    const std::optional<Hover> found =
        hover_at(document.text(), at, settings_for(params["textDocument"]["uri"].get<std::string>()));
    if (!found) return nullptr;
    return json{{"contents", {{"kind", "markdown"}, {"value", found->markdown}}},
                {"range", range(document, found->begin, found->end)}};
}

json Server::completion(const json& params) {
    Open* open = find(params);
    json items = json::array();
    if (!open || !open->configuration) return items;
    const json& p = params.at("position");
    const Document& document = open->document;
    const std::size_t at =
        document.offset(Position{p.at("line").get<std::uint32_t>(), p.at("character").get<std::uint32_t>()}, encoding_);
    for (const Completion& c :
         complete_at(document.text(), at, settings_for(params["textDocument"]["uri"].get<std::string>()))) {
        json item = {{"label", c.label}, {"kind", c.kind}};
        if (!c.detail.empty()) item["detail"] = c.detail;
        if (!c.documentation.empty()) item["documentation"] = {{"kind", "markdown"}, {"value", c.documentation}};
        const bool snippet = c.snippet && snippets_;
        item["textEdit"] = {{"range", range(document, c.begin, c.end)},
                            {"newText", snippet || !c.snippet ? c.insert : c.plain}};
        if (snippet) item["insertTextFormat"] = 2;
        items.push_back(std::move(item));
    }
    return json{{"isIncomplete", false}, {"items", std::move(items)}};
}

int run(int in, int out, std::string version) {
    // A client gone: writing fails with EPIPE rather than ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    bool gone = false;
    Server server([&](std::string_view body) { gone = gone || !write_all(out, framed(body)); }, std::move(version));
    FrameReader reader(in);
    constexpr std::size_t kMostFramesAtOnce = 4096;
    for (bool ended = false; !ended && !server.exited() && !gone;) {
        std::vector<Frame> frames;
        frames.push_back(reader.next());
        while (frames.back().kind != Frame::Kind::End && frames.size() < kMostFramesAtOnce && reader.ready()) {
            frames.push_back(reader.next());
        }
        ended = frames.back().kind == Frame::Kind::End;
        server.handle(std::move(frames));
        if (!server.exited()) server.flush();
    }
    return server.exit_status();
}

}  // namespace vora::lsp
