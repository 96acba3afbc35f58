// The default reader behind avi.open(src): the tolerant reader. Frames are C-contiguous arrays,
// top row first, as ffmpeg and OpenCV give them: (height, width, 3) BGR uint8, MJPEG frames
// decoded; (height, width) uint8 or uint16 for grey video. A dropped frame gives the frame
// before it, and every chunk is checked as it is read. The source is a path, a URL or a file
// object.
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "binding.h"
#include "fileobject.h"
#include "salvage/TolerantReader.h"

namespace pyavi {

namespace {

namespace err = avi::errors;
using salvage::Picture;
using salvage::VideoFormat;

bool isJpeg(const VideoFormat& v) { return v.fourcc == "MJPG" || v.fourcc == "mjpg"; }

class Reader {
public:
    // src: a path or URL (str or bytes), or a file object.
    explicit Reader(const py::object& src) {
        if (py::hasattr(src, "read")) {
            file_ = std::make_shared<PyFileHandler>(src);
            const bool ok = unlocked(lock_, [&] { return reader_.open(file_, u"<file object>", {}, ""); });
            file_->rethrow();
            if (!ok) failOpen("<file object>");
        } else {
            const std::string path = py::module_::import("os").attr("fsencode")(src).cast<std::string>();
            if (!unlocked(lock_, [&] { return reader_.open(path); })) failOpen(path);
        }
        const VideoFormat& v = reader_.video();
        if (reader_.hasVideo() && isJpeg(v)) jpeg_.reset(tjInitDecompress());
        picture_ = v.gray() ? Picture{Picture::Gray, true, 0} : Picture{Picture::BGR24, true, 0};
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

    // The shape of one frame, and the type of its values.
    std::vector<py::ssize_t> shape() {
        const VideoFormat& v = reader().video();
        const auto h = static_cast<py::ssize_t>(v.height), w = static_cast<py::ssize_t>(v.width);
        return v.gray() ? std::vector<py::ssize_t>{h, w} : std::vector<py::ssize_t>{h, w, 3};
    }
    py::tuple frameShape() {
        py::tuple t(shape().size());
        for (std::size_t i = 0; i < t.size(); ++i) t[i] = shape()[i];
        return t;
    }
    py::dtype dtype() {
        return reader().video().pixels == VideoFormat::Pixels::Gray16 ? py::dtype::of<std::uint16_t>()
                                                                      : py::dtype::of<std::uint8_t>();
    }

    // A frame number from Python; negative numbers count from the end, as in a list.
    std::uint64_t frameNumber(const py::object& index) {
        if (!py::isinstance<py::int_>(index) && !py::hasattr(index, "__index__"))
            throw py::type_error("frame numbers are integers, not " +
                                 py::str(index.get_type().attr("__name__")).cast<std::string>());
        auto i = py::reinterpret_steal<py::object>(PyNumber_Index(index.ptr())).cast<long long>();
        const auto n = static_cast<long long>(frameCount());
        if (i < 0) i += n;
        if (i < 0 || i >= n) throw py::index_error("frame number out of range");
        return static_cast<std::uint64_t>(i);
    }

    // Frame i (the next one when None; None after the last) into out, or into a new array;
    // the next read without a number gives the frame after it.
    py::object readFrame(const py::object& index, const py::object& outArg) {
        salvage::TolerantReader& r = reader();
        if (index.is_none() && next_ >= frameCount()) return py::none();
        const std::uint64_t n = index.is_none() ? next_ : frameNumber(index);
        const VideoFormat& v = r.video();
        if (v.compressed() && !jpeg_)
            raise(err::ERR_COMPRESSED_VIDEO, v.fourcc + " frames are read as stored, with read_raw");
        if (!v.compressed() && r.pictureBytes(picture_) == 0)
            raise(err::ERR_INVALID_BITS_PER_PIXEL, std::to_string(v.bits) + "-bit frames have no picture form");
        py::array out = outArg.is_none() ? py::array(dtype(), shape()) : checkedOut(outArg);
        char* data = static_cast<char*>(out.mutable_data());
        const bool ok = unlocked(lock_, [&] { return jpeg_ ? decode(n, data) : r.readPicture(n, data, picture_); });
        if (file_) file_->rethrow();
        if (!ok) raise(err::ERR_INVALID_INDEX, error_.empty() ? r.error() : error_);
        next_ = n + 1;
        return std::move(out);
    }

    py::bytes readRaw(const py::object& index) {
        salvage::TolerantReader& r = reader();
        const std::uint64_t n = frameNumber(index);
        const std::uint32_t size = r.frames()[n].size;  // none for a dropped frame
        auto out = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, size));
        if (!out) throw py::error_already_set();
        char* data = PyBytes_AS_STRING(out.ptr());
        const bool ok = size == 0 || unlocked(lock_, [&] { return r.readStored(n, data); });
        if (file_) file_->rethrow();
        if (!ok) raise(err::ERR_INVALID_INDEX, r.error());
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
        const bool ok = unlocked(lock_, [&] { return bytes == 0 || r.readAudio(audioAt_, data, bytes) == bytes; });
        if (file_) file_->rethrow();
        if (!ok) raise(err::ERR_AUDIO_CHUNKS_MISSING, r.error());
        audioAt_ += bytes;
        return out;
    }

