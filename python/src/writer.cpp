// avi.open(path, "w"): frames from top-down (height, width, 3 or 4) uint8 arrays of any
// strides, audio from (samples, channels) arrays; the file is finished by close().
#include <algorithm>
#include <cstring>
#include <vector>

#include "binding.h"

namespace pyavi {

namespace {

namespace err = avi::errors;

std::size_t pad4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

class Writer {
public:
    explicit Writer(const std::string& path) {
        openOrRaise(file_, lock_, path, "w");
        open_ = true;
    }

    // A writer dropped without close() is finished all the same; nobody is left to hear
    // of a failure then.
    ~Writer() {
        try {
            close();
        } catch (...) {
        }
    }

    avi::File& file() {
        if (!open_) throw py::value_error("I/O operation on a closed AVI file");
        return file_;
    }

    void setVideo(unsigned width, unsigned height, const py::object& fps, unsigned bits, const std::string& fourcc) {
        avi::File& f = file();
        if (fourcc.empty() && bits != 24 && bits != 32)
            throw py::value_error("uncompressed video is written with 24 or 32 bits per pixel");
        f.setVideoInfo(width, height, fps.cast<double>(), fourcc, bits);
        raiseIfError(f);
        width_ = width, height_ = height, bits_ = bits, compressed_ = !fourcc.empty(), video_ = true;
    }

    void setAudio(double rate, unsigned bits, unsigned channels, unsigned chunkBytes) {
        avi::File& f = file();
        if (bits != 8 && bits != 16) throw py::value_error("audio is written with 8 or 16 bits per sample");
        if (channels == 0 || chunkBytes == 0) throw py::value_error("channels and chunk_bytes must be positive");
        f.setAudioInfo(rate, bits, channels, chunkBytes);
        raiseIfError(f);
        audioBits_ = bits, channels_ = channels, chunkBytes_ = chunkBytes;
    }

    void writeFrame(const py::object& frame) {
        avi::File& f = file();
        if (!video_) fail(f, err::ERR_UNSUPPORTED_FILE);
        if (compressed_) {
            // Stored as given: the bytes of one encoded frame.
            py::buffer_info b = py::buffer(frame).request();
            if (!PyBuffer_IsContiguous(b.view(), 'C')) throw py::value_error("a compressed frame must be contiguous");
            if (b.size * b.itemsize > 0xFFFFFFFFll) throw py::value_error("a frame must be smaller than 4 GiB");
            const auto size = static_cast<unsigned>(b.size * b.itemsize);
            unlocked(lock_, [&] { f.writeVideoFrame(static_cast<const char*>(b.ptr), size); });
            raiseIfError(f);
            return;
        }
        if (!py::isinstance<py::array_t<std::uint8_t>>(frame)) throw py::type_error("a frame is a uint8 numpy array");
        const auto a = frame.cast<py::array>();
        if (a.ndim() != 3 || a.shape(0) != height_ || a.shape(1) != width_ || (a.shape(2) != 3 && a.shape(2) != 4))
            throw py::value_error("a frame has shape (height, width, 3) or (height, width, 4) as set by set_video");
        unlocked(lock_, [&] {
            pack(a);
            if (bits_ == 24)
                f.writeVideoFrame(packed_.data());
            else
                f.writeVideoFrame(packed_.data(), static_cast<unsigned>(packed_.size()));
        });
        raiseIfError(f);
    }

    void writeAudio(const py::object& samples) {
        avi::File& f = file();
        if (chunkBytes_ == 0) fail(f, err::ERR_UNSUPPORTED_FILE);
        const bool typed = audioBits_ == 8 ? py::isinstance<py::array_t<std::uint8_t>>(samples)
                                           : py::isinstance<py::array_t<std::int16_t>>(samples);
        if (!typed)
            throw py::type_error(audioBits_ == 8 ? "8-bit audio is a uint8 array" : "16-bit audio is an int16 array");
        const auto a = py::array::ensure(samples, py::array::c_style);
        const bool shaped = (a.ndim() == 2 && a.shape(1) == channels_) || (a.ndim() == 1 && channels_ == 1);
        if (!shaped) throw py::value_error("audio has shape (samples, channels)");
        const char* data = static_cast<const char*>(a.data());
        unlocked(lock_, [&] { pending_.insert(pending_.end(), data, data + a.nbytes()); });
        flushAudio(false);
    }

