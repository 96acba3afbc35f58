// Opening a file tolerantly: the header through the format layer, then the index that the
// data proves (OpenDML, idx1 relative or absolute), then a walk of what no index covers.
#include <algorithm>
#include <cmath>

#include "format/Header.h"
#include "format/Rows.h"
#include "strutil/strutil.h"
#include "tolerant.h"

namespace salvage {

using RiffChunk = avi::format::Chunk;
using detail::u32;

namespace {

// Index entries checked against their chunks, per stream, when an index is chosen: the
// first and the last (an index with its offsets taken from the wrong base misses at least
// one of them). Every chunk is checked again when it is read.
const std::size_t PROOF_SAMPLES = 2;
// idx1 key frame flag.
const std::uint32_t AVIIF_KEYFRAME = 0x10;

// Index entries are made as the frame table or the audio chunk list holds them.
template <class E>
E entry(std::uint64_t offset, std::uint32_t size, bool key);
template <>
FrameEntry entry(std::uint64_t offset, std::uint32_t size, bool key) {
    return {offset, size, key};
}
template <>
AudioChunk entry(std::uint64_t offset, std::uint32_t size, bool) {
    return {offset, size, size};
}
void markKey(FrameEntry& e) { e.key = true; }
void markKey(AudioChunk&) {}

// Entries spread over the whole of an index of n, the first and the last among them.
std::vector<std::size_t> samples(std::size_t n) {
    std::vector<std::size_t> at;
    for (std::size_t k = 0; k < PROOF_SAMPLES && k < n; ++k)
        at.push_back(n <= PROOF_SAMPLES ? k : k * (n - 1) / (PROOF_SAMPLES - 1));
    return at;
}

class Opener {
public:
    explicit Opener(avi::format::Source& in) : in_(in) {}

    // Entries of the stream's OpenDML index (super or standard "indx"); the super index's
    // chunks beyond the end of the file (a cut recording) end it.
    template <class Entry>
    std::vector<Entry> openDml(const std::vector<char>& indx) {
        std::vector<Entry> out;
        if (indx.size() < 24) return out;
        const avi::aviindex_chunk h = avi::format::decodeIndexHeader(indx.data());
        if (h.indexType == 1) {
            standard(indx.data(), indx.size(), out);
            return out;
        }
        if (h.indexType != 0) return out;
        const std::uint64_t n = std::min<std::uint64_t>(h.entriesInUse, (indx.size() - 24) / 16);
        // The chunks' sizes bound their entries: room for all of them is made once.
        std::uint64_t bound = 0;
        for (std::uint64_t i = 0; i < n; ++i) bound += u32(indx.data() + 32 + 16 * i) / 8;
        out.reserve(static_cast<std::size_t>(std::min(bound, in_.size() / 8)));
        for (std::uint64_t i = 0; i < n; ++i) {
            const char* e = indx.data() + 24 + 16 * i;
            const std::uint64_t pos = avi::fcns::char2uint64(e);
            const std::uint32_t size = u32(e + 8);
            if (size < 32 || pos > in_.size() || size > in_.size() - pos) break;
            const std::unique_ptr<char[]> chunk(new char[size]);
            if (!in_.readAll(pos, chunk.get(), size)) break;
            // The chunk's own size bounds its entries too.
            standard(chunk.get() + 8, std::min<std::uint64_t>(size - 8, u32(chunk.get() + 4)), out);
        }
        return out;
    }

    // The whole entries of the idx1 chunk c.
    void idx1(const RiffChunk& c, std::vector<char>& bytes) {
        bytes.resize(static_cast<std::size_t>(c.size / 16 * 16));
        bytes.resize(in_.read(c.data(), bytes.data(), bytes.size()) / 16 * 16);
    }

