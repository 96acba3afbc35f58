#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "avi/IFileHandler.h"
#include "avi/IndexEntry.h"
#include "avi/errors.h"
#include "avi/export.h"
#include "avi/fcns.h"
#include "avi/records.h"

namespace pluginkit {
class PluginReference;
}

namespace avi {

struct CheckpointState;

// One AVI file, opened either for reading or for writing.
//
// Reading: open(path, "r"), query the properties, read frames by number or in sequence
// (raw, palette indices or RGB24) and audio as one byte stream, close().
// Writing: open(path, "w"), setVideoInfo/setAudioInfo/setColormap, append frames and
// audio, close(); headers and indexes are written at close.
//
// Failures are reported through the error state (getErrorCode/getErrorMsg), never by
// exceptions, except for allocation failures and 32-bit range guards on sizes.
//
// Writer decisions:
//  - The header has room for numSuperIndexEntries standard indexes per stream. A write
//    that would open a RIFF segment beyond that room is refused with ERR_UNSUPPORTED_FILE
//    (nothing is written), so a header never overruns into the data and everything
//    written before stays readable after close.
//  - The 8-bit palette is counted into the reserved header room (getHeaderLength), and at
//    least one super-index slot is always reserved, so the header of a file that was
//    written always fits its room. Configuration calls after the first write (they would
//    move the data start) are refused with ERR_UNSUPPORTED_FILE; setNumSuperIndexEntries
//    on a configured writer moves the data start to the new room at once.
//  - A video frame of odd size is followed by one pad byte, so every chunk starts at an
//    even offset; the chunk header and the indexes carry the unpadded size.
//  - Rates and sizes the header's 32-bit fields cannot hold are refused: a frame rate that
//    is not positive, NaN, or gives a dwRate or frame period beyond 32 bits, a width or
//    height above 2^31 - 1 or a frame of 4 GiB or more (ERR_UNSUPPORTED_FILE); a sample
//    rate below 1 or beyond 32 bits (ERR_UNSUPPORTED_AUDIO_FORMAT). A chunk that could not
//    fit even an empty segment is refused with ERR_UNSUPPORTED_FILE; so are frames or
//    audio written for a stream that was not configured.
//  - A standard index without entries takes its segment's moviBase as base offset. The
//    duration of an audio super-index entry is in sample frames: audioChunkSize x chunks
//    / sample size (chunks when the sample size is 0).
//  - A failed reposition is retried with the other primitive (setFilePos, fseek) before
//    ERR_SEEK_FAILED is raised; the header is never written anywhere but at offset 0.
//  - Checkpoints (enableCheckpoints, off by default) are described beside that call.
//  - convertFrameToBottomUp swaps rows in place; for 16- and 32-bit streams (no fixed
//    frame size) the row is the bitmap row of the width, padded to 4 bytes.
class AVI_API File {
public:
    static const long long INVALID_FRAME_INDEX = -1LL;
    static const std::uint32_t DEFAULT_BITS_PER_PIXEL = 24;

    File();
    virtual ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // ---- lifecycle and modes ----
    bool open(std::u16string path, const char* mode);
    bool open(const char* path, const char* mode);
    bool openToGetInformation(std::u16string path);
    bool openToGetInformation(const char* path);
    void close();
    bool hasVideo() const;
    bool hasAudio() const;
    void byteSwapOnBigEndian(void* data, std::uint32_t elementSize, std::uint32_t count);

    // ---- error state ----
    void setError(errors::error_T code);
    errors::error_T getErrorCode() const;
    const char* getErrorMsg() const;
    void clearError();

    // ---- chunk primitives ----
    void writeChunk(const char* id, std::uint32_t size);
    void writeList(const char* id, std::uint32_t size, const char* type);

    // ---- remote handler ----
    void loadRemoteFileHandler();

    // ---- header and stream parsing ----
    void parseFile();
    void parseMainHeader();
    void parseStreamLists();
    void parseStreamHeader(unsigned int streamNumber, char* data, unsigned long length);
    void parseStreamFormat(unsigned int streamNumber, char* data, unsigned long length);
    void parseAudioStreamFormat(char* data, unsigned long length);
    void parseVideoStreamFormat(char* data, unsigned long length);
    void assignClrmapIf2or4or8bitAVIwithNoClrmap();
    unsigned int verifyValidStream(std::string text, unsigned int audioStream, unsigned int videoStream);
    void verifySupport();
    void verifyIndex();
    void errorIfWrongNumFrameForRGB24();

