// Shared pieces of the Python module `avi`: the error type and the reader and writer objects.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "avi/File.h"
#include "core/FileBridge.h"

namespace pyavi {

namespace py = pybind11;

// A failure taken from a file's error state; it reaches Python as avi.Error.
struct Failure : std::runtime_error {
    Failure(std::uint32_t c, const std::string& m) : std::runtime_error(m), code(c) {}
    std::uint32_t code;
};

// Raises the file's error, if it has one, and clears it: the library's errors are sticky,
// and each Python call should report only what went wrong in it.
void raiseIfError(avi::File& file);
// Raises code with the library's own message for it.
[[noreturn]] void fail(avi::File& file, avi::errors::error_T code);

// Runs f on the file without the GIL and with the object's lock, so that threads sharing
// one object take turns while other Python threads go on.
template <class F>
auto unlocked(std::mutex& lock, F&& f) {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(lock);
    return f();
}

// Opens file in mode without the GIL; a failed open raises, with ERR_OPEN_FAILED where the
// library left no code of its own.
void openOrRaise(avi::File& file, std::mutex& lock, const std::string& path, const char* mode);

void bindReader(py::module_& m);
void bindStrictReader(py::module_& m);
void bindWriter(py::module_& m);
// Raises avi.Error with a code of the library's table and a message of our own.
[[noreturn]] void raise(avi::errors::error_T code, const std::string& message);

}  // namespace pyavi
