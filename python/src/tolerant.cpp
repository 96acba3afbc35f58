// avi.open(path): the default reader. Frames as C-contiguous (height, width, 3) BGR arrays,
// top row first, as ffmpeg and OpenCV give them; a dropped frame gives the frame before it;
// every chunk is checked as it is read. Audio as (samples, channels) arrays.
#include <algorithm>
#include <cstring>

#include "binding.h"
#include "salvage/TolerantReader.h"

namespace pyavi {

namespace {

namespace err = avi::errors;

class Reader {
public:
    explicit Reader(const std::string& path) {
        const bool ok = unlocked(lock_, [&] { return reader_.open(path); });
        if (ok) return;
        // The library's code for a file it cannot open either (missing, not RIFF, ...).
        avi::File probe;
        if (!unlocked(lock_, [&] { return probe.open(path.c_str(), "r"); })) {
            const auto code = probe.getErrorCode() != err::ERR_NONE ? probe.getErrorCode() : err::ERR_OPEN_FAILED;
            raise(code, std::string(probe.getErrorMsg()) + " (" + reader_.error() + ")");
        }
        raise(err::ERR_UNSUPPORTED_FILE, reader_.error());
    }

    salvage::TolerantReader& reader() {
        if (!open_) throw py::value_error("I/O operation on a closed AVI file");
        return reader_;
    }

    void close() {
        if (!open_) return;
        open_ = false;
        unlocked(lock_, [&] { reader_.close(); });
    }

    std::size_t frameCount() { return reader().frames().size(); }

    // A frame number from Python; negative numbers count from the end, as in a list.
    std::uint64_t frameNumber(long long i) {
        const auto n = static_cast<long long>(frameCount());
        if (i < 0) i += n;
        if (i < 0 || i >= n) throw py::index_error("frame number out of range");
        return static_cast<std::uint64_t>(i);
    }

    // Frame i (the next one when None; None after the last); the next read without a number
    // gives the frame after it.
    py::object readFrame(const py::object& index) {
        salvage::TolerantReader& r = reader();
        if (index.is_none() && next_ >= frameCount()) return py::none();
        const std::uint64_t n = index.is_none() ? next_ : frameNumber(index.cast<long long>());
        if (r.video().compressed())
            raise(err::ERR_COMPRESSED_VIDEO, r.video().fourcc + " frames are read with read_raw");
        const salvage::Picture as{salvage::Picture::BGR24, true, 0};
        if (r.pictureBytes(as) == 0)
            raise(err::ERR_INVALID_BITS_PER_PIXEL, std::to_string(r.video().bits) + "-bit frames have no BGR form");
        const auto h = static_cast<py::ssize_t>(r.video().height), w = static_cast<py::ssize_t>(r.video().width);
        py::array_t<std::uint8_t> frame({h, w, py::ssize_t{3}});
        char* data = reinterpret_cast<char*>(frame.mutable_data());
        if (!unlocked(lock_, [&] { return r.readPicture(n, data, as); })) raise(err::ERR_INVALID_INDEX, r.error());
        next_ = n + 1;
        return std::move(frame);
    }

    py::bytes readRaw(long long index) {
        salvage::TolerantReader& r = reader();
        const std::uint64_t n = frameNumber(index);
        const std::uint32_t size = r.frames()[n].size;  // none for a dropped frame
        auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, size));
        if (!out) throw py::error_already_set();
        char* data = PyBytes_AS_STRING(out.ptr());
        if (size != 0 && !unlocked(lock_, [&] { return r.readStored(n, data); }))
            raise(err::ERR_INVALID_INDEX, r.error());
        return out;
    }