    // ---- index loading ----
    // Without a length, data must hold every entry its header counts.
    void parseStreamIndex(unsigned long streamNumber, char* data);
    aviindex_chunk parseOpenDMLBaseIndex(char* data);
    void parseOpenDMLSuperIndex(unsigned long streamNumber, const aviindex_chunk& header, char* data);
    void parseOpenDMLStandardIndex(unsigned long streamNumber, const aviindex_chunk& header, char* data);
    // length: bytes available at data (the chunk's data); nothing beyond it is read.
    void parseStreamIndex(unsigned long streamNumber, char* data, unsigned long length);
    void parseOpenDMLSuperIndex(unsigned long streamNumber, const aviindex_chunk& header, char* data,
                                unsigned long length);
    void parseOpenDMLStandardIndex(unsigned long streamNumber, const aviindex_chunk& header, char* data,
                                   unsigned long length);
    void addIndexEntry(unsigned long streamNumber, std::uint32_t chunkId, unsigned int offset, unsigned int size,
                       unsigned long long base);
    void addIndexEntry(unsigned long streamNumber, const char* chunkId, unsigned int offset, unsigned int size,
                       unsigned long long base);
    void addIndexEntry(const char* chunkId, unsigned int offset, unsigned int size, unsigned long long base);
    void addIndexEntry(std::uint32_t chunkId, unsigned int offset, unsigned int size, unsigned long long base);
    void parseLegacyIndex();
    void buildLegacyIndex(const char* chunkId);

    // ---- video reading ----
    // Buffers: the raw reads write the first frame's size (getRawVideoFrameSize(0)) for an
    // uncompressed stream and the frame's own size for a compressed one; the indexed read of
    // an 8-bit stream at most getIndexedVideoFrameSize(). A file that would make a read
    // write more than that (an 8-bit frame larger than its geometry, an index whose first
    // entry is not the frame size) is refused with ERR_UNSUPPORTED_BITMAP_HEADER or
    // ERR_INVALID_INDEX, and the buffer is left alone.
    void readVideoFrame(char* buffer);
    void readVideoFrame(char* buffer, long long frameNumber);
    void readIndexedVideoFrame(char* buffer, long long frameNumber);
    bool isEndOfVideo();
    std::uint64_t getVideoFramesRead() const;
    void resetVideo();
    std::uint32_t getVideoTotalFrames() const;
    bool isVideoCompressed();
    std::uint32_t getRawVideoFrameSize(long long frameNumber);
    std::uint32_t getIndexedVideoFrameSize();
    std::uint32_t getVideoWidth() const;
    std::uint32_t getVideoHeight() const;
    std::uint16_t getVideoBitsPerPixel() const;
    std::string getVideoFourCC();
    std::uint32_t getVideoStreamRate() const;
    std::uint32_t getVideoStreamScale() const;
    double getVideoFrameRate() const;
    std::vector<tagRGBQUAD> getColormap() const;

    // ---- RGB24 conversion ----
    // readRGB24VideoFrame writes at most getRGB24VideoFrameSize() bytes. For a bit count
    // with no RGB24 form (1, or anything outside 2/4/8/16/24/32) that size is 0, and the
    // read is refused with ERR_UNSUPPORTED_BITMAP_HEADER rather than delivering the raw
    // frame into a buffer declared as 0 bytes.
    void readRGB24VideoFrame(char* buffer);
    void readRGB24VideoFrame(char* buffer, long long frameNumber);
    std::uint32_t getRGB24VideoFrameSize();
    std::uint32_t getIndexedPadLength();
    std::uint32_t getRgb24PadLength();
    std::uint32_t getRgb555PadLength();
    void indexedToRgb24(char* buffer);
    void indexedToRgb24WPad(char* buffer);
    void rgb555ToRgb24(char* buffer);
    void rgb555ToRgb24WPad(char* buffer);
    void rgb32ToRgb24(char* buffer);
    void rgb32ToRgb24WPad(char* buffer);

