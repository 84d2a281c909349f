// A second program on a port, for the fault tests: opens a TComm on argv[1] and prints
// "opened" or the error message; then, for each line "send" on standard input, sends three
// bytes and prints "sent" or "refused"; at the end of standard input it closes the port.
#include "serial/co.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    TComm comm;
    comm.setCommName(QString::fromLocal8Bit(argv[1]));
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
    try {
        comm.OpenPort();
        std::printf("opened\n");
    } catch (const ECommsError& e) {
        std::printf("%s\n", e.what());
    }
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string line;
        if (!std::getline(std::cin, line)) {
            input.setEnabled(false);
            comm.ClosePort();
            app.quit();
            return;
        }
        if (line == "send") {
            const char bytes[] = "ABC";
            std::printf("%s\n", comm.SendData(bytes, 3) ? "sent" : "refused");
            std::fflush(stdout);
        }
    });
    return app.exec();
}
