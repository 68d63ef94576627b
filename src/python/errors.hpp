#pragma once
// The error funnel between C++ and the interpreter. Every entry point catches
// everything and calls translate_exception(); nothing C++ reaches CPython.

#include <cxxabi.h>

#include <source_location>
#include <string>

#include "object.hpp"

namespace velmora::python {

/// A Python exception is already set (PyErr_Occurred()); unwinding carries it
/// to the entry point, which returns NULL to the interpreter.
struct python_error {};

/// Throws python_error if the pointer is null (a failed API call), else steals it.
object check(PyObject* new_reference);

/// Sets `type` with a message and throws python_error.
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// Raises the module's internal-error exception: writes a short diagnostic with
/// the message and its source location to stderr, then throws python_error.
[[noreturn]] void raise_panic(const std::string& message,
                              std::source_location where = std::source_location::current());

/// The interpreter failed where it should not have: print its error and raise
/// the internal-error exception "Python API call failed".
[[noreturn]] void raise_api_failure(std::source_location where = std::source_location::current());

/// Converts the exception in flight into a Python error. Call only in catch(...).
void translate_exception() noexcept;

/// Sets up this thread's C++ exception state (libstdc++ allocates it on a
/// thread's first throw). Done on entry, while memory is still available: a
/// first throw after a call has exhausted memory would otherwise abort.
inline void prepare_exception_state() noexcept {
    // The call is declared const; the volatile store keeps it from being elided.
    void* volatile globals = abi::__cxa_get_globals();
    (void)globals;
}

// The funnel and every entry point are deliberately not noexcept. When the
// interpreter ends a daemon thread at shutdown (pthread_exit), glibc unwinds
// its stack with abi::__forced_unwind; that unwind must pass through our
// frames untouched, and a noexcept frame would turn it into std::terminate.
// Every other exception stops in the catch-all below.

/// Runs body, returning its object as a new reference, or NULL with the error set.
template <class Body>
PyObject* guarded(Body&& body) {
    prepare_exception_state();
    try {
        return body().release();
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: no Python call is allowed any more
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

/// A pending error that is not an Exception (KeyboardInterrupt, SystemExit,
/// GeneratorExit) propagates at once (throws python_error); an ordinary one is
/// cleared, for callers where a failure only means "not available".
void clear_ordinary_error();

/// The lazily created PanicException class (borrowed; lives for the process).
PyObject* panic_exception_type();

}  // namespace velmora::python
