// The module `avi`: open() and the error type.
#include "binding.h"

namespace pyavi {

namespace {

// avi.Error; created once with the module and kept for the life of the process.
PyObject* errorType = nullptr;

}  // namespace

void raiseIfError(avi::File& file) {
    const auto code = file.getErrorCode();
    if (code == avi::errors::ERR_NONE) return;
    std::string message = file.getErrorMsg();
    if (code == avi::errors::ERR_EMPTY_VIDEO_CHUNK)  // the library's message is only the fallback form
        message += ": an empty video chunk, as a dropped frame is stored (the default reader reads the file)";
    file.clearError();
    throw Failure(code, message);
}

void openOrRaise(avi::File& file, std::mutex& lock, const std::string& path, const char* mode) {
    if (unlocked(lock, [&] { return file.open(path.c_str(), mode); })) return;
    if (file.getErrorCode() == avi::errors::ERR_NONE) fail(file, avi::errors::ERR_OPEN_FAILED);
    raiseIfError(file);
}

void raise(avi::errors::error_T code, const std::string& message) { throw Failure(code, message); }

void fail(avi::File& file, avi::errors::error_T code) {
    file.setError(code);
    raiseIfError(file);
    throw Failure(code, "");  // not reached: setError always leaves a code
}

}  // namespace pyavi

PYBIND11_MODULE(_avi, m) {
    namespace py = pybind11;
    using namespace pyavi;
    m.doc() = "The compiled part of the avi package: readers and a writer over the AVI library.";

    errorType = PyErr_NewExceptionWithDoc(
        "avi.Error", "A failure reported by the AVI library; .code and .message are its error state.", PyExc_OSError,
        nullptr);
    if (errorType == nullptr) throw py::error_already_set();
    m.add_object("Error", py::handle(errorType));
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure& f) {
            py::object e = py::reinterpret_borrow<py::object>(errorType)(f.what());
            e.attr("code") = f.code;
            e.attr("message") = f.what();
            PyErr_SetObject(errorType, e.ptr());
        }
    });

    bindReader(m);
    bindStrictReader(m);
    bindWriter(m);
}