    // The entries of idx1 for one stream, their offsets taken from base (the chunk's header
    // at base + offset).
    template <class Entry>
    std::vector<Entry> fromIdx1(const std::vector<char>& idx1, unsigned stream, bool video, std::uint64_t base) {
        std::vector<Entry> out;
        out.reserve(idx1.size() / 16);
        bool anyKey = false;
        for (std::size_t i = 0; i + 16 <= idx1.size(); i += 16) {
            const char* e = idx1.data() + i;
            const avi::format::ChunkKind k = avi::format::classify(e);
            if (k.stream != static_cast<int>(stream) || (video ? !k.video() : !k.audio())) continue;
            const bool key = (u32(e + 4) & AVIIF_KEYFRAME) != 0;
            anyKey = anyKey || key;
            out.push_back(entry<Entry>(base + u32(e + 8) + 8, u32(e + 12), key));
        }
        // A writer that sets no flag at all says nothing about key frames.
        if (!anyKey)
            for (Entry& e : out) markKey(e);
        return out;
    }

    // Whether entries spread over the index point at chunks of the stream with their sizes.
    template <class Entry>
    bool proven(const std::vector<Entry>& entries, unsigned stream, bool video) {
        for (const std::size_t i : samples(entries.size())) {
            char h[8];
            const Entry& e = entries[i];
            if (e.offset < 8 || !in_.readAll(e.offset - 8, h, 8) || !chunkMatches(h, stream, video, e.size))
                return false;
        }
        return true;
    }

private:
    avi::format::Source& in_;

