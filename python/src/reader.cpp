// avi.open(path, strict=True): the library's specified read path. Frames as (height, width, 3)
// BGR arrays, top row first, read straight into the array's memory; audio as (samples,
// channels) arrays.
#include <algorithm>
#include <cstring>
#include <memory>

#include "binding.h"
#include "format/Rows.h"
#include "salvage/salvage.h"

namespace pyavi {

namespace {

namespace err = avi::errors;

// The frame size the library reads uncompressed frames with (frameBytes()) bounds what a
// frame may cost us, whatever the header's geometry claims.
using ReadFile = avi::internal::FileBridge;

class StrictReader {
public:
    explicit StrictReader(const std::string& path) {
        openOrRaise(file_, lock_, path, "r");
        // What the support checks noted at open fails no call to come; it is reported by a
        // frame read that finds no frame to deliver.
        openCode_ = file_.getErrorCode();
        openMessage_ = file_.getErrorMsg();
        file_.clearError();
        open_ = true;
    }

    ReadFile& file() {
        if (!open_) throw py::value_error("I/O operation on a closed AVI file");
        return file_;
    }

    void close() {
        if (!open_) return;
        open_ = false;
        unlocked(lock_, [&] { file_.close(); });
    }

    std::uint32_t frameCount() { return file().getVideoTotalFrames(); }

    // A frame number from Python; negative numbers count from the end, as in a list.
    long long frameNumber(long long i) {
        const long long n = frameCount();
        if (i < 0) i += n;
        if (i < 0 || i >= n) {
            if (n == 0) noFrames();
            throw py::index_error("frame number out of range");
        }
        return i;
    }

    // A file whose frames could not be found says why, if open noted it.
    void noFrames() {
        if (openCode_ != avi::errors::ERR_NONE) throw Failure(openCode_, openMessage_);
    }

    py::object readFrame(const py::object& index) {
        ReadFile& f = file();
        long long n = avi::File::INVALID_FRAME_INDEX;
        if (!index.is_none())
            n = frameNumber(index.cast<long long>());
        else if (f.isEndOfVideo()) {
            if (frameCount() == 0) noFrames();
            return py::none();
        }
        if (f.isVideoCompressed()) fail(f, err::ERR_COMPRESSED_VIDEO);
        const std::uint16_t bits = f.getVideoBitsPerPixel();
        if (bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
            fail(f, err::ERR_INVALID_BITS_PER_PIXEL);

        // The library delivers bottom-up rows of 3 x width bytes padded to 4, in a buffer of
        // getRGB24VideoFrameSize() bytes (more for 32-bit frames, converted in place). The
        // array shows those rows top row first through a negative row stride: no copy.
        const std::uint64_t w = f.getVideoWidth(), h = f.getVideoHeight();
        const std::uint64_t stride = avi::format::paddedRow(3 * w), bytes = f.getRGB24VideoFrameSize();
        if (stride * h > bytes || stride * h > 3 * std::uint64_t{f.frameBytes()}) fail(f, err::ERR_UNSUPPORTED_FILE);
        py::array_t<std::uint8_t> memory(static_cast<py::ssize_t>(std::max<std::uint64_t>(bytes, 1)));
        char* data = reinterpret_cast<char*>(memory.mutable_data());
        // Another thread may have taken the last frame meanwhile: test again under the lock.
        std::string miss;
        const bool read = unlocked(lock_, [&] {
            if (n == avi::File::INVALID_FRAME_INDEX && f.isEndOfVideo()) return false;
            miss = unproven(n == avi::File::INVALID_FRAME_INDEX ? f.getVideoFramesRead() : n);
            if (miss.empty()) f.readRGB24VideoFrame(data, n);
            return true;
        });
        if (!miss.empty()) raise(err::ERR_INVALID_INDEX, miss);
        raiseIfError(f);
        if (!read) return py::none();
        const auto sh = static_cast<py::ssize_t>(h), sw = static_cast<py::ssize_t>(w);
        const auto rows = static_cast<py::ssize_t>(stride);
        char* top = h == 0 ? data : data + (sh - 1) * rows;
        return py::array(py::dtype::of<std::uint8_t>(), {sh, sw, py::ssize_t{3}},
                         {-rows, py::ssize_t{3}, py::ssize_t{1}}, top, memory);
    }

    py::bytes readRaw(long long index) {
        ReadFile& f = file();
        const long long n = frameNumber(index);
        // Uncompressed frames are read with the size of the first one, compressed ones with
        // their own.
        const std::uint32_t size = f.isVideoCompressed() ? f.getRawVideoFrameSize(n) : f.frameBytes();
        raiseIfError(f);
        auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, size));
        if (!out) throw py::error_already_set();
        char* data = PyBytes_AS_STRING(out.ptr());
        const std::string miss = unlocked(lock_, [&] {
            std::string why = unproven(static_cast<std::uint64_t>(n));
            if (why.empty()) f.readVideoFrame(data, n);
            return why;
        });
        if (!miss.empty()) raise(err::ERR_INVALID_INDEX, miss);
        raiseIfError(f);
        return out;
    }

