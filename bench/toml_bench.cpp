// Throughput of the TOML reader (vora::toml::parse) and of the whole loader
// (vora::parse_configuration), and the peak memory of one call, beside the
// goals they are held to:
//   - loader >= 200 MB/s on a long string list, >= 60 MB/s on unknown keys;
//   - the peak memory of one loader call <= 3x the file size.
//
// Inputs: bench/config_819.toml (a shortened example, 819 bytes),
// examples/example.toml, and generated files of 1, 10 and 100 MB of three
// kinds: one long string list ([accuracy_analysis] inputs), many unknown
// keys, and a mixed file shaped like a real one.
//
// MB/s = file size / best time of a call; small files are timed over many
// calls per round. Every case is timed in a child process of its own, and
// every peak measured in another (bench/measure.hpp): growth of VmHWM during
// one call over the file size, the text itself not included.
//
// Usage: toml_bench [--max-mb N] [--only TEXT] [--source-dir DIR]
//   --max-mb N        skip generated sizes above N MB
//   --only TEXT       run only the cases whose name contains TEXT
//   --source-dir DIR  the project root (default: the one this was built from)
//
// Prints figures only; it asserts nothing about time.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "configuration/load.hpp"
#include "measure.hpp"
#include "runs.hpp"
#include "toml/toml.hpp"

#ifndef VORA_SOURCE_DIR
#define VORA_SOURCE_DIR "."
#endif