    // ---- audio reading ----
    void readAudio(char* buffer, unsigned long count);
    bool isAudioCompressed() const;
    bool isEndOfAudio();
    std::uint64_t getAudioBytesRead();
    std::uint32_t getAudioTotalBytes();
    void resetAudio();
    std::uint32_t getAudioChunkSize();
    std::uint32_t getAudioSampleRate();
    std::uint16_t getAudioBitsPerSample();
    std::uint16_t getAudioNumberOfChannels() const;

    // ---- writer configuration ----
    void setVideoInfo(unsigned int width, unsigned int height, double framesPerSecond);
    void setVideoInfo(unsigned int width, unsigned int height, double framesPerSecond, const std::string& compression);
    void setVideoInfo(unsigned int width, unsigned int height, double framesPerSecond, const std::string& compression,
                      unsigned int bitsPerPixel);
    void setAudioInfo(double sampleRate, unsigned int bitsPerSample, unsigned int channels, unsigned int chunkSize);
    void setColormap(const std::vector<tagRGBQUAD>& entries);
    void setNumSuperIndexEntries(unsigned long n);
    void initWriter();
    void resetWriter();

    // ---- writing frames and audio (buffers are only read) ----
    void writeVideoFrame(const char* frame);
    void writeVideoFrame(const char* frame, unsigned int size);
    void writeAudio(const char* data);
    void writeMoviEntry(const char* data, unsigned int size, unsigned int paddedSize, const char* chunkId,
                        std::vector<IndexEntry>& index);
    void convertFrameToBottomUp(char* frame);

    // ---- checkpoints (opt-in) ----
    // A recording cut short (a killed process, a power cut, a full disk) then opens in any
    // AVI reader as an ordinary file holding every chunk up to its last checkpoint. Call
    // after open(path, "w") and before the first frame or audio chunk; refused
    // (ERR_UNSUPPORTED_FILE) after it. With intervalSeconds > 0 the writer checkpoints after
    // the first chunk and then after the first chunk that comes at least that long after
    // the last checkpoint; with 0 only when the host calls checkpoint(). close() makes the
    // last one. Without this call the file is written as described above.
    //
    // Layout. Each stream's indx spans its whole reserved room (the entries in use counted
    // in it), so the header never changes shape. The standard indexes are ix## chunks placed
    // in the movi list ahead of the chunks they list, with room for 256 entries, doubling up
    // to 65536 per chunk; each is listed in the super index from the checkpoint after it is
    // made. The first RIFF segment gets its idx1 when it closes; an AVIX segment gets its
    // RIFF and movi headers when it opens. Nothing written is ever moved.
    //
    // Order of a checkpoint, so that a stop between any two writes leaves the previous
    // checkpoint readable: (1) the new entries go into the ix## rooms, beyond the counts in
    // use; (2) the data reaches the device (IDataSync, where the handler has it); (3) the
    // RIFF and movi sizes of the current segment grow to cover the data, which no index
    // names yet; (4) new super-index entries go in beyond the counts in use; (5) each ix##
    // chunk's count in use grows; (6) each super index's count in use grows; (7) the bytes of
    // the header that still differ (its frame counts) are written; (8) the device again. A
    // failed write ends the checkpoint where it is, and the next checkpoint writes the header
    // whole. A chunk whose write failed is taken back (the next one is written over it), so
    // no index ever names bytes that did not reach the file.
    void enableCheckpoints(double intervalSeconds);
    // Makes everything written so far readable; false (error set) when a write failed.
    bool checkpoint();

    // ---- header writing ----
    void writeHeader();
    void writeVideoStreamHeader();
    void writeAudioStreamHeader();
    void writeOpenDMLHeader();
    std::uint32_t getHeaderLength();
    std::uint32_t getMoviLength();
    std::uint32_t getStrlLength(unsigned char present, unsigned int base, unsigned long superEntries);
    std::uint32_t getOpenDMLHeaderLength();
    void populateMainHeader();
    void populateVideoStreamHeader();
    void populateAudioStreamHeader();
    void populateBitmapHeader();
    void populateWaveHeader();
    void copyMainHeader2Buf(char* buffer);
    void copyStreamHeader2Buf(char* buffer, unsigned int streamNumber);
    void copyBitmapHeader2Buf(char* buffer);
    void copyWaveHeader2Buf(char* buffer);