    py::array readAudio(const py::object& count) {
        ReadFile& f = file();
        if (f.isAudioCompressed()) fail(f, err::ERR_COMPRESSED_AUDIO);
        const std::uint16_t bits = f.getAudioBitsPerSample(), channels = f.getAudioNumberOfChannels();
        if (bits != 8 && bits != 16) fail(f, err::ERR_UNSUPPORTED_AUDIO_BITS);
        if (channels == 0) fail(f, err::ERR_UNSUPPORTED_AUDIO_FORMAT);
        const std::uint64_t frame = std::uint64_t{channels} * bits / 8;
        const std::uint64_t total = f.getAudioTotalBytes(), done = f.getAudioBytesRead();
        std::uint64_t samples = done < total ? (total - done) / frame : 0;
        if (!count.is_none()) {
            const long long asked = count.cast<long long>();
            if (asked < 0) throw py::value_error("sample count must not be negative");
            samples = std::min<std::uint64_t>(samples, static_cast<std::uint64_t>(asked));
        }
        const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(samples), channels};
        py::array out = bits == 8 ? py::array(py::dtype::of<std::uint8_t>(), shape)
                                  : py::array(py::dtype::of<std::int16_t>(), shape);
        char* data = static_cast<char*>(out.mutable_data());
        const std::string miss = unlocked(lock_, [&] {
            // Every audio entry is checked before the first bytes are handed out.
            for (std::size_t i = 0; !audioProven_ && i < f.audioEntries().size(); ++i) {
                const std::string why =
                    salvage::checkEntry(*f.handler(), f.handle(), f.audioEntries()[i], f.audioStream(), false);
                if (!why.empty()) return "audio index entry " + std::to_string(i) + " " + why + unprovenHint;
            }
            audioProven_ = true;
            if (samples > 0) f.readAudio(data, static_cast<unsigned long>(samples * frame));
            return std::string();
        });
        if (!miss.empty()) raise(err::ERR_INVALID_INDEX, miss);
        raiseIfError(f);
        return out;
    }

    py::object fps() {
        ReadFile& f = file();
        if (f.getVideoStreamScale() == 0) return py::none();
        return py::module_::import("fractions").attr("Fraction")(f.getVideoStreamRate(), f.getVideoStreamScale());
    }

    py::str fourcc() {
        const std::string code = file().getVideoFourCC();
        // Codes are four bytes of any value; Latin-1 maps each to one character.
        return py::reinterpret_steal<py::str>(
            PyUnicode_DecodeLatin1(code.data(), static_cast<Py_ssize_t>(code.size()), nullptr));
    }

private:
    // The library takes its index as it stands; a frame whose entry misses its chunk is an
    // error here, not wrong bytes. "" when video entry i points at its chunk.
    std::string unproven(std::uint64_t i) {
        ReadFile& f = file_;
        if (i >= f.videoEntries().size()) return std::string();
        const std::string why =
            salvage::checkEntry(*f.handler(), f.handle(), f.videoEntries()[i], f.videoStream(), true);
        return why.empty() ? why : "frame " + std::to_string(i) + ": its index entry " + why + unprovenHint;
    }
    static constexpr const char* unprovenHint = " (avi.open without strict=True reads the file)";

    bool audioProven_ = false;
    ReadFile file_;
    std::mutex lock_;
    bool open_ = false;
    avi::errors::error_T openCode_ = avi::errors::ERR_NONE;
    std::string openMessage_;
};

// Iterating a reader yields every frame by number, whatever the sequential position.
struct Frames {
    py::object owner;
    StrictReader* reader;
    long long next = 0;
};

template <class Getter>
auto prop(Getter g) {
    return [g](StrictReader& r) { return (r.file().*g)(); };
}

}  // namespace

void bindStrictReader(py::module_& m) {
    py::class_<Frames>(m, "_StrictFrames")
        .def("__iter__", [](Frames& it) -> Frames& { return it; })
        .def("__next__", [](Frames& it) {
            if (it.next >= it.reader->frameCount()) {
                if (it.next == 0) it.reader->noFrames();
                throw py::stop_iteration();
            }
            return it.reader->readFrame(py::int_(it.next++));
        });

    py::class_<StrictReader>(m, "StrictReader", "One AVI file read through the library's specified path.")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_property_readonly("width", prop(&avi::File::getVideoWidth))
        .def_property_readonly("height", prop(&avi::File::getVideoHeight))
        .def_property_readonly("frame_count", &StrictReader::frameCount)
        .def_property_readonly("fps", &StrictReader::fps,
                               "Frame rate as a Fraction (rate / scale); None when scale is 0.")
        .def_property_readonly("bits_per_pixel", prop(&avi::File::getVideoBitsPerPixel))
        .def_property_readonly("fourcc", &StrictReader::fourcc, "Compression code; '' for uncompressed video.")
        .def_property_readonly("has_video", prop(&avi::File::hasVideo))
        .def_property_readonly("has_audio", prop(&avi::File::hasAudio))
        .def_property_readonly("sample_rate", prop(&avi::File::getAudioSampleRate))
        .def_property_readonly("channels", prop(&avi::File::getAudioNumberOfChannels))
        .def_property_readonly("bits_per_sample", prop(&avi::File::getAudioBitsPerSample))
        .def("read_frame", &StrictReader::readFrame, py::arg("i") = py::none(),
             "Frame i (the next one when i is None; None after the last) as a uint8 array of shape "
             "(height, width, 3), BGR, top row first.")
        .def("read_raw", &StrictReader::readRaw, py::arg("i"), "The stored bytes of frame i (a JPEG for MJPEG).")
        .def("read_audio", &StrictReader::readAudio, py::arg("n") = py::none(),
             "The next n sample frames (all that are left when n is None) as an array of shape "
             "(samples, channels): uint8 for 8-bit audio, int16 for 16-bit.")
        .def("__iter__",
             [](py::object self) {
                 return Frames{self, &self.cast<StrictReader&>()};
             })
        .def("__len__", &StrictReader::frameCount)
        .def("close", &StrictReader::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](StrictReader& r, const py::args&) { r.close(); });
}

}  // namespace pyavi
