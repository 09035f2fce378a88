// Throughput and peak memory of vora::parse_configuration on large generated
// files, against the bare vora::toml::parse of the same text.
//
// Every measurement runs in a child process started from this small parent
// (bench/measure.hpp), so neither the heap left behind by one case nor its
// peak can hide another:
//   - one child per case times the loader and the bare parse, alternating,
//     and keeps the best of a few repetitions of each;
//   - one child per case and function measures the peak resident memory of a
//     single call: the peak is reset (/proc/self/clear_refs) once the text is
//     built, and VmHWM read after the call.
//
// Usage: load_bench [--max-mb N] [--only TEXT]
//   --max-mb N   skip sizes above N MB
//   --only TEXT  run only the cases whose name contains TEXT
//
// Prints figures only; it asserts nothing about time.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "configuration/load.hpp"
#include "measure.hpp"
#include "runs.hpp"
#include "toml/toml.hpp"

namespace {

using bench::fill;
using bench::MB;

// ---------------------------------------------------------------------------
// Generated documents. Each generator appends whole lines until the text
// reaches `target` bytes, then closes what it opened.
// ---------------------------------------------------------------------------

// (a) A long list of image paths under [accuracy_analysis].
std::string make_inputs(std::size_t target) {
    return fill(target, "[accuracy_analysis]\noutput_dir = \"snapshot\"\ninputs = [\n", "]\n",
                [](char* b, std::size_t cap, std::size_t n) {
                    return std::snprintf(b, cap, "  \"path/to/image_%06zu.jpg\",\n", n);
                });
}

// (b1) Many unknown keys (strings, integers, floats) in [config].
std::string make_unknown_keys(std::size_t target) {
    return fill(target, "[config]\noptimization_level = 2\n", "", [](char* b, std::size_t cap, std::size_t n) {
        switch (n % 3) {
            case 0: return std::snprintf(b, cap, "unknown_key_%zu = \"value %zu\"\n", n, n);
            case 1: return std::snprintf(b, cap, "unknown_key_%zu = %zu\n", n, n * 7919);
            default: return std::snprintf(b, cap, "unknown_key_%zu = %zu.25\n", n, n);
        }
    });
}

// (b2) Many unknown tables, each with a few entries.
std::string make_unknown_tables(std::size_t target) {
    return fill(target, "[config]\noptimization_level = 2\n", "", [](char* b, std::size_t cap, std::size_t n) {
        return std::snprintf(b, cap, "[unknown_table_%zu]\nname = \"value %zu\"\ncount = %zu\nratio = 0.5\n\n", n, n,
                             n);
    });
}

// (b3) Many unknown quoted keys whose names a bare key could not spell.
std::string make_quoted_keys(std::size_t target) {
    return fill(target, "[config]\noptimization_level = 2\n", "", [](char* b, std::size_t cap, std::size_t n) {
        return std::snprintf(b, cap, "\"unknown key %zu\" = %zu\n", n, n);
    });
}

// (b4) Many unknown float keys in a file whose text mentions a hexadecimal
// float, which makes the loader look at the source of every float.
std::string make_floats_hex_mention(std::size_t target) {
    return fill(target, "[config]\ncustom_string = \"gain 0x1.8p1\"\n", "",
                [](char* b, std::size_t cap, std::size_t n) {
                    return std::snprintf(b, cap, "unknown_float_%zu = %zu.125\n", n, n);
                });
}

// An integer in [2^63, 2^64-1], varied from line to line.
int wide_literal(char* b, std::size_t cap, std::size_t n) {
    const std::uint64_t v = (std::uint64_t{1} << 63) + (n * 0x9E3779B97F4A7C15ull) % (std::uint64_t{1} << 63);
    return std::snprintf(b, cap, "%" PRIu64, v);
}

// (c1) Wide integers as values of unknown keys.
std::string make_wide_unknown(std::size_t target) {
    return fill(target, "[config]\noptimization_level = 2\n", "", [](char* b, std::size_t cap, std::size_t n) {
        int len = std::snprintf(b, cap, "wide_%zu = ", n);
        len += wide_literal(b + len, cap - static_cast<std::size_t>(len), n);
        len += std::snprintf(b + len, cap - static_cast<std::size_t>(len), "\n");
        return len;
    });
}

// (c2) Wide integers inside a key the loader maps: [load] input_size_list.
std::string make_wide_mapped(std::size_t target) {
    return fill(target, "[load]\nmodel_type = \"Onnx\"\nmodel = \"m.onnx\"\ninput_size_list = [\n", "]\n",
                [](char* b, std::size_t cap, std::size_t n) {
                    int len = std::snprintf(b, cap, "  [1, ");
                    len += wide_literal(b + len, cap - static_cast<std::size_t>(len), n);
                    len += std::snprintf(b + len, cap - static_cast<std::size_t>(len), ", 224, 224],\n");
                    return len;
                });
}

struct Timing {
    double loader_s;
    double bare_s;
    double bytes;
};

// Best of `reps` of each, alternating, in a child of its own.
Timing time_case(const std::function<std::string()>& make_text, int reps) {
    const auto out = bench::in_child(3, [&] {
        const std::string text = make_text();
        const auto best = bench::best_times({[&] { return run_loader(text); }, [&] { return run_reader(text); }}, reps);
        return std::vector<double>{best[0], best[1], static_cast<double>(text.size())};
    });
    return {out[0], out[1], out[2]};
}

int reps_for(std::size_t mb) { return mb <= 1 ? 7 : mb <= 10 ? 3 : 2; }

void rule() {
    std::printf(
        "---------------------------------+--------+-----------+-----------+----------+-------------+"
        "-------------\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t max_mb = 100;
    std::string_view only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max-mb") == 0 && i + 1 < argc) {
            max_mb = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--max-mb N] [--only TEXT]\n", argv[0]);
            return 1;
        }
    }

    struct Shape {
        const char* name;
        std::function<std::string(std::size_t)> make;
        std::vector<std::size_t> sizes_mb;
    };
    const std::vector<Shape> shapes = {
        {"(a) accuracy_analysis.inputs", make_inputs, {1, 10, 100}},
        {"(b1) unknown keys in [config]", make_unknown_keys, {1, 10, 100}},
        {"(b2) unknown tables", make_unknown_tables, {1, 10}},
        {"(b3) unknown quoted keys", make_quoted_keys, {1, 10}},
        {"(b4) floats, text has \"0x1.8p1\"", make_floats_hex_mention, {1, 10}},
        {"(c1) wide ints, unknown keys", make_wide_unknown, {1, 10}},
        {"(c2) wide ints, input_size_list", make_wide_mapped, {1, 10}},
    };

    std::printf("load_bench: vora::parse_configuration (loader) against bare vora::toml::parse (bare)\n");
    std::printf("MB/s = file size / best time (1 MB: best of %d, 10 MB: best of %d, 100 MB: best of %d).\n",
                reps_for(1), reps_for(10), reps_for(100));
    std::printf("overhead = loader time / bare time - 1.\n");
    std::printf(
        "peak = growth of VmHWM during one call, as a multiple of the file size (the text itself and\n"
        "the program not included); in parentheses the whole process's VmHWM / file size.\n\n");
    std::printf("%-32s | %6s | %9s | %9s | %8s | %11s | %11s\n", "case", "MB", "loader", "bare", "overhead",
                "loader peak", "bare peak");
    std::printf("%-32s | %6s | %9s | %9s | %8s | %11s | %11s\n", "", "", "MB/s", "MB/s", "", "x size", "x size");
    rule();
    for (const Shape& shape : shapes) {
        if (std::string_view(shape.name).find(only) == std::string_view::npos) continue;
        double first_s_per_mb = 0;
        for (std::size_t mb : shape.sizes_mb) {
            if (mb > max_mb) continue;
            const std::size_t target = mb * MB;
            const auto text = [&] { return shape.make(target); };
            const Timing t = time_case(text, reps_for(mb));
            const bench::Peak lp = bench::peak_of(text, run_loader);
            const bench::Peak bp = bench::peak_of(text, run_reader);
            const double size_mb = t.bytes / MB;
            char lpeak[32], bpeak[32];
            std::snprintf(lpeak, sizeof lpeak, "%.2f (%.1f)", lp.call_bytes / t.bytes, lp.process_bytes / t.bytes);
            std::snprintf(bpeak, sizeof bpeak, "%.2f (%.1f)", bp.call_bytes / t.bytes, bp.process_bytes / t.bytes);
            std::printf("%-32s | %6.1f | %9.1f | %9.1f | %7.1f%% | %11s | %11s\n", shape.name, size_mb,
                        size_mb / t.loader_s, size_mb / t.bare_s, (t.loader_s / t.bare_s - 1) * 100, lpeak, bpeak);
            const double s_per_mb = t.loader_s / size_mb;
            if (first_s_per_mb == 0) {
                first_s_per_mb = s_per_mb;
            } else {
                std::printf("%-32s |   loader time per MB at %.0f MB = %.2fx that at %zu MB (1.00x = linear)\n", "",
                            size_mb, s_per_mb / first_s_per_mb, shape.sizes_mb.front());
            }
            std::fflush(stdout);
        }
        rule();
    }
    return 0;
}
