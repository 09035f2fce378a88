// Measuring machinery shared by the benchmark programs: generated documents,
// measurements in child processes, best-of timing and the peak resident
// memory of one call.
//
// Every measurement runs in a child process started from the benchmark's
// small parent, so neither the heap left behind by one case nor its peak can
// hide another. The peak of a call is measured by resetting the process's
// peak (/proc/self/clear_refs) once its input is built, and reading VmHWM
// after the call.
#pragma once

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

constexpr std::size_t MB = 1000 * 1000;

// Appends whole lines made by `line(buf, cap, n)` (n = 1, 2, ...) after
// `head` until the text reaches `target` bytes, then `tail`.
template <class Line>
std::string fill(std::size_t target, std::string_view head, std::string_view tail, Line line) {
    std::string text;
    text.reserve(target + 512);
    text.append(head);
    char buf[512];
    for (std::size_t n = 1; text.size() + tail.size() < target; ++n) {
        const int len = line(buf, sizeof buf, n);
        text.append(buf, static_cast<std::size_t>(len));
    }
    text.append(tail);
    return text;
}

// The whole content of a file; exits when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(1);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `body` in a child, which sends the `count` doubles it returns back
// through a pipe. Exits when the child fails.
inline std::vector<double> in_child(std::size_t count, const std::function<std::vector<double>()>& body) {
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
        std::fflush(nullptr);
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
inline double status_kb(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atof(line.c_str() + n + 1);
    }
    return 0;
}

// Seconds taken by `calls` calls of `fn`; what they return is added to `sink`
// so that no call can be elided.
inline double seconds_of(const std::function<std::size_t()>& fn, std::size_t& sink, std::size_t calls = 1) {
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < calls; ++i) sink += fn();
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

// The best time of each function over `reps` rounds, the functions taking
// turns within a round so that all see the same machine load. Each round
// makes `calls` calls of a function; the figures are seconds per call.
inline std::vector<double> best_times(const std::vector<std::function<std::size_t()>>& fns, int reps,
                                      std::size_t calls = 1) {
    std::vector<double> best(fns.size(), 1e300);
    std::size_t sink = 0;
    for (int r = 0; r < reps; ++r) {
        for (std::size_t i = 0; i < fns.size(); ++i) {
            best[i] = std::min(best[i], seconds_of(fns[i], sink, calls) / static_cast<double>(calls));
        }
    }
    if (sink == 0) std::fprintf(stderr, "(nothing measured)\n");
    return best;
}

struct Peak {
    double call_bytes;     // growth of the peak during the call
    double process_bytes;  // the process's peak, input and program included
};

// The peak resident memory of one call of `fn` on the text that `make_text`
// builds, measured in a child of its own.
inline Peak peak_of(const std::function<std::string()>& make_text,
                    const std::function<std::size_t(const std::string&)>& fn) {
    const auto out = in_child(2, [&] {
        const std::string text = make_text();
        malloc_trim(0);
        {
            std::ofstream reset("/proc/self/clear_refs");
            reset << "5";
        }
        const double before = status_kb("VmRSS");
        const std::size_t check = fn(text);
        const double hwm = status_kb("VmHWM");
        if (check == 0) std::fprintf(stderr, "(nothing loaded)\n");
        return std::vector<double>{(hwm - before) * 1024.0, hwm * 1024.0};
    });
    return {out[0], out[1]};
}

}  // namespace bench