    // ---- RIFF segmentation ----
    bool isFirstRiffChunk();
    std::uint32_t getCurRiffChunkSize();
    bool atRiffBoundary(unsigned long chunkBytes);
    void updateRiffChunk(unsigned long chunkBytes);
    void closeCurRiffChunk();
    void writeAVIXChunk();

    // ---- OpenDML index writing ----
    void populateOpenDMLBaseIndex(aviindex_chunk& chunk, const char* id, unsigned short longs, unsigned char type,
                                  unsigned int entries);
    void copyOpenDMLBaseIndex2Buf(const aviindex_chunk& chunk, char* buffer);
    void writeOpenDMLBaseIndex(const char* id, unsigned short longs, unsigned char type, unsigned int entries);
    void writeOpenDMLSuperIndex(const char* id, const std::vector<SuperIndexEntry>& entries);
    std::uint32_t getOpenDMLSuperIndexLength(unsigned long entries);
    void writeOpenDMLStandardIndex(const char* id, unsigned int streamNumber, const std::vector<IndexEntry>& entries,
                                   std::vector<SuperIndexEntry>& superEntries);
    std::uint32_t getOpenDMLStandardIndexLength(unsigned long entries);

    // ---- legacy index writing ----
    void writeLegacyIndex();
    std::uint32_t getLegacyIndexLength();

protected:
    // Members in the order of the object's documented state.
    std::string errorMsg;
    errors::error_T errorCode = errors::ERR_NONE;
    std::string fileName;
    void* fileHandle = nullptr;
    std::uint32_t mode = 0;
    std::uint64_t moviBase = 0;
    std::uint32_t hdrlOffset = 0;
    std::uint32_t idx1Offset = 0;
    std::uint32_t streamListOffset = 0;
    std::uint32_t videoFrameSize = 0;
    std::uint32_t audioChunkSize = 0;
    std::uint32_t paddedAudioChunkSize = 0;
    std::uint64_t declaredFileSize = 0;
    bool hasAudioStream = false;
    bool hasVideoStream = false;
    bool topDown = false;
    std::unique_ptr<char[]> rowBuffer;
    MainAVIHeader mainHeader;
    AVIStreamHeader streamHeaders[MAX_STREAMS];
    WaveFormatEx waveFormat;
    BitmapInfoHeader bitmapHeader;
    bool mustUseIndex = false;
    std::uint32_t audioStreamNumber = 0;
    std::uint32_t videoStreamNumber = 0;
    char audioChunkId[5] = {0, 0, 0, 0, 0};
    char videoChunkId[5] = {0, 0, 0, 0, 0};
    std::vector<IndexEntry> audioIndex;
    std::vector<IndexEntry> videoIndex;
    std::vector<SuperIndexEntry> videoSuperIndex;
    std::vector<SuperIndexEntry> audioSuperIndex;
    std::uint64_t framesRead = 0;
    std::uint64_t audioChunkNumber = 0;
    std::uint64_t audioBytesRead = 0;
    std::uint64_t audioChunkOffset = 0;
    std::uint32_t firstRiffEnd = 0;
    std::uint32_t firstRiffVideoChunks = 0;
    std::uint32_t firstRiffAudioChunks = 0;
    std::uint32_t firstRiffMoviBytes = 0;
    std::uint32_t avixVideoChunks = 0;
    std::uint32_t segmentMoviBytes = 0;
    std::uint64_t numSuperIndexEntries = 4096;
    std::vector<tagRGBQUAD> colormap;
    std::shared_ptr<IFileHandler> fileHandler;
    std::unique_ptr<pluginkit::PluginReference> pluginReference;
    // The checkpointing writer's state; null when checkpoints are off.
    std::unique_ptr<CheckpointState> checkpoints;

    // Bytes held by rowBuffer (one frame row); 0 when none is allocated.
    std::uint32_t rowBufferSize = 0;

