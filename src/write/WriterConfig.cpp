#include <boost/numeric/conversion/cast.hpp>
#include <cmath>
#include <cstdio>

#include "avi/File.h"
#include "format/Rows.h"
#include "write/CheckpointState.h"

namespace avi {

using namespace errors;

namespace {

// A double that converts to an unsigned 32-bit value without undefined behaviour.
bool fitsUint32(double v) { return std::isfinite(v) && v >= 0.0 && v < 4294967296.0; }

const std::uint64_t MAX_DIMENSION = 0x7FFFFFFF;  // biWidth and biHeight are signed 32-bit

}  // namespace

std::uint32_t File::paletteBytes() const {
    return bitmapHeader.biBitCount == 8 && hasVideoStream ? static_cast<std::uint32_t>(4 * colormap.size()) : 0;
}

std::uint32_t File::getHeaderLength() {
    // At least one slot, so that the one segment every file has is always listed.
    std::uint64_t n = boost::numeric_cast<std::uint32_t>(numSuperIndexEntries);
    if (n == 0) n = 1;
    const std::uint64_t a = hasAudioStream ? 1 : 0, v = hasVideoStream ? 1 : 0;
    return boost::numeric_cast<std::uint32_t>((16 * n + 236) * a + (16 * n + 148 + paletteBytes()) * v + 108);
}

bool File::writerHasData() {
    return mode == 1 && fileHandle != nullptr && (!videoIndex.empty() || !audioIndex.empty() || !isFirstRiffChunk());
}

void File::positionAtDataStart() {
    const std::uint32_t h = getHeaderLength();
    moviBase = static_cast<std::uint64_t>(h) + 28;
    if (fileHandler && fileHandle != nullptr) seekTo(static_cast<std::uint64_t>(h) + 32);
}

void File::initWriter() { positionAtDataStart(); }

void File::setVideoInfo(unsigned int width, unsigned int height, double fps) {
    setVideoInfo(width, height, fps, "", DEFAULT_BITS_PER_PIXEL);
}

void File::setVideoInfo(unsigned int width, unsigned int height, double fps, const std::string& compression) {
    setVideoInfo(width, height, fps, compression, DEFAULT_BITS_PER_PIXEL);
}

void File::setVideoInfo(unsigned int width, unsigned int height, double fps, const std::string& compression,
                        unsigned int bits) {
    // Reconfiguring would move the data start under chunks already written.
    if (writerHasData()) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    videoStreamNumber = hasAudioStream ? 1 : 0;
    mainHeader.dwWidth = width;
    mainHeader.dwHeight = height;
    bitmapHeader.biWidth = static_cast<std::int32_t>(width);
    bitmapHeader.biHeight = static_cast<std::int32_t>(height);
    std::uint64_t frameSize = videoFrameSize;
    switch (bits) {
        case 2:
        case 4:
        case 16:
        case 32:
            frameSize = 0;
            break;
        case 8:
            frameSize = format::paddedRow(width) * static_cast<std::uint64_t>(height);
            break;
        case 24:
            if (mode == 1) frameSize = format::paddedRow(3ULL * width) * height;
            break;
        default:
            setError(ERR_INVALID_BITS_PER_PIXEL);
            return;
    }
    // Geometry and rates that the header's 32-bit fields cannot describe are refused before
    // any of them is stored.
    if (width > MAX_DIMENSION || height > MAX_DIMENSION || frameSize > 0xFFFFFFFFULL || !(fps > 0.0) ||
        !fitsUint32(1000000.0 / fps) || !fitsUint32(fps * 1000000.0)) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    bitmapHeader.biBitCount = static_cast<std::uint16_t>(bits);
    videoFrameSize = static_cast<std::uint32_t>(frameSize);
    mainHeader.dwMicroSecPerFrame = static_cast<std::uint32_t>(1000000.0 / fps);
    streamHeaders[videoStreamNumber].dwRate = static_cast<std::uint32_t>(fps * 1000000.0);
    hasVideoStream = true;
    if (videoIndex.capacity() < 1000) videoIndex.reserve(1000);
    bitmapHeader.biCompression = 0;
    if (compression.size() == 4) {
        bitmapHeader.biCompression = fcns::char2uint32(compression.data());
        std::snprintf(videoChunkId, sizeof videoChunkId, "0%udc", videoStreamNumber);
    } else {
        std::snprintf(videoChunkId, sizeof videoChunkId, "0%udb", videoStreamNumber);
    }
    positionAtDataStart();
}

void File::setAudioInfo(double sampleRate, unsigned int bitsPerSample, unsigned int channels, unsigned int chunkSize) {
    if (writerHasData()) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    // Below 1 sample per second the scale (2^32 - 1) / rate no longer fits 32 bits; above
    // 2^32 the rate itself does not.
    if (!(sampleRate >= 1.0) || !fitsUint32(sampleRate + 0.5)) {
        setError(ERR_UNSUPPORTED_AUDIO_FORMAT);
        return;
    }
    audioStreamNumber = hasVideoStream ? 1 : 0;
    hasAudioStream = true;
    audioChunkSize = chunkSize;
    paddedAudioChunkSize = chunkSize + (chunkSize % 2);
    std::snprintf(audioChunkId, sizeof audioChunkId, "0%uwb", audioStreamNumber);
    if (audioIndex.capacity() < 1000) audioIndex.reserve(1000);
    waveFormat.wBitsPerSample = static_cast<std::uint16_t>(bitsPerSample);
    waveFormat.nChannels = static_cast<std::uint16_t>(channels);
    waveFormat.nSamplesPerSec = static_cast<std::uint32_t>(sampleRate + 0.5);
    AVIStreamHeader& h = streamHeaders[audioStreamNumber];
    h.dwSampleSize = (channels * bitsPerSample) >> 3;
    h.dwScale = static_cast<std::uint32_t>(4294967295.0 / sampleRate);
    h.dwRate = static_cast<std::uint32_t>(static_cast<double>(h.dwScale) * sampleRate);
    if (!hasVideoStream) mainHeader.dwMicroSecPerFrame = static_cast<std::uint32_t>(1000000.0 / sampleRate);
    positionAtDataStart();
}

void File::setColormap(const std::vector<tagRGBQUAD>& entries) {
    if (mode != 1) {
        setError(ERR_COLORMAP_DURING_READ);
        return;
    }
    if (!colormap.empty()) {
        setError(ERR_COLORMAP_NOT_EMPTY);
        return;
    }
    if (entries.size() > 256) {
        setError(ERR_COLORMAP_TOO_LARGE);
        return;
    }
    // The palette takes header room, which moves the data: too late once data is written.
    if (writerHasData()) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    if (&entries != &colormap) colormap = entries;
    if (hasVideoStream || hasAudioStream) positionAtDataStart();
}

void File::setNumSuperIndexEntries(unsigned long n) {
    if (writerHasData()) {
        setError(ERR_UNSUPPORTED_FILE);
        return;
    }
    numSuperIndexEntries = n;
    // Keep the data start in step with the header room, whatever the order of the calls
    // (an N too large for 32 bits is reported by the next configuration call).
    if (mode == 1 && (hasVideoStream || hasAudioStream) && n <= 0xFFFFFFFFUL) positionAtDataStart();
}

void File::resetWriter() {
    videoIndex.clear();
    audioIndex.clear();
    videoSuperIndex.clear();
    audioSuperIndex.clear();
    moviBase = 0;
    firstRiffEnd = firstRiffVideoChunks = firstRiffAudioChunks = firstRiffMoviBytes = 0;
    avixVideoChunks = segmentMoviBytes = 0;
    colormap.clear();
    checkpoints.reset();
}

}  // namespace avi
