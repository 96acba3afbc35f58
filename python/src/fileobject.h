#pragma once
// An avi::IFileHandler over a Python file object (io.BytesIO, open(path, "rb"), an fsspec
// file): anything with read, seek and tell; readinto is used when it is there. The reader
// calls it without the GIL, so each call takes the GIL back for the time it talks to Python.
// An exception the file object raises is kept, and raised again by rethrow() once the
// reader's call has returned.

#include <pybind11/pybind11.h>

#include "avi/IFileHandler.h"

namespace pyavi {

namespace py = pybind11;

class PyFileHandler : public avi::IFileHandler {
public:
    explicit PyFileHandler(py::object file);
    ~PyFileHandler() override;

    void* fopen(std::u16string path, const char* mode) override;
    std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) override;
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, void* handle) override;
    int fseek(void* handle, std::int64_t offset, int origin) override;
    std::int64_t ftell(void* handle) override;
    int fclose(void* handle) override;
    std::uint64_t getFilePos(void* handle) override;
    int setFilePos(void* handle, std::uint64_t position) override;

    // Raises what the file object raised since the last call, if anything (GIL held).
    void rethrow();

private:
    py::object file_, read_, readinto_, seek_, tell_;
    std::uint64_t pos_ = 0;      // where the reader is
    std::int64_t filePos_ = -1;  // where the file object is, when known
    py::object error_;           // the exception the file object raised, or None
    bool failed_ = false;
    // Moves the file object to pos_ when it is elsewhere; false after an exception.
    bool place();
};

}  // namespace pyavi
