// `vora-config lsp`: a language server (protocol 3.17) over standard input
// and output, with the findings of `check` as diagnostics, their fixes as
// code actions, hover and completion from the key declaration.
//
// One thread. The messages that have come are all read before the checks
// run, so a burst of edits is checked once, on its last text: a check never
// runs on a text already replaced, and a request cancelled while it waited
// is answered as cancelled.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "lsp/document.hpp"
#include "lsp/findings.hpp"
#include "lsp/framing.hpp"

namespace vora::lsp {

using json = nlohmann::json;

class Server {
public:
    using Send = std::function<void(std::string_view body)>;
    Server(Send send, std::string version);

    // Handles the frames read together, in order; a request that a
    // `$/cancelRequest` among them cancels is answered as cancelled.
    void handle(std::vector<Frame> frames);
    // Checks the documents changed since the last call, and pushes their
    // diagnostics.
    void flush();

    bool exited() const { return exited_; }
    // 0 after shutdown then exit, else 1.
    int exit_status() const { return shut_down_ ? 0 : 1; }

private:
    struct Open {
        Document document;
        bool configuration = false;
    };
    struct Result {
        bool valid = false;
        std::string text;
        std::vector<Stamp> stamps;
        Checked checked;
        FileCheckCache files;
    };

    void handle_body(const std::string& body, const std::set<std::string>& cancelled);
    void dispatch(const std::string& method, const json& message, const json* id);
    void respond(const json& id, json result);
    void respond_error(const json& id, int code, std::string_view message);
    void notify(std::string_view method, json params);
    void log(int type, std::string_view message);

    json initialize(const json& params);
    void initialized();
    void did_open(const json& params);
    void did_change(const json& params);
    void did_close(const json& params);
    void did_save(const json& params);
    void watched_files_changed();
    json pull_diagnostics(const json& params);
    json code_actions(const json& params);
    json hover(const json& params);
    json completion(const json& params);

    Open* find(const json& params);
    const Checked& checked(const std::string& uri, const Open& open);
    json diagnostics(const std::string& uri, const Open& open);
    json diagnostic(const std::string& uri, const Document& document, const Problem& problem) const;
    json range(const Document& document, std::size_t begin, std::size_t end) const;
    json text_edit(const Document& document, const TextEdit& edit) const;
    CheckSettings settings_for(const std::string& uri) const;

    Send send_;
    std::string version_;
    bool initialized_ = false;
    bool shut_down_ = false;
    bool exited_ = false;
    Encoding encoding_ = Encoding::Utf16;
    bool pull_ = false;           // the client asks for diagnostics (textDocument/diagnostic)
    bool snippets_ = false;       // the client takes snippets in completions
    bool refresh_ = false;        // the client takes workspace/diagnostic/refresh
    bool watch_ = false;          // the client registers file watchers on request
    long long next_request_ = 1;  // ids of the server's own requests
    std::map<std::string, Open> open_;
    std::map<std::string, Result> results_;
    std::set<std::string> dirty_;  // documents to check and push at the next flush
};

// Runs the server on descriptors until `exit` or the end of the input;
// the exit status.
int run(int in, int out, std::string version);

// The path of a file: URI, percent-escapes decoded; nothing for another
// scheme.
std::optional<std::string> uri_path(std::string_view uri);

}  // namespace vora::lsp
