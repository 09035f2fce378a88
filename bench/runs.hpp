// The two calls the benchmarks measure: the bare reader and the whole loader.
// Each returns a small check of what it read, so that the call cannot be
// elided, and ends the process on a failure. With VORA_BENCH_READER_ONLY
// defined only the reader is needed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "toml/toml.hpp"
#ifndef VORA_BENCH_READER_ONLY
#include "configuration/load.hpp"
#endif

namespace {

std::size_t run_reader(const std::string& text) {
    const vora::toml::Result r = vora::toml::parse(text);
    if (const auto* err = std::get_if<vora::toml::Error>(&r)) {
        std::fprintf(stderr, "reader failed at %u:%u: %s\n", err->span.begin.line, err->span.begin.column,
                     err->message.c_str());
        std::_Exit(2);
    }
    return std::get<vora::toml::Document>(r).node_count();
}

#ifndef VORA_BENCH_READER_ONLY
std::size_t run_loader(const std::string& text) {
    vora::LoadResult r = vora::parse_configuration(text);
    if (const auto* err = std::get_if<vora::LoadError>(&r)) {
        std::fprintf(stderr, "loader failed: %s\n", err->render().c_str());
        std::_Exit(2);
    }
    const auto& c = std::get<vora::Configuration>(r);
    std::size_t check = 1;
    if (c.accuracy_analysis) check += c.accuracy_analysis->inputs.size();
    if (c.load.onnx().input_size_list) check += c.load.onnx().input_size_list->size();
    return check;
}
#endif

}  // namespace