    // Makes fileHandler the right handler for path; false when none could be had.
    // Virtual so that a host or a test can route opens through a handler of its own.
    virtual bool chooseHandler(const std::u16string& path);
    // True when the open file holds a byte at offset end - 1, found by a one-byte read;
    // the file position is left where it was. Sizes taken from a file are tested with it
    // before they size an allocation.
    bool fileExtendsTo(std::uint64_t end);

    // totalFrames is the main header's total-frames field.
    std::uint32_t& totalFrames() { return mainHeader.dwTotalFrames; }
    std::uint32_t totalFrames() const { return mainHeader.dwTotalFrames; }

    // ---- reading internals (src/read) ----
    // Super indexes may nest; deeper chains than this are refused as invalid.
    static const unsigned MAX_INDEX_NESTING = 4;
    void parseStreamIndexAt(unsigned long streamNumber, char* data, unsigned long length, unsigned depth);
    // Files n standard index entries of 8 bytes at entries; stops at the first error.
    void addStandardIndexEntries(unsigned long streamNumber, std::uint32_t chunkId, const char* entries,
                                 std::uint64_t n, std::uint64_t base);
    // File offsets of the index chunks a super index led to during this open: one chunk
    // named twice (a loop, or a hostile fan-out) is refused.
    std::unordered_set<std::uint64_t> visitedIndexChunks;
    // Nesting depth of the super index being parsed.
    unsigned indexDepth = 0;
    // Whether the current frame geometry lets the RGB24 conversions run inside a buffer of
    // getRGB24VideoFrameSize() bytes.
    bool conversionFits();

    // ---- writing internals (src/write) ----
    // Appends one chunk: size is what its header declares, dataBytes are taken from data
    // and padBytes zero bytes follow them.
    void appendChunk(const char* data, std::uint32_t size, std::uint32_t dataBytes, std::uint32_t padBytes,
                     const char* chunkId, std::vector<IndexEntry>& index);
    // Whether the header has room to list one more RIFF segment than those closed so far
    // plus the one being written.
    bool roomForAnotherSegment() const;
    // Moves the file behind the room reserved for the header.
    void positionAtDataStart();
    // Palette bytes the header carries: 4 per entry for 8-bit video, else 0.
    std::uint32_t paletteBytes() const;
    // Whether a file open for writing has data chunks already (the layout is then fixed).
    bool writerHasData();
    // Closes the current segment and opens the next when a payload of chunkBytes no longer
    // fits; false (ERR_UNSUPPORTED_FILE set, nothing written) when the header has no room
    // to list another segment.
    bool switchSegmentIfFull(std::uint64_t chunkBytes);
    // Moves to an absolute position, by setFilePos or else fseek; ERR_SEEK_FAILED when
    // neither works.
    bool seekTo(std::uint64_t position);
    // Writes a chunk header and its data (and pad bytes) at the current position, in one
    // vectored write where the handler offers it; false when the data failed. A failed
    // header sets the error and the data still goes out (headerWritten tells).
    bool writeChunkWithData(const char* id, std::uint32_t size, const char* data, std::uint32_t dataBytes,
                            std::uint32_t padBytes, bool& headerWritten);

    // ---- checkpoints (src/write/Checkpoints.cpp) ----
    // Opens the next segment and an index room when a chunk of chunkBytes for stream s
    // (0 video, 1 audio) needs them; false (error set, nothing written) when it cannot go in.
    bool prepareCheckpointedChunk(std::uint64_t chunkBytes, int s);
    bool openIndexRoom(int s);
    // The checkpoint that ends a segment; the first one then gets its idx1.
    bool closeSegmentCheckpointed();
    // Runs steps; whether they set an error, with the error state as it was when they did not.
    template <typename Steps>
    bool succeeds(Steps steps);
    void checkpointIfDue();
    // The header writeHeader would write, and the writing of the bytes that changed since the
    // last checkpoint.
    std::vector<char> renderHeader();
    bool writeHeaderChanges();
    // The indx chunk of stream s with its whole reserved room.
    void writeSuperIndexRoom(int s);
    bool writeAt(std::uint64_t position, const void* data, std::size_t bytes);
    // Entries the indx of a stream with used segments lists in its strl size.
    std::uint32_t superIndexSlots(std::size_t used) const;
    bool syncData();
};

}  // namespace avi
