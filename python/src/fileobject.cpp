#include "fileobject.h"

#include <algorithm>
#include <cstring>

namespace pyavi {

PyFileHandler::PyFileHandler(py::object file) : file_(std::move(file)) {
    read_ = file_.attr("read");
    seek_ = file_.attr("seek");
    tell_ = file_.attr("tell");
    if (py::hasattr(file_, "readinto")) readinto_ = file_.attr("readinto");
}

PyFileHandler::~PyFileHandler() {
    // The reader may let go of its handler without the GIL.
    py::gil_scoped_acquire gil;
    file_ = read_ = readinto_ = seek_ = tell_ = error_ = py::object();
}

void PyFileHandler::rethrow() {
    if (!failed_) return;
    failed_ = false;
    py::object e = std::move(error_);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
    throw py::error_already_set();
}

void* PyFileHandler::fopen(std::u16string, const char* mode) {
    if (mode == nullptr || mode[0] != 'r') return nullptr;
    pos_ = 0;
    filePos_ = -1;
    return this;
}

bool PyFileHandler::place() {
    if (failed_) return false;
    try {
        if (filePos_ != static_cast<std::int64_t>(pos_)) {
            seek_(pos_);
            filePos_ = static_cast<std::int64_t>(pos_);
        }
        return true;
    } catch (py::error_already_set& e) {
        error_ = py::reinterpret_borrow<py::object>(e.value());
        failed_ = true;
        return false;
    }
}

std::size_t PyFileHandler::fread(void* buffer, std::size_t size, std::size_t count, void*) {
    if (size == 0 || count == 0) return 0;
    py::gil_scoped_acquire gil;
    if (!place()) return 0;
    const std::size_t want = size * count;
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    try {
        // A raw stream may return less than asked before its end: go on until nothing comes.
        while (done < want) {
            std::size_t got;
            if (readinto_) {
                py::object n =
                    readinto_(py::memoryview::from_memory(out + done, static_cast<py::ssize_t>(want - done)));
                got = n.is_none() ? 0 : n.cast<std::size_t>();
            } else {
                const py::bytes data = read_(want - done);
                const std::string_view view = data;
                got = std::min(view.size(), want - done);
                std::memcpy(out + done, view.data(), got);
            }
            if (got == 0) break;
            done += got;
        }
    } catch (py::error_already_set& e) {
        error_ = py::reinterpret_borrow<py::object>(e.value());
        failed_ = true;
        filePos_ = -1;
    }
    pos_ += done;
    filePos_ = failed_ ? -1 : static_cast<std::int64_t>(pos_);
    return done / size;
}

std::size_t PyFileHandler::fwrite(const void*, std::size_t, std::size_t, void*) { return 0; }

int PyFileHandler::fseek(void*, std::int64_t offset, int origin) {
    std::int64_t base = 0;
    if (origin == 1) base = static_cast<std::int64_t>(pos_);
    if (origin == 2) {
        py::gil_scoped_acquire gil;
        if (failed_) return -1;
        try {
            seek_(0, 2);
            base = tell_().cast<std::int64_t>();
            filePos_ = base;
        } catch (py::error_already_set& e) {
            error_ = py::reinterpret_borrow<py::object>(e.value());
            failed_ = true;
            return -1;
        }
    }
    if (base + offset < 0) return -1;
    pos_ = static_cast<std::uint64_t>(base + offset);
    return 0;
}

std::int64_t PyFileHandler::ftell(void*) { return static_cast<std::int64_t>(pos_); }
int PyFileHandler::fclose(void*) { return 0; }  // the file object is its owner's to close
std::uint64_t PyFileHandler::getFilePos(void*) { return pos_; }

int PyFileHandler::setFilePos(void*, std::uint64_t position) {
    pos_ = position;
    return 0;
}

}  // namespace pyavi
