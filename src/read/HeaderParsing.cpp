#include <boost/lexical_cast.hpp>
#include <cstdio>
#include <cstring>
#include <limits>

#include "avi/File.h"
#include "format/ChunkId.h"
#include "format/Records.h"

namespace avi {

using namespace errors;
using fcns::char2uint16;
using fcns::char2uint32;
using fcns::getChunkLength;

namespace {

using format::is;

}  // namespace

void File::parseFile() {
    visitedIndexChunks.clear();
    char header[12];
    if (fileHandler->fread(header, 1, 12, fileHandle) != 12) {
        setError(ERR_FREAD_FAILED);
        return;
    }
    if (!is(header, "RIFF")) {
        setError(ERR_RIFF_CHUNK_MISSING);
        return;
    }
    if (is(header + 8, "WAVE")) {
        setError(ERR_WAVE_FILE);
        return;
    }
    if (!is(header + 8, "AVI ")) {
        setError(ERR_AVI_CHUNK_MISSING);
        return;
    }
    declaredFileSize = static_cast<std::uint32_t>(getChunkLength(header + 4) + 8u);

    // Top-level walk. The next chunk is found from this chunk's start in 64 bits, so even a
    // chunk claiming size 0 moves the walk forward by its 8-byte header.
    std::uint64_t chunkStart = static_cast<std::uint64_t>(fileHandler->ftell(fileHandle));
    for (;;) {
        char c[12];
        if (fileHandler->fread(c, 1, 12, fileHandle) != 12) break;
        const std::uint64_t here = chunkStart + 12;
        if (is(c, "LIST")) {
            if (is(c + 8, "hdrl")) hdrlOffset = static_cast<std::uint32_t>(here);
            if (is(c + 8, "movi")) moviBase = here - 4;
        } else if (is(c, "idx1")) {
            idx1Offset = static_cast<std::uint32_t>(here - 8);
            break;
        }
        chunkStart += 8 + static_cast<std::uint64_t>(getChunkLength(c + 4));
        if (chunkStart > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            fileHandler->fseek(fileHandle, static_cast<std::int64_t>(chunkStart), 0) != 0) {
            setError(ERR_SEEK_FAILED);
            return;
        }
    }

    parseMainHeader();
    if (errorCode != ERR_NONE) return;
    if (mainHeader.dwStreams > MAX_STREAMS) {
        setError(ERR_TOO_MANY_STREAMS);
        return;
    }
    parseStreamLists();
    if (errorCode != ERR_NONE) return;
    if (videoIndex.empty() && audioIndex.empty()) parseLegacyIndex();
}

void File::parseMainHeader() {
    fileHandler->fseek(fileHandle, hdrlOffset, 0);
    char c[8];
    if (fileHandler->fread(c, 1, 8, fileHandle) != 8) {
        setError(ERR_FREAD_FAILED);
        return;
    }
    if (!is(c, "avih")) {
        setError(ERR_MAIN_HEADER_MISSING);
        return;
    }
    const std::uint32_t length = getChunkLength(c + 4);
    if (length > MAIN_HEADER_SIZE) {
        setError(ERR_UNSUPPORTED_MAIN_HEADER);
        return;
    }
    // Fields beyond a short header stay 0.
    char d[MAIN_HEADER_SIZE] = {};
    if (fileHandler->fread(d, 1, length, fileHandle) != length) {
        setError(ERR_FREAD_FAILED);
        return;
    }
    streamListOffset = static_cast<std::uint32_t>(fileHandler->ftell(fileHandle));
    MainAVIHeader& h = mainHeader;
    format::decodeMainHeader(d, h);
    mustUseIndex = (h.dwFlags & 0x20u) != 0;
}

void File::parseStreamLists() {
    hasVideoStream = hasAudioStream = false;
    videoStreamNumber = audioStreamNumber = 0;
    std::uint64_t p = streamListOffset;
    for (std::uint32_t k = 0; k < mainHeader.dwStreams; ++k) {
        fileHandler->fseek(fileHandle, static_cast<std::int64_t>(p), 0);
        char c[12];
        if (fileHandler->fread(c, 1, 12, fileHandle) != 12) {
            setError(ERR_FREAD_FAILED);
            return;
        }
        if (!is(c, "LIST") || !is(c + 8, "strl")) {
            setError(ERR_STREAM_LIST_MISSING);
            return;
        }
        const std::uint32_t length = getChunkLength(c + 4);
        if (length < 4) {  // cannot even hold its form type
            setError(ERR_BAD_STRL_LENGTH);
            return;
        }
        const std::uint32_t bytes = length - 4;
        // The list must be in the file before its claimed size sizes an allocation.
        if (!fileExtendsTo(p + 12 + bytes)) {
            setError(ERR_FREAD_FAILED);
            return;
        }
        std::unique_ptr<char[]> list(new char[bytes != 0 ? bytes : 1]);
        if (fileHandler->fread(list.get(), 1, bytes, fileHandle) != bytes) {
            setError(ERR_FREAD_FAILED);
            return;
        }
        // Sub-chunks whose header or data would run past the list are refused rather than
        // read beyond the buffer.
        std::uint64_t cursor = 0;
        while (cursor < bytes) {
            if (cursor + 8 > bytes) {
                setError(ERR_BAD_STRL_LENGTH);
                break;
            }
            char* id = list.get() + cursor;
            const std::uint64_t len = getChunkLength(id + 4);
            char* data = id + 8;
            const std::uint64_t avail = bytes - cursor - 8;
            const bool known = is(id, "strh") || is(id, "strf") || is(id, "indx");
            if (known && len > avail) {
                // An odd-sized last chunk may lack only its pad byte.
                if (len - 1 == avail && (char2uint32(id + 4) & 1u)) {
                } else {
                    setError(ERR_BAD_STRL_LENGTH);
                    break;
                }
            }
            const unsigned long usable = static_cast<unsigned long>(len < avail ? len : avail);
            if (is(id, "strh"))
                parseStreamHeader(k, data, usable);
            else if (is(id, "strf"))
                parseStreamFormat(k, data, usable);
            else if (is(id, "indx"))
                parseStreamIndex(k, data, usable);
            cursor += 8 + len;
        }
        if (hasVideoStream && hasAudioStream) return;
        p += static_cast<std::uint64_t>(length) + 8;
    }
}

void File::parseStreamHeader(unsigned int k, char* d, unsigned long length) {
    // Below 48 bytes the fixed fields are not all there.
    if (length > STREAM_HEADER_SIZE_LONG || length < 48 || k >= MAX_STREAMS) {
        setError(ERR_BAD_STRL_LENGTH);
        return;
    }
    format::decodeStreamHeader(d, length, streamHeaders[k]);
}

void File::parseStreamFormat(unsigned int k, char* data, unsigned long length) {
    if (k >= MAX_STREAMS) return;
    const char* type = streamHeaders[k].fccType;
    if (std::memcmp(type, "auds", 4) == 0 && !hasAudioStream) {
        hasAudioStream = true;
        audioStreamNumber = k;
        std::snprintf(audioChunkId, sizeof audioChunkId, "0%uwb", k);
        parseAudioStreamFormat(data, length);
    } else if (std::memcmp(type, "vids", 4) == 0 && !hasVideoStream) {
        hasVideoStream = true;
        videoStreamNumber = k;
        std::snprintf(videoChunkId, sizeof videoChunkId, "0%udb", k);
        parseVideoStreamFormat(data, length);
    }
}

void File::parseAudioStreamFormat(char* d, unsigned long length) {
    if (length < 16 || length > WAVE_FORMAT_CHUNK_SIZE) {
        setError(ERR_UNSUPPORTED_AUDIO_FORMAT);
        return;
    }
    format::decodeWaveFormat(d, length, waveFormat);
}

void File::parseVideoStreamFormat(char* d, unsigned long length) {
    // A format too short to hold its own header is as unusable as one of another size.
    if (length < BITMAP_HEADER_SIZE) {
        setError(ERR_UNSUPPORTED_BITMAP_HEADER);
        return;
    }
    BitmapInfoHeader& b = bitmapHeader;
    if (char2uint32(d) != BITMAP_HEADER_SIZE) {
        b.biSize = char2uint32(d);
        setError(ERR_UNSUPPORTED_BITMAP_HEADER);
        return;
    }
    format::decodeBitmapHeader(d, b);
    if (length > BITMAP_HEADER_SIZE)
        colormap = format::decodePalette(d + BITMAP_HEADER_SIZE, (length - BITMAP_HEADER_SIZE) / 4);
    if (b.biHeight < 0) {
        // The most negative height has no positive counterpart.
        if (b.biHeight == std::numeric_limits<std::int32_t>::min()) {
            setError(ERR_UNSUPPORTED_BITMAP_HEADER);
            return;
        }
        b.biHeight = -b.biHeight;
        topDown = true;
        mainHeader.dwHeight = static_cast<std::uint32_t>(b.biHeight);
    }
    assignClrmapIf2or4or8bitAVIwithNoClrmap();
}

void File::assignClrmapIf2or4or8bitAVIwithNoClrmap() {
    const unsigned bits = bitmapHeader.biBitCount;
    if (!colormap.empty() || (bits != 2 && bits != 4 && bits != 8)) return;
    colormap.resize(std::size_t(1) << bits);
    for (std::size_t i = 0; i < colormap.size(); ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        colormap[i].rgbBlue = colormap[i].rgbGreen = colormap[i].rgbRed = v;
        colormap[i].rgbReserved = 0;
    }
}

unsigned int File::verifyValidStream(std::string text, unsigned int audioStream, unsigned int videoStream) {
    if (text.size() != 2) return 256;
    unsigned int n;
    try {
        n = boost::lexical_cast<std::uint32_t>(text);
    } catch (const boost::bad_lexical_cast&) {
        return 256;
    }
    return (n == videoStream || n == audioStream) ? n : 256;
}

void File::verifySupport() {
    if (hasAudioStream && waveFormat.wBitsPerSample != 8 && waveFormat.wBitsPerSample != 16)
        setError(ERR_UNSUPPORTED_AUDIO_BITS);
    else if (mustUseIndex)
        setError(ERR_MUST_USE_INDEX);
}

void File::verifyIndex() {
    if (hasVideoStream && videoIndex.empty()) buildLegacyIndex(videoChunkId);
    if (errorCode == ERR_NONE && hasAudioStream && audioIndex.empty()) buildLegacyIndex(audioChunkId);
    // The frames are those the index knows: a header count that no index backs (none found)
    // would send hosts through billions of empty reads.
    if (hasVideoStream) totalFrames() = static_cast<std::uint32_t>(videoIndex.size());
}

void File::errorIfWrongNumFrameForRGB24() {
    if (bitmapHeader.biBitCount != 24 || bitmapHeader.biCompression != 0) return;
    const long double bytes = static_cast<long double>(bitmapHeader.biWidth) * bitmapHeader.biHeight *
                              static_cast<long double>(totalFrames()) * 3.0L;
    if (bytes > static_cast<long double>(declaredFileSize)) setError(ERR_INVALID_FRAME_COUNT);
}

}  // namespace avi
