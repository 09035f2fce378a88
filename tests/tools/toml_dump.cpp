// toml_dump: prints the tagged JSON of a TOML document.
//
//   toml_dump [FILE]   reads FILE (or standard input when FILE is absent or
//                      "-") and prints its tagged JSON on one line; a refused
//                      document prints "ERROR <line>:<column>: <message>" and
//                      exits 1.
//   toml_dump --batch  reads documents from standard input, each written as
//                      its length in bytes, a newline and the bytes, and
//                      prints one such line per document.
//
// A tree that cannot be shown (a string that is not UTF-8, a key given twice
// in one table) prints "INVALID <reason>" and exits 3; an unreadable input
// exits 2.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "toml/toml.hpp"
#include "toml_json.hpp"

namespace {

enum Outcome { Accepted = 0, Refused = 1, Unshowable = 3 };

// The one line that describes the reading of `text`.
Outcome describe(std::string_view text, std::string& line) {
    const vora::toml::Result result = vora::toml::parse(text);
    if (const auto* error = std::get_if<vora::toml::Error>(&result)) {
        line = "ERROR " + std::to_string(error->span.begin.line) + ":" + std::to_string(error->span.begin.column) +
               ": " + error->message;
        for (char& c : line) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        return Refused;
    }
    try {
        const auto& doc = std::get<vora::toml::Document>(result);
        line = vora::toml::testing::to_tagged_json(doc.root()).dump(-1, ' ', true);
        return Accepted;
    } catch (const std::exception& e) {
        line = std::string("INVALID ") + e.what();
        return Unshowable;
    }
}

int batch() {
    std::string text;
    for (std::string header; std::getline(std::cin, header);) {
        if (header.empty()) continue;
        std::size_t length = 0;
        try {
            length = std::stoul(header);
        } catch (const std::exception&) {
            std::cerr << "toml_dump: bad record header \"" << header << "\"\n";
            return 2;
        }
        text.resize(length);
        if (!std::cin.read(text.data(), static_cast<std::streamsize>(length))) {
            std::cerr << "toml_dump: truncated record\n";
            return 2;
        }
        std::string line;
        describe(text, line);
        std::cout << line << '\n';
    }
    std::cout.flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const std::string_view arg = argc > 1 ? argv[1] : "-";
    if (argc > 2) {
        std::cerr << "usage: toml_dump [FILE | - | --batch]\n";
        return 2;
    }
    if (arg == "--batch") return batch();
    std::string text;
    if (arg == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in{std::string(arg), std::ios::binary};
        if (!in) {
            std::cerr << "toml_dump: cannot read " << arg << "\n";
            return 2;
        }
        std::ostringstream s;
        s << in.rdbuf();
        text = s.str();
    }
    std::string line;
    const Outcome outcome = describe(text, line);
    std::cout << line << '\n';
    return outcome;
}
