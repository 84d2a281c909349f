// democomm-sim: a simulated device for democomm on a pseudo-terminal. See --help.
#include "sim/options.h"
#include "sim/server.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const sim::ParseResult parsed = sim::ParseOptions(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "democomm-sim: %s\nTry 'democomm-sim --help'.\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.options.help) {
        std::fputs(sim::UsageText().c_str(), stdout);
        return 0;
    }
    return sim::RunSimulator(parsed.options, stdout, stderr);
}
