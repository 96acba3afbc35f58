#pragma once
// A reader for AVI files as they are found in the world, beside the library's reader (which
// reads files exactly as the format describes them).
//
// It opens any file salvage's walker understands and gives its frames, stored chunks and
// audio by number, with a frame table that says what is really there:
//  - the index the data proves: OpenDML ix## indexes (their size bit 31 marks frames that
//    are not key frames), else idx1 with offsets relative to the movi list or absolute file
//    positions (GStreamer's avimux), decided by checking entries spread over the whole
//    index against the chunks they point at, else a walk of the chunks (##db and ##dc,
//    inside LIST rec groups too). Chunks behind the last indexed one (a segment cut before
//    its index was written) are walked as well.
//  - cut files: every complete chunk, and the whole sample frames of a cut audio chunk;
//  - dropped frames (empty video chunks): kept in the table with size 0, so that frame n is
//    always shown at n / fps; a picture read of a dropped frame gives the frame before it.
//  - files whose header was never written (a recording killed before it closed): stream
//    parameters from the side file PATH.recovery.json or from hints.
// Opening never reads the whole file; it reads what the library's open reads, and a few
// chunk headers.
//
// Every byte handed out comes from a chunk whose header carries the stream's id and the size
// the table gives; each read checks that, in the same read as the data where the handler
// can (avi::IVectoredIO). A read that cannot prove its chunk fails, and error() names the
// frame and the reason; the buffer's contents are then undefined.
//
// Pixels converted to BGR are what ffmpeg and OpenCV give: RGB555 widened with its high bits
// repeated (31 becomes 255), 32-bit frames without their fourth byte, 8-bit frames through
// the palette. Not thread-safe: one thread at a time per object.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "avi/IFileHandler.h"
#include "avi/records.h"
#include "salvage/salvage.h"

namespace salvage {

// Where the frames were found.
enum class IndexKind { OpenDML, Idx1, Walk };

struct FrameEntry {
    std::uint64_t offset = 0;  // file offset of the stored bytes (behind the chunk header)
    std::uint32_t size = 0;    // stored bytes; 0 for a dropped frame
    bool key = true;           // a key frame: so marked by the index, or every frame of an intra-only stream
};

struct AudioChunk {
    std::uint64_t offset = 0;  // file offset of the data
    std::uint32_t size = 0;    // bytes delivered: whole sample frames
    std::uint32_t stored = 0;  // as the chunk header says (more than size for a chunk the file ends in)
};

struct VideoFormat {
    // What the stored frames hold: bitmap rows (8-bit palette, RGB555, 24- and 32-bit, padded
    // to 4 bytes), packed grey rows top row first (FOURCC Y800, Y8 or GREY; b16g: 16-bit
    // big-endian, ffmpeg's gray16be), or frames that are read only as stored.
    enum class Pixels { Bitmap, Gray8, Gray16, Stored };
    Pixels pixels = Pixels::Bitmap;
    unsigned stream = 0;  // stream number (the digits of its chunk ids)
    std::uint32_t width = 0, height = 0;
    unsigned bits = 0;
    bool topDown = false;                    // rows stored top row first (negative height, grey rows)
    std::uint32_t compression = 0;           // 0 for a bitmap, else a FOURCC
    std::string fourcc;                      // the compression as text; "" for a bitmap
    std::vector<avi::tagRGBQUAD> palette;    // of 8-bit video: the file's, else a grey ramp
    std::uint32_t rateNum = 0, rateDen = 0;  // frames per second = rateNum / rateDen
    std::uint32_t headerFrames = 0;          // what the stream header announces
    bool compressed() const { return pixels == Pixels::Stored; }
    bool gray() const { return pixels == Pixels::Gray8 || pixels == Pixels::Gray16; }
    // Bytes per stored row and per stored frame; 0 for frames read only as stored.
    std::uint64_t storedStride() const;
    std::uint64_t storedFrameBytes() const { return storedStride() * height; }
};

struct AudioFormat {
    unsigned stream = 0;
    std::uint16_t formatTag = 0;  // 1: PCM
    std::uint16_t channels = 0, bits = 0, blockAlign = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t headerLength = 0;  // dwLength of the stream header
    // Bytes of one sample frame (all channels).
    unsigned frameBytes() const { return channels * ((bits + 7u) / 8u); }
};

// What opening found, for reports.
struct Findings {
    std::uint64_t fileSize = 0;
    unsigned segments = 0;  // RIFF "AVI " and "AVIX" segments
    IndexKind index = IndexKind::Walk;
    bool absoluteOffsets = false;    // idx1 offsets are file positions, not relative to movi
    bool indexIgnored = false;       // an index was there, but its entries did not point at their chunks
    std::uint64_t walkedFrames = 0;  // frames found by walking the chunks rather than through an index
    std::uint64_t droppedFrames = 0;
    std::uint64_t cutAt = 0;  // the file ends inside a chunk or a list: its size; 0 when whole
    Source params = Source::None;
    std::vector<std::string> notes;
};

// What a picture read delivers.
struct Picture {
    // As stored (bitmap or grey rows), B, G, R bytes, or one grey value per pixel (8 bits, or
    // 16 bits in the host's byte order) for grey video.
    enum Format { Stored, BGR24, Gray };
    Format format = BGR24;
    bool topDown = true;     // rows top row first
    std::size_t stride = 0;  // bytes from one row to the next; 0: packed (no padding). Bytes between
                             // rows are the stored padding when the stride is the stored one, else left as they were.
};

class TolerantReader {
public:
    TolerantReader();
    ~TolerantReader();
    TolerantReader(const TolerantReader&) = delete;
    TolerantReader& operator=(const TolerantReader&) = delete;