namespace {

using bench::fill;
using bench::MB;

// ---------------------------------------------------------------------------
// Generated documents.
// ---------------------------------------------------------------------------

// One long list of image paths.
std::string make_string_list(std::size_t target) {
    return fill(target, "[accuracy_analysis]\ninputs = [\n", "]\n", [](char* b, std::size_t cap, std::size_t n) {
        return std::snprintf(b, cap, "  \"path/to/image_%06zu.jpg\",\n", n);
    });
}

// Many keys the loader does not know, of every scalar kind, in its sections.
std::string make_unknown_keys(std::size_t target) {
    return fill(target, "[config]\noptimization_level = 2\n", "", [](char* b, std::size_t cap, std::size_t n) {
        switch (n % 4) {
            case 0: return std::snprintf(b, cap, "unknown_key_%zu = \"value %zu\"\n", n, n);
            case 1: return std::snprintf(b, cap, "unknown_key_%zu = %zu\n", n, n * 7919);
            case 2: return std::snprintf(b, cap, "unknown_key_%zu = %zu.25\n", n, n);
            default: return std::snprintf(b, cap, "unknown_key_%zu = %s\n", n, n % 8 == 3 ? "true" : "false");
        }
    });
}

// Every section with its keys as a real file writes them, grown by long
// lists where a real file has them (input names and shapes, images to
// analyse) and by tables of per-layer notes that the loader does not know:
// comments, escapes, literal and multi-line strings, dates, inline tables.
std::string make_mixed(std::size_t target) {
    const std::string head =
        "# Conversion of a detector, with per-layer notes.\n"
        "[config]\n"
        "mean_values = [123.675, 116.28, 103.53]\n"
        "std_values = [58.395, 57.12, 57.375]\n"
        "quantized_dtype = \"asymmetric_quantized-8\"\n"
        "quantized_algorithm = \"mmse\"\n"
        "target_platform = \"vora-m1\"\n"
        "quant_img_RGB2BGR = true\n"
        "optimization_level = 3\n"
        "custom_string = \"detector \\\"large\\\" \\u00e9dition\"\n\n"
        "[build]\n"
        "do_quantization = true\n"
        "dataset = './data/calibration.txt'\n"
        "vora_batch_size = 8\n\n"
        "[export]\n"
        "export_path = \"build/detector.vora\"\n\n";
    // A tenth each for the input names and their shapes, three tenths for the
    // images, the rest for the notes.
    std::string text = head;
    text += fill(target / 10, "[load]\nmodel_type = \"Onnx\"\nmodel = \"models/detector.onnx\"\ninputs = [\n", "]\n",
                 [](char* b, std::size_t cap, std::size_t n) {
                     return std::snprintf(b, cap, "  \"input_%zu\", # camera %zu\n", n, n % 4);
                 });
    text += fill(target / 10, "input_size_list = [\n", "]\n", [](char* b, std::size_t cap, std::size_t n) {
        return std::snprintf(b, cap, "  [1, 3, %zu, %zu],\n", 224 + n % 7 * 32, 224 + n % 5 * 32);
    });
    text += "outputs = [\"boxes\", \"scores\"]\n\n";
    text += fill(target * 3 / 10, "[accuracy_analysis]\noutput_dir = \"snapshot\"\ninputs = [\n", "]\n\n",
                 [](char* b, std::size_t cap, std::size_t n) {
                     return std::snprintf(b, cap, "  'data/images/scene_%05zu/frame_%03zu.jpg',\n", n / 100, n % 100);
                 });
    const std::size_t rest = target > text.size() ? target - text.size() : 0;
    text += fill(rest, "", "", [](char* b, std::size_t cap, std::size_t n) {
        return std::snprintf(b, cap,
                             "[notes.layer_%zu]\n"
                             "# measured on the calibration set\n"
                             "name = \"conv_%zu\\trelu\"\n"
                             "scale = %zu.0e-3\n"
                             "zero_point = -%zu\n"
                             "per_channel = %s\n"
                             "checked = 2026-%02zu-%02zuT08:30:00Z\n"
                             "shape = [1, %zu, 56, 56]\n"
                             "attrs = { kernel = 3, stride = %zu, pad = 'same' }\n"
                             "remark = \"\"\"\nkept in float: \\\n  sensitive\"\"\"\n\n",
                             n, n, n % 1000 + 1, n % 128, n % 2 ? "true" : "false", n % 12 + 1, n % 28 + 1,
                             std::size_t{16} << (n % 4), n % 2 + 1);
    });
    return text;
}

// ---------------------------------------------------------------------------
// Cases.
// ---------------------------------------------------------------------------

struct Goal {
    double loader_mb_s = 0;  // 0: none
};

constexpr double peak_goal = 3.0;

struct Case {
    std::string name;
    std::function<std::string()> make;
    std::size_t bytes_hint;  // to choose repetitions and calls per round
    Goal goal;
};

struct Timing {
    double reader_s;
    double loader_s;
    double bytes;
};

// Best time per call of each function, in a child of its own. Small files
// are timed over enough calls per round to last some 20 ms.
Timing time_case(const Case& c) {
    const int reps = c.bytes_hint <= MB ? 7 : c.bytes_hint <= 10 * MB ? 3 : 2;
    const std::size_t calls = c.bytes_hint >= MB ? 1 : std::max<std::size_t>(1, 20 * MB / 2 / c.bytes_hint);
    const auto out = bench::in_child(3, [&] {
        const std::string text = c.make();
        const auto best =
            bench::best_times({[&] { return run_reader(text); }, [&] { return run_loader(text); }}, reps, calls);
        return std::vector<double>{best[0], best[1], static_cast<double>(text.size())};
    });
    return {out[0], out[1], out[2]};
}

std::string goal_text(double goal, double measured, bool at_most) {
    if (goal == 0) return "";
    const bool met = at_most ? measured <= goal : measured >= goal;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s %g %s", at_most ? "<=" : ">=", goal, met ? "met" : "MISSED");
    return buf;
}

void rule() {
    std::printf(
        "-----------------------------------+----------+----------+----------+-------------------+"
        "-------------+-------------+---------------\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t max_mb = 100;
    std::string_view only;
    std::string source_dir = VORA_SOURCE_DIR;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max-mb") == 0 && i + 1 < argc) {
            max_mb = static_cast<std::size_t>(std::atol(argv[++i]));
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--source-dir") == 0 && i + 1 < argc) {
            source_dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--max-mb N] [--only TEXT] [--source-dir DIR]\n", argv[0]);
            return 1;
        }
    }

    std::vector<Case> cases;
    for (const char* file : {"bench/config_819.toml", "examples/example.toml"}) {
        const std::string path = source_dir + "/" + file;
        const std::size_t size = bench::read_file(path).size();
        cases.push_back({file, [path] { return bench::read_file(path); }, size, {}});
    }
    struct Kind {
        const char* name;
        std::string (*make)(std::size_t);
        Goal goal;
    };
    const Kind kinds[] = {
        {"string list", make_string_list, {200}},
        {"unknown keys", make_unknown_keys, {60}},
        {"mixed", make_mixed, {}},
    };
    for (const Kind& kind : kinds) {
        for (std::size_t mb : {1, 10, 100}) {
            if (mb > max_mb) continue;
            char name[64];
            std::snprintf(name, sizeof name, "%s, %zu MB", kind.name, mb);
            const auto make = kind.make;
            cases.push_back({name, [make, mb] { return make(mb * MB); }, mb * MB, kind.goal});
        }
    }

    std::printf("toml_bench: the reader (vora::toml::parse) and the loader (vora::parse_configuration)\n");
    std::printf(
        "MB/s = file size / best time of one call. peak = growth of VmHWM during one call / file size\n"
        "(measured on files of 1 MB and more; the text itself not included). Goals: loader >= 200 MB/s\n"
        "on the string list, >= 60 MB/s on unknown keys; loader peak <= %g x the file size.\n\n",
        peak_goal);
    std::printf("%-34s | %8s | %8s | %8s | %-17s | %11s | %11s | %-13s\n", "case", "size", "reader", "loader",
                "loader goal", "reader peak", "loader peak", "peak goal");
    std::printf("%-34s | %8s | %8s | %8s | %-17s | %11s | %11s | %-13s\n", "", "", "MB/s", "MB/s", "MB/s", "x size",
                "x size", "x size");
    rule();
    for (const Case& c : cases) {
        if (c.name.find(only) == std::string::npos) continue;
        const Timing t = time_case(c);
        const double size_mb = t.bytes / MB;
        char size[16];
        if (t.bytes < MB)
            std::snprintf(size, sizeof size, "%.0f B", t.bytes);
        else
            std::snprintf(size, sizeof size, "%.1f MB", size_mb);
        const double reader_mb_s = size_mb / t.reader_s, loader_mb_s = size_mb / t.loader_s;
        char reader_peak[24] = "-", loader_peak[24] = "-";
        std::string peak_goal_text;
        if (c.bytes_hint >= MB) {
            const bench::Peak rp = bench::peak_of(c.make, run_reader);
            const bench::Peak lp = bench::peak_of(c.make, run_loader);
            std::snprintf(reader_peak, sizeof reader_peak, "%.2f", rp.call_bytes / t.bytes);
            std::snprintf(loader_peak, sizeof loader_peak, "%.2f", lp.call_bytes / t.bytes);
            peak_goal_text = goal_text(peak_goal, lp.call_bytes / t.bytes, true);
        }
        std::printf("%-34s | %8s | %8.1f | %8.1f | %-17s | %11s | %11s | %-13s\n", c.name.c_str(), size, reader_mb_s,
                    loader_mb_s, goal_text(c.goal.loader_mb_s, loader_mb_s, false).c_str(), reader_peak, loader_peak,
                    peak_goal_text.c_str());
        std::fflush(stdout);
    }
    rule();
    return 0;
}
