// Throughput and peak memory of vora::parse_configuration on large generated
// files, against the bare toml::parse of the same text (configured exactly as
// the loader configures it).
//
// Every measurement runs in a child process started from this small parent,
// so neither the heap left behind by one case nor its peak can hide another:
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

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "configuration/load.hpp"
#include "configuration/toml.hpp"

namespace {

constexpr std::size_t MB = 1000 * 1000;

// ---------------------------------------------------------------------------
// Generated documents. Each generator appends whole lines until the text
// reaches `target` bytes, then closes what it opened.
// ---------------------------------------------------------------------------

template <class Line>
std::string fill(std::size_t target, std::string_view head, std::string_view tail, Line line) {
    std::string text;
    text.reserve(target + 256);
    text.append(head);
    char buf[256];
    for (std::size_t n = 1; text.size() + tail.size() < target; ++n) {
        const int len = line(buf, sizeof buf, n);
        text.append(buf, static_cast<std::size_t>(len));
    }
    text.append(tail);
    return text;
}

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

// An integer in [2^63, 2^64-1], varied from line to line. With `signed_twin`
// the literal is replaced by one of the same length that fits the signed
// range, which gives a document the bare parser accepts and whose layout is
// identical byte for byte.
int wide_literal(char* b, std::size_t cap, std::size_t n, bool signed_twin) {
    const std::uint64_t v = (std::uint64_t{1} << 63) + (n * 0x9E3779B97F4A7C15ull) % (std::uint64_t{1} << 63);
    char digits[32];
    const int len = std::snprintf(digits, sizeof digits, "%" PRIu64, v);
    if (!signed_twin) return std::snprintf(b, cap, "%s", digits);
    // 19 digits starting with 1 fit; a 20-digit literal becomes "-1" + 18.
    if (len == 19) return std::snprintf(b, cap, "1%.18s", digits + 1);
    return std::snprintf(b, cap, "-1%.18s", digits + 2);
}

// (c1) Wide integers as values of unknown keys.
std::string make_wide_unknown(std::size_t target, bool signed_twin) {
    return fill(target, "[config]\noptimization_level = 2\n", "",
                [signed_twin](char* b, std::size_t cap, std::size_t n) {
                    int len = std::snprintf(b, cap, "wide_%zu = ", n);
                    len += wide_literal(b + len, cap - static_cast<std::size_t>(len), n, signed_twin);
                    len += std::snprintf(b + len, cap - static_cast<std::size_t>(len), "\n");
                    return len;
                });
}

// (c2) Wide integers inside a key the loader maps: [load] input_size_list.
std::string make_wide_mapped(std::size_t target, bool signed_twin) {
    return fill(target, "[load]\nmodel_type = \"Onnx\"\nmodel = \"m.onnx\"\ninput_size_list = [\n", "]\n",
                [signed_twin](char* b, std::size_t cap, std::size_t n) {
                    int len = std::snprintf(b, cap, "  [1, ");
                    len += wide_literal(b + len, cap - static_cast<std::size_t>(len), n, signed_twin);
                    len += std::snprintf(b + len, cap - static_cast<std::size_t>(len), ", 224, 224],\n");
                    return len;
                });
}

// ---------------------------------------------------------------------------
// The two functions measured.
// ---------------------------------------------------------------------------

// Returns a short check of what was loaded, so the call cannot be elided and
// a failure is seen.
std::size_t run_loader(const std::string& text) {
    vora::LoadResult r = vora::parse_configuration(text);
    if (auto* err = std::get_if<vora::LoadError>(&r)) {
        std::fprintf(stderr, "loader failed: %s\n", err->render().c_str());
        std::_Exit(2);
    }
    const auto& c = std::get<vora::Configuration>(r);
    std::size_t check = 1;
    if (c.accuracy_analysis) check += c.accuracy_analysis->inputs.size();
    if (c.load.onnx().input_size_list) check += c.load.onnx().input_size_list->size();
    return check;
}

std::size_t run_bare(const std::string& text) {
    try {
        toml::table t = toml::parse(std::string_view(text));
        return t.size();
    } catch (const toml::parse_error& e) {
        std::fprintf(stderr, "bare parse failed: %s\n", std::string(e.description()).c_str());
        std::_Exit(2);
    }
}

// ---------------------------------------------------------------------------
// Child processes.
// ---------------------------------------------------------------------------

// Runs `body` in a child, which writes `count` doubles back through a pipe.
std::vector<double> in_child(std::size_t count, const std::function<std::vector<double>()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) {
        close(fds[0]);
        const std::vector<double> out = body();
        const char* p = reinterpret_cast<const char*>(out.data());
        std::size_t left = out.size() * sizeof(double);
        while (left > 0) {
            const ssize_t w = write(fds[1], p, left);
            if (w <= 0) std::_Exit(3);
            p += w;
            left -= static_cast<std::size_t>(w);
        }
        std::_Exit(0);
    }
    close(fds[1]);
    std::vector<double> out(count);
    char* p = reinterpret_cast<char*>(out.data());
    std::size_t left = count * sizeof(double);
    while (left > 0) {
        const ssize_t r = read(fds[0], p, left);
        if (r <= 0) break;
        p += r;
        left -= static_cast<std::size_t>(r);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (left != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "measurement child failed (status %d)\n", status);
        std::exit(1);
    }
    return out;
}