    py::array readAudio(const py::object& count) {
        salvage::TolerantReader& r = reader();
        const salvage::AudioFormat& a = r.audio();
        if (!r.hasAudio()) raise(err::ERR_AUDIO_CHUNKS_MISSING, "the file has no audio stream");
        if (a.formatTag != 1) raise(err::ERR_COMPRESSED_AUDIO, "the audio is not PCM");
        if (a.bits != 8 && a.bits != 16) raise(err::ERR_UNSUPPORTED_AUDIO_BITS, "audio of 8 or 16 bits is read");
        if (a.channels == 0) raise(err::ERR_UNSUPPORTED_AUDIO_FORMAT, "audio without channels");
        const std::uint64_t frame = a.frameBytes();
        std::uint64_t samples = (r.audioBytes() - audioAt_) / frame;
        if (!count.is_none()) {
            const long long asked = count.cast<long long>();
            if (asked < 0) throw py::value_error("sample count must not be negative");
            samples = std::min<std::uint64_t>(samples, static_cast<std::uint64_t>(asked));
        }
        const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(samples), a.channels};
        py::array out = a.bits == 8 ? py::array(py::dtype::of<std::uint8_t>(), shape)
                                    : py::array(py::dtype::of<std::int16_t>(), shape);
        char* data = static_cast<char*>(out.mutable_data());
        const std::size_t bytes = static_cast<std::size_t>(samples * frame);
        if (unlocked(lock_, [&] { return bytes == 0 || r.readAudio(audioAt_, data, bytes) == bytes; }))
            audioAt_ += bytes;
        else
            raise(err::ERR_AUDIO_CHUNKS_MISSING, r.error());
        return out;
    }

    py::object fps() {
        const salvage::VideoFormat& v = reader().video();
        if (v.rateDen == 0) return py::none();
        return py::module_::import("fractions").attr("Fraction")(v.rateNum, v.rateDen);
    }

    py::str fourcc() {
        const std::string& code = reader().video().fourcc;
        // Codes are four bytes of any value; Latin-1 maps each to one character.
        return py::reinterpret_steal<py::str>(
            PyUnicode_DecodeLatin1(code.data(), static_cast<Py_ssize_t>(code.size()), nullptr));
    }

private:
    salvage::TolerantReader reader_;
    std::mutex lock_;
    bool open_ = true;
    std::uint64_t next_ = 0;     // frame number of the next read without one
    std::uint64_t audioAt_ = 0;  // byte position of the next audio read
};

// Iterating a reader yields every frame by number, whatever the sequential position.
struct Frames {
    py::object owner;
    Reader* reader;
    long long next = 0;
};

template <class Getter>
auto prop(Getter g) {
    return [g](Reader& r) { return g(r.reader()); };
}

}  // namespace

py::object openReader(const std::string& path) {
    return py::cast(new Reader(path), py::return_value_policy::take_ownership);
}

void bindReader(py::module_& m) {
    py::class_<Frames>(m, "_Frames")
        .def("__iter__", [](Frames& it) -> Frames& { return it; })
        .def("__next__", [](Frames& it) {
            if (static_cast<std::size_t>(it.next) >= it.reader->frameCount()) throw py::stop_iteration();
            return it.reader->readFrame(py::int_(it.next++));
        });

    using R = salvage::TolerantReader;
    py::class_<Reader>(m, "Reader", "An AVI file open for reading; made by avi.open(path).")
        .def_property_readonly("width", prop([](R& r) { return r.video().width; }))
        .def_property_readonly("height", prop([](R& r) { return r.video().height; }))
        .def_property_readonly("frame_count", &Reader::frameCount)
        .def_property_readonly("fps", &Reader::fps, "Frame rate as a Fraction; None when the file states none.")
        .def_property_readonly("bits_per_pixel", prop([](R& r) { return r.video().bits; }))
        .def_property_readonly("fourcc", &Reader::fourcc, "Compression code; '' for uncompressed video.")
        .def_property_readonly("has_video", prop([](R& r) { return r.hasVideo(); }))
        .def_property_readonly("has_audio", prop([](R& r) { return r.hasAudio(); }))
        .def_property_readonly("sample_rate", prop([](R& r) { return r.audio().sampleRate; }))
        .def_property_readonly("channels", prop([](R& r) { return r.audio().channels; }))
        .def_property_readonly("bits_per_sample", prop([](R& r) { return r.audio().bits; }))
        .def("read_frame", &Reader::readFrame, py::arg("i") = py::none(),
             "Frame i (the next one when i is None; None after the last) as a uint8 array of shape "
             "(height, width, 3), BGR, top row first. A dropped frame gives the frame before it.")
        .def("read_raw", &Reader::readRaw, py::arg("i"),
             "The stored bytes of frame i (a JPEG for MJPEG); b'' for a dropped frame.")
        .def("read_audio", &Reader::readAudio, py::arg("n") = py::none(),
             "The next n sample frames (all that are left when n is None) as an array of shape "
             "(samples, channels): uint8 for 8-bit audio, int16 for 16-bit.")
        .def("__iter__",
             [](py::object self) {
                 return Frames{self, &self.cast<Reader&>()};
             })
        .def("__len__", &Reader::frameCount)
        .def("close", &Reader::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Reader& r, const py::args&) { r.close(); });
}

}  // namespace pyavi
