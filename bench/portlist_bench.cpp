// The list of ports and the settings dialog that shows it, with 32 ports present: 32
// pseudo-terminals published as the aliases COM1..COM32 (as democomm-sim publishes its own),
// on top of the machine's own serial ports. Prints
//   1. serial::ListPorts() alone, median and largest of the runs, and of that the walk through
//      the lock folders and /proc (serial::ReadHolders);
//   2. TInitForm::ShowWithPort until the dialog's first exposure has been handled (the list is
//      read afresh inside), median and largest; budget 200 ms;
// with the number of processes and of their descriptors in /proc the list walks through, and
// how many walks read them all before the walk's time limit.
//
// Usage: portlist_bench [runs]   (default 20; QT_QPA_PLATFORM defaults to offscreen)
#include "app/init.h"
#include "app/startup.h"
#include "serial/portlist.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void PrintFigure(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %7.2f ms  largest %7.2f ms  (%zu runs)\n", what, ms[ms.size() / 2],
                ms.back(), ms.size());
}

// How much /proc holds for the list to walk through: processes and their descriptors.
std::pair<int, int> ProcessesAndDescriptors() {
    int processes = 0, descriptors = 0;
    std::error_code ec;
    for (const auto& p : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = p.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        ++processes;
        std::error_code fdError;
        for (auto it = std::filesystem::directory_iterator(p.path() / "fd", fdError);
             !fdError && it != std::filesystem::directory_iterator(); it.increment(fdError))
            ++descriptors;
    }
    return {processes, descriptors};
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    // 32 ports: pseudo-terminals whose master and slave this program holds, as the simulator
    // holds its own, published in an alias folder of a runtime folder of our own.
    char runtime[] = "/tmp/portlist-bench-XXXXXX";
    if (!::mkdtemp(runtime)) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", runtime, 1);
    const std::string folder = serial::AliasFolder();
    if (const std::string why = serial::PrepareAliasFolder(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    std::vector<int> fds;
    for (int n = 1; n <= 32; ++n) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0) {
            std::perror("pseudo-terminal");
            return 1;
        }
        fds.push_back(master);
        fds.push_back(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        std::filesystem::create_symlink(name, folder + "/COM" + std::to_string(n));
    }

    QApplication application(argc, argv);
    const auto [processes, descriptors] = ProcessesAndDescriptors();
    std::printf("%zu ports listed; /proc: %d processes, %d descriptors\n",
                serial::ListPorts().size(), processes, descriptors);

    std::vector<double> list;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const auto ports = serial::ListPorts();
        list.push_back(Ms(Clock::now() - start));
    }
    PrintFigure("serial::ListPorts()", list);
    std::vector<double> holders;
    int whole = 0; // walks that read every process within the time limit
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const serial::Holders h = serial::ReadHolders();
        holders.push_back(Ms(Clock::now() - start));
        whole += h.allProcessesRead;
    }
    PrintFigure("  of that serial::ReadHolders()", holders);
    std::printf("  every process read in %d of %d walks%s\n", whole, runs,
                ::geteuid() == 0 ? "" : " (not root: other users' processes are never read)");

    TInitForm form;
    std::vector<double> dialog, inside;
    form.SetPortSource([&inside] {
        const auto start = Clock::now();
        auto ports = serial::ListPorts();
        inside.push_back(Ms(Clock::now() - start));
        return ports;
    });
    for (int i = 0; i < runs; ++i) {
        Clock::time_point start, shown;
        app::AfterFirstExposure(form, [&] {
            shown = Clock::now();
            form.close();
        });
        start = Clock::now();
        form.ShowWithPort(9600, QStringLiteral("COM2"));
        dialog.push_back(Ms(shown - start));
    }
    PrintFigure("settings dialog shown (budget 200 ms)", dialog);
    PrintFigure("  of that serial::ListPorts()", inside);

    for (const int fd : fds)
        ::close(fd);
    std::filesystem::remove_all(runtime);
    return 0;
}
