// democomm-cli: the device's data from scripts. See --help.
#include "cli/cli.h"
#include "serial/co.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    const cli::ParseResult parsed = cli::ParseCommandLine({argv + 1, argv + argc});
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "democomm-cli: %s\nTry 'democomm-cli --help'.\n",
                     parsed.error.c_str());
        return cli::kUsage;
    }
    if (parsed.command.help) {
        std::fputs(cli::UsageText().c_str(), stdout);
        return cli::kOk;
    }
    // Qt's plain Unix event dispatcher: a sample costs several event-loop wake-ups (the
    // component's threads post to it), and the GLib one spends about 15 % more on each.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    // Nothing to keep responsive while a network port connects: one that cannot be made
    // fails the open (exit 3), not the first request's time-out.
    TComm::SetOpenWaitsForConnection(true);
    return cli::Run(parsed.command);
}
