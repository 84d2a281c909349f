#pragma once
// The project's base exception type, and the one gate through which every handler that the
// event loop calls must run, so that no exception ever crosses the Qt event loop.

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

// Base of every exception the program raises on purpose (ECommsError, EConvertError, ...).
// Carries only its message text.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Receives an exception that left a handler. The application installs the standard error
// report here (a message box); until then, and in programs without windows, the message
// goes to stderr. Called on the user-interface thread only.
using ExceptionHandler = std::function<void(const std::exception&)>;
void SetApplicationExceptionHandler(ExceptionHandler handler);
void HandleApplicationException(const std::exception& e);

// Runs `f` and hands any exception it throws to the application's exception handler. Every
// slot, timer callback and TComm event that the event loop calls goes through this.
template <class F> void Guarded(F&& f) noexcept {
    try {
        std::forward<F>(f)();
    } catch (const std::exception& e) {
        HandleApplicationException(e);
    } catch (...) {
        HandleApplicationException(std::runtime_error("Unknown exception"));
    }
}