// kB value of a "Name:   123 kB" line of /proc/self/status.
double status_kb(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atof(line.c_str() + n + 1);
    }
    return 0;
}

double seconds_of(const std::function<std::size_t()>& fn, std::size_t& sink) {
    const auto t0 = std::chrono::steady_clock::now();
    sink += fn();
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

struct Timing {
    double loader_s;
    double bare_s;
    double bytes;
};

// Best of `reps` of each, alternating so that both see the same machine load.
Timing time_case(const std::function<std::string()>& make_loader_text,
                 const std::function<std::string()>& make_bare_text, int reps) {
    const auto out = in_child(3, [&] {
        const std::string text = make_loader_text();
        const std::string bare_text = make_bare_text ? make_bare_text() : text;
        std::size_t sink = 0;
        double best_loader = 1e300, best_bare = 1e300;
        for (int i = 0; i < reps; ++i) {
            best_loader = std::min(best_loader, seconds_of([&] { return run_loader(text); }, sink));
            best_bare = std::min(best_bare, seconds_of([&] { return run_bare(bare_text); }, sink));
        }
        if (sink == 0) std::fprintf(stderr, "(nothing loaded)\n");
        return std::vector<double>{best_loader, best_bare, static_cast<double>(text.size())};
    });
    return {out[0], out[1], out[2]};
}

struct Peak {
    double call_bytes;     // growth of the peak during the call
    double process_bytes;  // the process's peak, text and program included
};

Peak peak_of(const std::function<std::string()>& make_text, bool loader) {
    const auto out = in_child(2, [&] {
        const std::string text = make_text();
        malloc_trim(0);
        {
            std::ofstream reset("/proc/self/clear_refs");
            reset << "5";
        }
        const double before = status_kb("VmRSS");
        const std::size_t check = loader ? run_loader(text) : run_bare(text);
        const double hwm = status_kb("VmHWM");
        if (check == 0) std::fprintf(stderr, "(nothing loaded)\n");
        return std::vector<double>{(hwm - before) * 1024.0, hwm * 1024.0};
    });
    return {out[0], out[1]};
}

int reps_for(std::size_t mb) { return mb <= 1 ? 7 : mb <= 10 ? 3 : 2; }

void rule() {
    std::printf("---------------------------------+--------+-----------+-----------+----------+-------------+"
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
        std::function<std::string(std::size_t)> make_bare;  // empty: the same text
        std::vector<std::size_t> sizes_mb;
    };
    const std::vector<Shape> shapes = {
        {"(a) accuracy_analysis.inputs", make_inputs, {}, {1, 10, 100}},
        {"(b1) unknown keys in [config]", make_unknown_keys, {}, {1, 10, 100}},
        {"(b2) unknown tables", make_unknown_tables, {}, {1, 10}},
        {"(b3) unknown quoted keys", make_quoted_keys, {}, {1, 10}},
        {"(b4) floats, text has \"0x1.8p1\"", make_floats_hex_mention, {}, {1, 10}},
        {"(c1) wide ints, unknown keys", [](std::size_t n) { return make_wide_unknown(n, false); },
         [](std::size_t n) { return make_wide_unknown(n, true); }, {1, 10}},
        {"(c2) wide ints, input_size_list", [](std::size_t n) { return make_wide_mapped(n, false); },
         [](std::size_t n) { return make_wide_mapped(n, true); }, {1, 10}},
    };

    std::printf("load_bench: vora::parse_configuration (loader) against bare toml::parse (bare)\n");
    std::printf("MB/s = file size / best time (1 MB: best of %d, 10 MB: best of %d, 100 MB: best of %d).\n",
                reps_for(1), reps_for(10), reps_for(100));
    std::printf("overhead = loader time / bare time - 1. For (c*) the bare parse reads the same document with\n"
                "every wide literal replaced by a signed one of the same length (the bare parser refuses 2^63+).\n");
    std::printf("peak = growth of VmHWM during one call, as a multiple of the file size (the text itself and\n"
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
            std::function<std::string()> bare_text;
            if (shape.make_bare) bare_text = [&] { return shape.make_bare(target); };
            const Timing t = time_case(text, bare_text, reps_for(mb));
            const Peak lp = peak_of(text, true);
            const Peak bp = peak_of(bare_text ? bare_text : text, false);
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