    void close() {
        if (!open_) return;
        // The last audio chunk is filled with silence: every chunk has the declared size.
        if (!pending_.empty()) flushAudio(true);
        open_ = false;
        unlocked(lock_, [&] { file_.close(); });
        raiseIfError(file_);
    }

private:
    // Writes whole chunks from the pending samples; with fill, the rest too, zero-padded.
    void flushAudio(bool fill) {
        if (fill) pending_.resize(pending_.size() + (chunkBytes_ - pending_.size() % chunkBytes_) % chunkBytes_);
        unlocked(lock_, [&] {
            std::size_t used = 0;
            // writeAudio takes the chunk's pad byte from the buffer too: keep one, zero, at hand.
            std::vector<char> chunk(chunkBytes_ + 1, 0);
            for (; pending_.size() - used >= chunkBytes_; used += chunkBytes_) {
                std::memcpy(chunk.data(), pending_.data() + used, chunkBytes_);
                file_.writeAudio(chunk.data());
                if (file_.getErrorCode() != err::ERR_NONE) break;
            }
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
        });
        raiseIfError(file_);
    }

    // Lays a top-down frame of any strides out as the file stores it: bottom-up rows of
    // 3 bytes per pixel padded to 4, or 4 bytes per pixel (opaque when the source has 3).
    void pack(const py::array& a) {
        const std::size_t w = width_, h = height_, channels = static_cast<std::size_t>(a.shape(2));
        const std::size_t out = bits_ == 24 ? 3 : 4, row = bits_ == 24 ? pad4(3 * w) : 4 * w;
        packed_.assign(row * h, 0);
        const auto* base = static_cast<const unsigned char*>(a.data());
        const py::ssize_t sy = a.strides(0), sx = a.strides(1), sc = a.strides(2);
        const bool packedRows = sc == 1 && sx == static_cast<py::ssize_t>(channels);
        for (std::size_t y = 0; y < h; ++y) {
            const unsigned char* src = base + static_cast<py::ssize_t>(y) * sy;
            auto* dst = reinterpret_cast<unsigned char*>(packed_.data()) + (h - 1 - y) * row;
            if (packedRows && channels == out) {
                std::memcpy(dst, src, w * out);
                continue;
            }
            for (std::size_t x = 0; x < w; ++x, src += sx, dst += out) {
                for (std::size_t c = 0; c < std::min(channels, out); ++c)
                    dst[c] = src[static_cast<py::ssize_t>(c) * sc];
                if (out > channels) dst[3] = 0xFF;
            }
        }
    }

    avi::File file_;
    std::mutex lock_;
    bool open_ = false;
    bool video_ = false, compressed_ = false;
    unsigned width_ = 0, height_ = 0, bits_ = 24;
    unsigned audioBits_ = 0, channels_ = 0, chunkBytes_ = 0;
    std::vector<char> packed_;
    std::vector<char> pending_;
};

}  // namespace

py::object openWriter(const std::string& path) {
    return py::cast(new Writer(path), py::return_value_policy::take_ownership);
}

void bindWriter(py::module_& m) {
    py::class_<Writer>(m, "Writer", "An AVI file open for writing; made by avi.open(path, 'w').")
        .def("set_video", &Writer::setVideo, py::arg("width"), py::arg("height"), py::arg("fps"), py::arg("bits") = 24,
             py::arg("fourcc") = "",
             "Declares the video stream: 24- or 32-bit uncompressed, or frames stored as given under fourcc.")
        .def("set_audio", &Writer::setAudio, py::arg("rate"), py::arg("bits"), py::arg("channels"),
             py::arg("chunk_bytes"), "Declares 8- or 16-bit PCM audio, stored in chunks of chunk_bytes.")
        .def("write_frame", &Writer::writeFrame, py::arg("frame"),
             "Appends a top-down (height, width, 3 or 4) uint8 frame, BGR(A); bytes for a compressed stream.")
        .def("write_audio", &Writer::writeAudio, py::arg("samples"),
             "Appends samples of shape (samples, channels), uint8 or int16 as declared.")
        .def("close", &Writer::close, "Writes the headers and indexes and closes the file.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Writer& w, const py::object& type, const py::object&, const py::object&) {
            // An error already on its way out is not hidden by one from closing.
            if (type.is_none()) return w.close();
            try {
                w.close();
            } catch (const Failure&) {
            }
        });
}

}  // namespace pyavi
