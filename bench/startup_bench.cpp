// Start-up figures: time from process start to the main window shown, and resident memory
// once started, for democomm against a minimal Qt Widgets main window (bench/minimal_window),
// in one run, alternating the two programs so both meet the same machine load. Budget: 1.2 x
// the minimal window's median, for the time to shown and for the memory.
//
// Usage: startup_bench <democomm> <minimal_window> [repetitions] [platform...]
// Platforms default to "offscreen", plus "xcb" when DISPLAY is set. Each program is started
// with DEMOCOMM_STARTUP_PROBE=1 and prints "shown <CLOCK_MONOTONIC ns> rss <KiB>" once its
// main window is painted; democomm goes on to build its other windows and then prints the
// same for "ready". The clock is read just before fork, so the times include exec, dynamic
// linking and Qt's start. Memory is compared when ready: all of the program has been built.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long long NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct Stage {
    double ms = -1;
    long rssKiB = 0;
};

struct Sample {
    Stage shown, ready; // a program that prints no "ready" is ready when shown
};

Stage ReadStage(const std::string& text, const char* name, long long start) {
    Stage stage;
    const std::string key = std::string(name) + ' ';
    long long at = 0;
    if (const auto pos = text.find(key);
        pos != std::string::npos &&
        std::sscanf(text.c_str() + pos + key.size(), "%lld rss %ld", &at, &stage.rssKiB) == 2)
        stage.ms = static_cast<double>(at - start) / 1e6;
    return stage;
}

Sample RunOnce(const std::string& program, const std::string& platform) {
    int out[2];
    if (pipe(out) != 0)
        return {};
    const long long start = NowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        // Qt's start-up notes would only clutter the figures.
        if (const int null = open("/dev/null", O_WRONLY); null >= 0)
            dup2(null, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        setenv("DEMOCOMM_STARTUP_PROBE", "1", 1);
        setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Sample s{ReadStage(text, "shown", start), ReadStage(text, "ready", start)};
    if (s.ready.ms < 0)
        s.ready = s.shown;
    return s;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <democomm> <minimal_window> [repetitions] [platform...]\n",
                     argv[0]);
        return 2;
    }
    const std::string democomm = argv[1], minimal = argv[2];
    const int reps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
    std::vector<std::string> platforms;
    for (int i = 4; i < argc; ++i)
        platforms.push_back(argv[i]);
    if (platforms.empty()) {
        platforms.push_back("offscreen");
        if (std::getenv("DISPLAY"))
            platforms.push_back("xcb");
    }

    bool withinBudget = true;
    for (const std::string& platform : platforms) {
        // One unmeasured start of each first: the page cache and the font cache warm up.
        RunOnce(minimal, platform);
        RunOnce(democomm, platform);
        struct Figures {
            std::vector<double> shown, ready, rss;
        } fMin, fApp;
        for (int i = 0; i < reps; ++i) {
            for (int which = 0; which < 2; ++which) {
                const bool app = (which == 0) == (i % 2 == 0); // alternate who goes first
                const Sample s = RunOnce(app ? democomm : minimal, platform);
                if (s.shown.ms < 0) {
                    std::fprintf(stderr, "%s on %s printed no start-up figure\n",
                                 (app ? democomm : minimal).c_str(), platform.c_str());
                    return 1;
                }
                Figures& f = app ? fApp : fMin;
                f.shown.push_back(s.shown.ms);
                f.ready.push_back(s.ready.ms);
                f.rss.push_back(static_cast<double>(s.ready.rssKiB));
            }
        }
        const auto range = [](const std::vector<double>& v) {
            char text[64];
            std::snprintf(text, sizeof text, "%5.1f ms (%.1f..%.1f)", Median(v),
                          *std::min_element(v.begin(), v.end()),
                          *std::max_element(v.begin(), v.end()));
            return std::string(text);
        };
        const double timeRatio = Median(fApp.shown) / Median(fMin.shown);
        const double memoryRatio = Median(fApp.rss) / Median(fMin.rss);
        withinBudget = withinBudget && timeRatio <= 1.2 && memoryRatio <= 1.2;
        std::printf("platform %s, %d starts each (median, min..max):\n", platform.c_str(), reps);
        std::printf("  minimal window: shown %s                          rss %6.0f KiB\n",
                    range(fMin.shown).c_str(), Median(fMin.rss));
        std::printf("  democomm:       shown %s  ready %s  rss %6.0f KiB\n",
                    range(fApp.shown).c_str(), range(fApp.ready).c_str(), Median(fApp.rss));
        std::printf("  time to shown %.2f x, memory %.2f x (budget 1.20 x each): %s\n", timeRatio,
                    memoryRatio, timeRatio <= 1.2 && memoryRatio <= 1.2 ? "within" : "OVER");
    }
    return withinBudget ? 0 : 1;
}
