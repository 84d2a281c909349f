#include "exception.h"

#include <cstdio>

namespace {
ExceptionHandler& Handler() {
    static ExceptionHandler handler;
    return handler;
}
} // namespace

void SetApplicationExceptionHandler(ExceptionHandler handler) { Handler() = std::move(handler); }

void HandleApplicationException(const std::exception& e) {
    // A handler that throws itself must not escape either: fall back to stderr.
    try {
        if (Handler()) {
            Handler()(e);
            return;
        }
    } catch (...) {
    }
    std::fprintf(stderr, "democomm: %s\n", e.what());
}
