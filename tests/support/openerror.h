#pragma once
// Opening a TComm in tests: the ECommsError message it raised, "" when it opened.
// Header-only; needs the serial library.

#include "serial/co.h"

#include <string>

namespace testsupport {

// `systemError`, when given, receives the error's SystemError() (errno, 0 when none).
inline std::string OpenError(TComm& comm, int* systemError = nullptr) {
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        if (systemError)
            *systemError = e.SystemError();
        return e.what();
    }
    return {};
}

} // namespace testsupport
