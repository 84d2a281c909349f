// democomm-port-holder PATH: a second program on a port. Opens a TComm on PATH, prints
// "opened" or the error, and keeps the port until its standard input ends.
#include "serial/co.h"

#include <QCoreApplication>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TComm comm;
    comm.setCommName(QString::fromLocal8Bit(argc > 1 ? argv[1] : ""));
    try {
        comm.OpenPort();
        std::printf("opened\n");
    } catch (const ECommsError& e) {
        std::printf("%s\n", e.what());
    }
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
    }
    comm.ClosePort();
    return 0;
}