    // Opens a local path or a URL (through the library's remote plug-in). The side file
    // path + ".recovery.json" and the hints stand in for a missing header.
    bool open(const std::string& path, const Hints& hints = Hints());
    // Opens through a handler of the caller's (in memory, a file object); sideFile may be "".
    bool open(std::shared_ptr<avi::IFileHandler> handler, const std::u16string& path, const Hints& hints,
              const std::string& sideFile);
    void close();
    // Why the last call failed.
    const std::string& error() const { return error_; }

    bool hasVideo() const { return hasVideo_; }
    bool hasAudio() const { return hasAudio_; }
    const VideoFormat& video() const { return video_; }
    const AudioFormat& audio() const { return audio_; }
    const Findings& findings() const { return findings_; }

    // One entry per frame, in presentation order.
    const std::vector<FrameEntry>& frames() const { return frames_; }
    // Seconds at which frame n is shown: n / fps.
    double frameTime(std::uint64_t n) const;
    // The frame whose picture stands for frame n: n itself, or for a dropped frame the last
    // one before it that holds a picture; -1 when there is none.
    std::int64_t shownFrame(std::uint64_t n) const;

    // The stored bytes of frame n (frames()[n].size of them) into out. A dropped frame has
    // none: that is an error here.
    bool readStored(std::uint64_t n, char* out);
    // Bytes a picture read writes with these settings; 0 when the video has no such form
    // (frames read only as stored, BGR24 of a bitmap depth other than 8, 16, 24 or 32, grey
    // values of colour video).
    std::size_t pictureBytes(const Picture& as) const;
    // The picture shown at frame n, laid out as asked.
    bool readPicture(std::uint64_t n, char* out, const Picture& as);

    // Audio as one byte stream: the data of every audio chunk, in file order.
    const std::vector<AudioChunk>& audioChunks() const { return audioChunks_; }
    std::uint64_t audioBytes() const { return audioBytes_; }
    // Up to n bytes from stream position at; returns the bytes read (fewer only at the end,
    // 0 with error() set when a chunk cannot be proven).
    std::size_t readAudio(std::uint64_t at, char* out, std::size_t n);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
    bool hasVideo_ = false, hasAudio_ = false;
    VideoFormat video_;
    AudioFormat audio_;
    Findings findings_;
    std::vector<FrameEntry> frames_;
    std::vector<AudioChunk> audioChunks_;
    std::uint64_t audioBytes_ = 0;
};

}  // namespace salvage
