// avi.open(path, "w"): frames from top-down (height, width, 3 or 4) uint8 arrays of any
// strides, audio from (samples, channels) arrays; the file is finished by close().
#include <algorithm>
#include <cstring>
#include <vector>

#include "binding.h"
#include "format/Rate.h"
#include "format/Rows.h"

namespace pyavi {

namespace {

namespace err = avi::errors;

// The pixel formats a frame can be given in, by ffmpeg's names, and how the file stores them.
struct Format {
    const char* name;
    unsigned bits;
    const char* fourcc;  // "" for a bitmap (rows bottom-up, padded to 4 bytes)
    std::size_t channels, itemBytes;
};
const Format formats[] = {
    {"bgr24", 24, "", 3, 1},        {"bgra", 32, "", 4, 1},     {"gray", 8, "Y800", 1, 1},
    {"gray16le", 16, "b16g", 1, 2},  // stored as ffmpeg's gray16be: no AVI tag names the little-endian form
    {"pal8", 8, "", 1, 1},          {"rgb555le", 16, "", 1, 2},
};

class Writer {
public:
    Writer(const std::string& path, double checkpoint) {
        if (!(checkpoint >= 0)) throw py::value_error("checkpoint is a number of seconds, 0 or more");
        openOrRaise(file_, lock_, path, "w");
        open_ = true;
        // An upload streams its parts once they are full; a checkpoint would rewrite them.
        if (checkpoint > 0 && path.find(":/") == std::string::npos) file_.enableCheckpoints(checkpoint);
        raiseIfError(file_);
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

    // pix_fmt, in ffmpeg's names, or else bits (24 or 32) or a fourcc under which frames are
    // stored as given.
    void setVideo(unsigned width, unsigned height, const py::object& fps, unsigned bits, const std::string& fourcc,
                  const std::string& pixFmt, const py::object& palette) {
        avi::File& f = file();
        const Format* format = nullptr;
        for (const Format& k : formats)
            if (pixFmt == k.name || (pixFmt.empty() && fourcc.empty() && bits == k.bits && k.channels != 1))
                format = &k;
        if (format == nullptr && fourcc.empty())
            throw py::value_error(pixFmt.empty() ? "uncompressed video is written with 24 or 32 bits per pixel"
                                                 : "pix_fmt is one of bgr24, bgra, gray, gray16le, pal8, rgb555le");
        if (format != nullptr && (std::string(format->name) == "pal8") != !palette.is_none())
            throw py::value_error("pal8 takes a palette: a (256, 3) uint8 array of B, G, R; other formats none");
        f.setVideoInfo(width, height, rate(fps), format ? format->fourcc : fourcc, format ? format->bits : bits);
        if (!palette.is_none()) f.setColormap(colormap(palette));
        if (format != nullptr && std::string(format->name) == "gray") f.setColormap(greyRamp());  // 8 bits need one
        raiseIfError(f);
        width_ = width, height_ = height, format_ = format, video_ = true;
    }

    // A number, a Fraction, or text as avitool's --fps takes it ("30000/1001", "25", "29.97").
    static double rate(const py::object& fps) {
        if (!py::isinstance<py::str>(fps)) return fps.cast<double>();
        std::uint32_t num = 0, den = 0;
        if (!avi::format::parseRate(fps.cast<std::string>(), num, den))
            throw py::value_error("fps as text is a rate such as '25', '29.97' or '30000/1001'");
        return static_cast<double>(num) / den;
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
        if (format_ == nullptr) {
            // Stored as given: the bytes of one encoded frame.
            py::buffer_info b = py::buffer(frame).request();
            if (!PyBuffer_IsContiguous(b.view(), 'C')) throw py::value_error("a compressed frame must be contiguous");
            if (b.size * b.itemsize > 0xFFFFFFFFll) throw py::value_error("a frame must be smaller than 4 GiB");
            const auto size = static_cast<unsigned>(b.size * b.itemsize);
            unlocked(lock_, [&] { f.writeVideoFrame(static_cast<const char*>(b.ptr), size); });
            raiseIfError(f);
            return;
        }
        const Format& k = *format_;
        const bool wide = k.itemBytes == 2;
        if (wide ? !py::isinstance<py::array_t<std::uint16_t>>(frame)
                 : !py::isinstance<py::array_t<std::uint8_t>>(frame))
            throw py::type_error(std::string("a ") + k.name + " frame is a " + (wide ? "uint16" : "uint8") +
                                 " numpy array");
        const auto a = frame.cast<py::array>();
        const bool shaped = k.channels == 1 ? a.ndim() == 2 : a.ndim() == 3 && (a.shape(2) == 3 || a.shape(2) == 4);
        if (!shaped || a.shape(0) != height_ || a.shape(1) != width_)
            throw py::value_error(std::string("a ") + k.name + " frame has shape (height, width" +
                                  (k.channels == 1 ? "" : ", 3 or 4") + ") as set by set_video");
        unlocked(lock_, [&] {
            pack(a, k);
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

    // Lays a top-down frame of any strides out as the file stores it: a bitmap's rows bottom-up,
    // padded to 4 bytes; grey rows top-down and packed (16 bits big-endian). Colour frames
    // of 3 channels gain an opaque alpha for bgra.
    void pack(const py::array& a, const Format& k) {
        const std::size_t w = width_, h = height_, in = a.ndim() == 3 ? static_cast<std::size_t>(a.shape(2)) : 1;
        const std::size_t out = k.channels * k.itemBytes,
                          row = k.fourcc[0] != 0 ? w * out : static_cast<std::size_t>(avi::format::paddedRow(w * out));
        packed_.assign(row * h, 0);
        const auto* base = static_cast<const unsigned char*>(a.data());
        const py::ssize_t sy = a.strides(0), sx = a.strides(1), sc = a.ndim() == 3 ? a.strides(2) : 0;
        const bool swap = std::string(k.name) == "gray16le";
        for (std::size_t y = 0; y < h; ++y) {
            const unsigned char* src = base + static_cast<py::ssize_t>(y) * sy;
            auto* dst = reinterpret_cast<unsigned char*>(packed_.data()) + (k.fourcc[0] != 0 ? y : h - 1 - y) * row;
            for (std::size_t x = 0; x < w; ++x, src += sx, dst += out) {
                if (k.itemBytes == 2) {  // one value of 16 bits, in the host's byte order
                    dst[swap ? 1 : 0] = src[0];
                    dst[swap ? 0 : 1] = src[1];
                    continue;
                }
                for (std::size_t c = 0; c < std::min(in, out); ++c) dst[c] = src[static_cast<py::ssize_t>(c) * sc];
                if (out > in) dst[3] = 0xFF;
            }
        }
    }

    static std::vector<avi::tagRGBQUAD> greyRamp() {
        std::vector<avi::tagRGBQUAD> map(256);
        for (unsigned i = 0; i < 256; ++i) {
            const auto g = static_cast<std::uint8_t>(i);
            map[i] = {g, g, g, 0};
        }
        return map;
    }

    // A (256, 3) uint8 palette of B, G, R.
    static std::vector<avi::tagRGBQUAD> colormap(const py::object& palette) {
        const auto p = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(palette);
        if (!p || p.ndim() != 2 || p.shape(0) != 256 || p.shape(1) != 3)
            throw py::value_error("a palette is a (256, 3) uint8 array of B, G, R");
        std::vector<avi::tagRGBQUAD> map(256);
        for (py::ssize_t i = 0; i < 256; ++i) map[i] = {p.at(i, 0), p.at(i, 1), p.at(i, 2), 0};
        return map;
    }

    avi::File file_;
    std::mutex lock_;
    bool open_ = false;
    bool video_ = false;
    const Format* format_ = nullptr;  // null: frames stored as given
    unsigned width_ = 0, height_ = 0;
    unsigned audioBits_ = 0, channels_ = 0, chunkBytes_ = 0;
    std::vector<char> packed_;
    std::vector<char> pending_;
};

}  // namespace

void bindWriter(py::module_& m) {
    py::class_<Writer>(m, "Writer", "An AVI file open for writing; made by avi.open(path, 'w').")
        .def(py::init<const std::string&, double>(), py::arg("path"), py::arg("checkpoint") = 1.0)
        .def("set_video", &Writer::setVideo, py::arg("width"), py::arg("height"), py::arg("fps"), py::arg("bits") = 24,
             py::arg("fourcc") = "", py::arg("pix_fmt") = "", py::arg("palette") = py::none(),
             "Declares the video stream: width and height in pixels; fps a number, a Fraction or text such\n"
             "as '30000/1001' or '29.97'; and how frames are given: pix_fmt in ffmpeg's names ('bgr24'\n"
             "(h, w, 3) uint8, 'bgra' (h, w, 4) uint8, 'gray' (h, w) uint8, 'gray16le' (h, w) uint16, 'pal8'\n"
             "(h, w) uint8 indices with palette a (256, 3) uint8 array of B, G, R, 'rgb555le' (h, w) uint16);\n"
             "or bits=24 or 32 for BGR(A) arrays; or a fourcc such as 'MJPG' under which each frame's bytes\n"
             "are stored as given.")
        .def("set_audio", &Writer::setAudio, py::arg("rate"), py::arg("bits"), py::arg("channels"),
             py::arg("chunk_bytes"), "Declares 8- or 16-bit PCM audio, stored in chunks of chunk_bytes.")
        .def("write_frame", &Writer::writeFrame, py::arg("frame"),
             "Appends a frame: a top-down array as set_video declared (any strides), or bytes for a fourcc.")
        .def("write_audio", &Writer::writeAudio, py::arg("samples"),
             "Appends samples of shape (samples, channels), uint8 or int16 as declared.")
        .def(
            "checkpoint",
            [](Writer& w) {
                avi::File& f = w.file();
                if (!f.checkpoint()) raiseIfError(f);
            },
            "Makes everything written so far readable on disk now (as the checkpoint interval does).")
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