    // The frame table's columns: where each frame's stored bytes begin, how many there are
    // (0 for a dropped frame), and whether it is a key frame.
    py::tuple frameTable() {
        const auto& frames = reader().frames();
        const auto n = static_cast<py::ssize_t>(frames.size());
        py::array_t<std::int64_t> offset(n), size(n);
        py::array_t<bool> key(n);
        for (py::ssize_t i = 0; i < n; ++i) {
            const salvage::FrameEntry& e = frames[static_cast<std::size_t>(i)];
            offset.mutable_at(i) = static_cast<std::int64_t>(e.offset);
            size.mutable_at(i) = e.size;
            key.mutable_at(i) = e.key;
        }
        return py::make_tuple(offset, size, key);
    }

    py::object fps() {
        const VideoFormat& v = reader().video();
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
    struct JpegFree {
        void operator()(void* h) const {
            if (h != nullptr) tjDestroy(h);
        }
    };
    salvage::TolerantReader reader_;
    std::shared_ptr<PyFileHandler> file_;   // when the source is a file object
    std::unique_ptr<void, JpegFree> jpeg_;  // the JPEG decoder of an MJPEG stream
    Picture picture_;
    std::vector<char> jpegBytes_;
    std::string error_;
    std::mutex lock_;
    bool open_ = true;
    std::uint64_t next_ = 0;     // frame number of the next read without one
    std::uint64_t audioAt_ = 0;  // byte position of the next audio read

    // The library's code and message for a source it cannot open either (missing, not RIFF,
    // ...), with the tolerant reader's reason.
    [[noreturn]] void failOpen(const std::string& path) {
        avi::internal::FileBridge probe;
        if (file_) probe.useHandler(file_);
        const bool opened = unlocked(lock_, [&] { return probe.open(path.c_str(), "r"); });
        if (file_) file_->rethrow();
        if (!opened) {
            const auto code = probe.getErrorCode() != err::ERR_NONE ? probe.getErrorCode() : err::ERR_OPEN_FAILED;
            raise(code, std::string(probe.getErrorMsg()) + " (" + reader_.error() + ")");
        }
        raise(err::ERR_UNSUPPORTED_FILE, reader_.error());
    }

    // out as the caller gave it: a writable, C-contiguous array of one frame's shape and type.
    py::array checkedOut(const py::object& outArg) {
        if (!py::isinstance<py::array>(outArg)) throw py::type_error("out is a numpy array");
        auto out = py::reinterpret_borrow<py::array>(outArg);
        const auto want = shape();
        const bool fits = out.dtype().equal(dtype()) && out.ndim() == static_cast<py::ssize_t>(want.size()) &&
                          std::equal(want.begin(), want.end(), out.shape()) && out.writeable() &&
                          (out.flags() & py::array::c_style) != 0;
        if (!fits)
            throw py::value_error("out must be a writable C-contiguous " + py::str(dtype()).cast<std::string>() +
                                  " array of shape " + py::str(frameShape()).cast<std::string>());
        return out;
    }

    // The JPEG shown at frame n, decoded to B, G, R bytes as libjpeg-turbo does by default.
    bool decode(std::uint64_t n, char* data) {
        salvage::TolerantReader& r = reader_;
        const std::int64_t shown = r.shownFrame(n);
        error_.clear();
        if (shown < 0) return error_ = "frame " + std::to_string(n) + " is dropped and no frame before it", false;
        const auto s = static_cast<std::uint64_t>(shown);
        jpegBytes_.resize(r.frames()[s].size);
        if (!r.readStored(s, jpegBytes_.data())) return false;
        const VideoFormat& v = r.video();
        int w = 0, h = 0, sub = 0, space = 0;
        auto* jpeg = reinterpret_cast<unsigned char*>(jpegBytes_.data());
        const auto bytes = static_cast<unsigned long>(jpegBytes_.size());
        if (tjDecompressHeader3(jpeg_.get(), jpeg, bytes, &w, &h, &sub, &space) != 0 ||
            static_cast<std::uint32_t>(w) != v.width || static_cast<std::uint32_t>(h) != v.height)
            return error_ = "frame " + std::to_string(s) + " is not a " + std::to_string(v.width) + "x" +
                            std::to_string(v.height) + " JPEG",
                   false;
        if (tjDecompress2(jpeg_.get(), jpeg, bytes, reinterpret_cast<unsigned char*>(data), w, 3 * w, h, TJPF_BGR, 0) !=
            0)
            return error_ = "frame " + std::to_string(s) + ": " + tjGetErrorStr2(jpeg_.get()), false;
        return true;
    }
};

template <class Getter>
auto prop(Getter g) {
    return [g](Reader& r) { return g(r.reader()); };
}

}  // namespace

void bindReader(py::module_& m) {
    using R = salvage::TolerantReader;
    py::class_<Reader>(m, "Reader", "The tolerant reader of one AVI file; avi.open wraps it.")
        .def(py::init<const py::object&>(), py::arg("src"))
        .def_property_readonly("width", prop([](R& r) { return r.video().width; }))
        .def_property_readonly("height", prop([](R& r) { return r.video().height; }))
        .def_property_readonly("frame_count", &Reader::frameCount)
        .def_property_readonly("frame_shape", &Reader::frameShape)
        .def_property_readonly("dtype", &Reader::dtype)
        .def_property_readonly("fps", &Reader::fps)
        .def_property_readonly("bits_per_pixel", prop([](R& r) { return r.video().bits; }))
        .def_property_readonly("fourcc", &Reader::fourcc)
        .def_property_readonly("has_video", prop([](R& r) { return r.hasVideo(); }))
        .def_property_readonly("has_audio", prop([](R& r) { return r.hasAudio(); }))
        .def_property_readonly("sample_rate", prop([](R& r) { return r.audio().sampleRate; }))
        .def_property_readonly("channels", prop([](R& r) { return r.audio().channels; }))
        .def_property_readonly("bits_per_sample", prop([](R& r) { return r.audio().bits; }))
        .def("read_frame", &Reader::readFrame, py::arg("i") = py::none(), py::arg("out") = py::none())
        .def("read_raw", &Reader::readRaw, py::arg("i"))
        .def("read_audio", &Reader::readAudio, py::arg("n") = py::none())
        .def("_frame_table", &Reader::frameTable)
        .def("close", &Reader::close);
}

}  // namespace pyavi
