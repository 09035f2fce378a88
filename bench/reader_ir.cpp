// Reads one file and parses it COUNT times with the TOML reader (or the whole
// loader): the program that callgrind counts, so that the instructions of one
// parse are Ir(COUNT = n + k) - Ir(COUNT = n), over k.
//
// Usage: reader_ir FILE COUNT [--loader]
//
// Built alone with the reader's sources (bench/reader_ir.py does), it runs the
// reader only; the CMake build defines VORA_BENCH_LOADER for --loader.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#ifndef VORA_BENCH_LOADER
#define VORA_BENCH_READER_ONLY
#endif
#include "runs.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: reader_ir FILE COUNT [--loader]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const long count = std::strtol(argv[2], nullptr, 10);
    const bool loader = argc > 3 && std::strcmp(argv[3], "--loader") == 0;
    std::size_t check = 0;
#ifdef VORA_BENCH_LOADER
    for (long i = 0; i < count; ++i) check += loader ? run_loader(text) : run_reader(text);
#else
    if (loader) {
        std::fprintf(stderr, "reader_ir: built without the loader\n");
        return 2;
    }
    for (long i = 0; i < count; ++i) check += run_reader(text);
#endif
    std::printf("%zu\n", check);
    return 0;
}