    // A standard index's data (index header, base, reserved, entries).
    template <class Entry>
    void standard(const char* d, std::uint64_t length, std::vector<Entry>& out) {
        if (length < 24) return;
        const avi::aviindex_chunk h = avi::format::decodeIndexHeader(d);
        if (h.indexType != 1 || h.indexSubType != 0) return;
        const std::uint64_t base = avi::fcns::char2uint64(d + 12);
        const std::uint64_t n = std::min<std::uint64_t>(h.entriesInUse, (length - 24) / 8);
        const std::size_t at = out.size();
        out.resize(at + n);
        Entry* to = out.data() + at;  // a pointer of its own: stores through it alias nothing
        for (const char* e = d + 24; e < d + 24 + 8 * n; e += 8) {
            const std::uint32_t size = u32(e + 4);
            *to++ = entry<Entry>(base + u32(e), size & 0x7FFFFFFFu, (size & 0x80000000u) == 0);
        }
    }
};

// The end of the last chunk an index names: what lies behind it is walked.
template <class Entry>
std::uint64_t indexedEnd(const std::vector<Entry>& entries) {
    std::uint64_t end = 0;
    for (const Entry& e : entries) end = std::max(end, e.offset + e.size + (e.size & 1u));
    return end;
}

bool intraOnly(const VideoFormat& v) { return !v.compressed() || v.fourcc == "MJPG" || v.fourcc == "mjpg"; }

}  // namespace

std::uint64_t VideoFormat::storedStride() const {
    switch (pixels) {
        case Pixels::Bitmap:
            return avi::format::rowStride(width, bits);
        case Pixels::Gray8:
            return width;
        case Pixels::Gray16:
            return 2ull * width;
        default:
            return 0;
    }
}

namespace {

// How the frames of a video stream with this compression and bit count are laid out.
VideoFormat::Pixels pixelsOf(const std::string& fourcc, unsigned bits) {
    using P = VideoFormat::Pixels;
    if (fourcc.empty()) return P::Bitmap;
    if ((fourcc == "Y800" || fourcc == "Y8  " || fourcc == "GREY") && bits == 8) return P::Gray8;
    return fourcc == "b16g" && bits == 16 ? P::Gray16 : P::Stored;
}

}  // namespace

TolerantReader::TolerantReader() = default;
TolerantReader::~TolerantReader() { close(); }

void TolerantReader::close() {
    impl_.reset();
    hasVideo_ = hasAudio_ = false;
    video_ = VideoFormat();
    audio_ = AudioFormat();
    findings_ = Findings();
    frames_.clear();
    audioChunks_.clear();
    audioBytes_ = 0;
}

bool TolerantReader::open(const std::string& path, const Hints& hints) {
    close();
    auto impl = std::make_unique<Impl>();
    const std::u16string name = strutil::filesystem::codecvt_narrow_string_to_ustring(true)(path);
    std::shared_ptr<avi::IFileHandler> handler = impl->chooser.handlerFor(name);
    if (!handler) {
        error_ = "cannot open " + path + ": the remote handler plug-in is not available";
        return false;
    }
    const bool remote = path.find(":/") != std::string::npos;
    impl_ = std::move(impl);
    return open(std::move(handler), name, hints, remote ? std::string() : path + ".recovery.json");
}

bool TolerantReader::open(std::shared_ptr<avi::IFileHandler> handler, const std::u16string& path, const Hints& hints,
                          const std::string& sideFile) {
    // Keep an Impl made by open(path): its chooser holds the plug-in the handler came from.
    std::unique_ptr<Impl> impl = std::move(impl_);
    close();
    impl_ = impl ? std::move(impl) : std::make_unique<Impl>();
    impl_->handler = std::move(handler);
    impl_->handle = impl_->handler->fopen(path, "rb");
    if (impl_->handle == nullptr) {
        impl_.reset();
        error_ = "cannot open " + strutil::i18n::utf16_to_utf8(path);
        return false;
    }
    impl_->vectored = dynamic_cast<avi::IVectoredIO*>(impl_->handler.get());
    impl_->source = std::make_unique<avi::format::Source>(*impl_->handler, impl_->handle);
    if (impl_->open(*this, hints, sideFile)) return true;
    const std::string why = error_;
    close();
    error_ = why;
    return false;
}

bool TolerantReader::Impl::open(TolerantReader& r, const Hints& hints, const std::string& sideFile) {
    avi::format::Source& in = *source;
    Findings& f = r.findings_;
    VideoFormat& v = r.video_;
    AudioFormat& a = r.audio_;
    f.fileSize = in.size();
    const avi::format::TopLevel l = avi::format::readTopLevel(in);
    if (l.cut) f.cutAt = in.size();
    f.segments = static_cast<unsigned>(l.segments.size());
    if (l.goesOn)
        f.notes.push_back("chunks go on for " + std::to_string(in.size() - l.end) + " bytes after the last RIFF " +
                          "segment (a recording stopped after its last checkpoint)");

    // The streams, from the header list.
    const avi::format::HeaderList header = avi::format::readHeaderList(in, l);
    const avi::format::StreamList* videoList = nullptr;
    const avi::format::StreamList* audioList = nullptr;
    for (std::size_t i = 0; i < header.streams.size(); ++i) {
        const avi::format::StreamList& s = header.streams[i];
        avi::BitmapInfoHeader b;
        avi::WaveFormatEx w;
        if (!videoList && s.video() && s.bitmap(b, &v.palette)) {
            videoList = &s;
            v.stream = static_cast<unsigned>(i);
            v.width = static_cast<std::uint32_t>(std::llabs(std::int64_t{b.biWidth}));
            v.height = static_cast<std::uint32_t>(std::llabs(std::int64_t{b.biHeight}));
            v.topDown = b.biHeight < 0;
            v.bits = b.biBitCount;
            v.compression = b.biCompression;
            v.fourcc = b.biCompression == 0 ? "" : std::string(s.format.data() + 16, 4);
            v.pixels = pixelsOf(v.fourcc, v.bits);
            v.topDown = v.topDown || v.gray();
            v.rateNum = s.header.dwRate;
            v.rateDen = s.header.dwScale;
            v.headerFrames = s.header.dwLength;
            if (v.rateNum == 0 || v.rateDen == 0) {  // the main header's frame period instead
                v.rateNum = 1000000;
                v.rateDen = header.main.dwMicroSecPerFrame;
            }
        } else if (!audioList && s.audio() && s.wave(w)) {
            audioList = &s;
            a.stream = static_cast<unsigned>(i);
            a.formatTag = w.wFormatTag;
            a.channels = w.nChannels;
            a.bits = w.wBitsPerSample;
            a.blockAlign = w.nBlockAlign;
            a.sampleRate = w.nSamplesPerSec;
            a.headerLength = s.header.dwLength;
        }
    }
    r.hasVideo_ = videoList != nullptr;
    r.hasAudio_ = audioList != nullptr;
    if (!r.hasVideo_ && !r.hasAudio_) return openHeaderless(r, hints, sideFile);
    f.params = Source::Header;

    // The index the data proves: it must name chunks of every stream, and entries spread
    // over it must point at their chunks.
    Opener opener(in);
    std::vector<FrameEntry>& videoEntries = r.frames_;
    std::vector<AudioChunk>& audioEntries = r.audioChunks_;
    const auto takes = [&] {
        return (!r.hasVideo_ || (!videoEntries.empty() && opener.proven(videoEntries, v.stream, true))) &&
               (!r.hasAudio_ || (!audioEntries.empty() && opener.proven(audioEntries, a.stream, false)));
    };
    bool indexed = false;
    if (r.hasVideo_ && !videoList->index.empty()) {
        videoEntries = opener.openDml<FrameEntry>(videoList->index);
        if (r.hasAudio_) audioEntries = opener.openDml<AudioChunk>(audioList->index);
        indexed = takes();
        if (indexed) f.index = IndexKind::OpenDML;
        f.indexIgnored = !indexed && !videoEntries.empty();
    }
    if (!indexed && l.hasIdx1) {
        std::vector<char> idx1;
        opener.idx1(l.idx1, idx1);
        // Offsets from the movi list's form type, as the format has them; else file positions.
        std::vector<std::uint64_t> bases{l.hasMovi ? l.movi.data() : 0};
        if (bases[0] != 0) bases.push_back(0);
        for (const std::uint64_t base : bases) {
            if (r.hasVideo_) videoEntries = opener.fromIdx1<FrameEntry>(idx1, v.stream, true, base);
            if (r.hasAudio_) audioEntries = opener.fromIdx1<AudioChunk>(idx1, a.stream, false, base);
            if ((indexed = takes())) {
                f.index = IndexKind::Idx1;
                f.absoluteOffsets = base == 0 && l.hasMovi;
                f.indexIgnored = false;
                break;
            }
            f.indexIgnored = f.indexIgnored || !videoEntries.empty() || !audioEntries.empty();
        }
    }
    if (!indexed) videoEntries.clear(), audioEntries.clear();

    // What no index covers: everything when there is none, else what follows the last chunk
    // each stream's index names when that is not in the last segment (a segment whose index
    // was never written, or was cut), or when chunks follow the last segment (a recording
    // that went on after its last checkpoint).
    const auto reaches = [&](const auto& entries) {
        return !entries.empty() && entries.back().offset + entries.back().size >= l.segments.back();
    };
    const bool covered =
        indexed && !l.goesOn && (!r.hasVideo_ || reaches(videoEntries)) && (!r.hasAudio_ || reaches(audioEntries));
    if (!covered) {
        const std::uint64_t videoEnd = indexedEnd(videoEntries), audioEnd = indexedEnd(audioEntries);
        const std::uint64_t from = !indexed                     ? l.hasMovi ? l.movi.offset : 0
                                   : r.hasAudio_ && r.hasVideo_ ? std::min(videoEnd, audioEnd)
                                                                : std::max(videoEnd, audioEnd);
        Report walked;
        const std::vector<detail::Found> found = detail::walk(in, from, in.size(), walked);
        if (walked.cut) f.cutAt = in.size();
        adopt(r, found, videoEnd, audioEnd);
    }
    return finish(r);
}

bool TolerantReader::Impl::openHeaderless(TolerantReader& r, const Hints& hints, const std::string& sideFile) {
    avi::format::Source& in = *source;
    Report walked;
    const std::vector<detail::Found> found = detail::walk(in, 0, in.size(), walked);
    // A header list the walk met (in a later segment, or behind damage) counts as well.
    detail::applySideFileAndHints(walked.header ? std::string() : sideFile, hints, walked);
    const Params& p = walked.params;
    if (found.empty()) {
        r.error_ = "not an AVI file: no RIFF AVI header and no chunk of a stream";
        return false;
    }
    if (!p.video && !p.audio) {
        std::string why = "the file has no usable header (" + std::to_string(found.size()) + " stream chunks found)";
        for (const std::string& n : walked.notes) why += "; " + n;
        r.error_ = why;
        return false;
    }
    r.findings_.params = p.source;
    r.findings_.notes = walked.notes;
    if (walked.cut) r.findings_.cutAt = in.size();
    // Streams the parameters do not number are the first of their kind met.
    const auto first = [&](bool video, int stream) {
        for (const detail::Found& c : found)
            if (stream < 0 && c.video == video) stream = c.stream;
        return static_cast<unsigned>(std::max(0, stream));
    };
    if ((r.hasVideo_ = p.video)) {
        VideoFormat& v = r.video_;
        v.stream = first(true, p.videoStream);
        v.width = p.width;
        v.height = p.height;
        v.bits = p.bits;
        v.topDown = p.topDown;
        v.fourcc = p.fourcc;
        v.compression = p.fourcc.size() == 4 ? avi::fcns::char2uint32(p.fourcc.data()) : 0;
        v.pixels = pixelsOf(v.fourcc, v.bits);
        v.topDown = v.topDown || v.gray();
        v.rateNum = static_cast<std::uint32_t>(std::lround(p.fps * 1000));
        v.rateDen = 1000;
        v.palette = avi::format::decodePalette(reinterpret_cast<const char*>(p.palette.data()), p.palette.size() / 4);
    }
    if ((r.hasAudio_ = p.audio && p.audioPcm)) {
        AudioFormat& a = r.audio_;
        a.stream = first(false, p.audioStream);
        a.formatTag = 1;
        a.channels = static_cast<std::uint16_t>(p.channels);
        a.bits = static_cast<std::uint16_t>(p.sampleBits);
        a.blockAlign = static_cast<std::uint16_t>(a.frameBytes());
        a.sampleRate = p.sampleRate;
    }
    adopt(r, found, 0, 0);
    return finish(r);
}

void TolerantReader::Impl::adopt(TolerantReader& r, const std::vector<detail::Found>& found, std::uint64_t videoFrom,
                                 std::uint64_t audioFrom) {
    const int videoStream = r.hasVideo_ ? static_cast<int>(r.video_.stream) : -1;
    const int audioStream = r.hasAudio_ ? static_cast<int>(r.audio_.stream) : -1;
    const unsigned align = std::max(1u, r.audio_.frameBytes());
    const bool key = intraOnly(r.video_);
    for (const detail::Found& c : found) {
        if (c.video && c.stream == videoStream && !c.partial && c.offset >= videoFrom) {
            r.frames_.push_back({c.offset, c.size, key});
            ++r.findings_.walkedFrames;
        } else if (!c.video && c.stream == audioStream && c.offset >= audioFrom) {
            const std::uint32_t whole = c.size - c.size % align;
            if (whole > 0) r.audioChunks_.push_back({c.offset, whole, c.stored});
        }
    }
}

bool TolerantReader::Impl::finish(TolerantReader& r) {
    if (r.frames_.empty() && r.audioChunks_.empty()) {
        r.error_ = "no frame and no audio chunk found in the file";
        return false;
    }
    for (const FrameEntry& e : r.frames_) r.findings_.droppedFrames += e.size == 0;
    audioStart.reserve(r.audioChunks_.size());
    for (const AudioChunk& c : r.audioChunks_) {
        audioStart.push_back(r.audioBytes_);
        r.audioBytes_ += c.size;
    }
    audioProven.assign(r.audioChunks_.size(), 0);
    // An 8-bit stream without a palette is grey, as the library reads it.
    std::vector<avi::tagRGBQUAD>& palette = r.video_.palette;
    if (r.video_.bits == 8 && palette.empty())
        for (unsigned i = 0; i < 256; ++i) {
            const auto g = static_cast<std::uint8_t>(i);
            palette.push_back({g, g, g, 0});
        }
    for (std::size_t i = 0; i < palette.size() && i < 256; ++i) {
        bgr[3 * i] = palette[i].rgbBlue;
        bgr[3 * i + 1] = palette[i].rgbGreen;
        bgr[3 * i + 2] = palette[i].rgbRed;
    }
    return true;
}

}  // namespace salvage
