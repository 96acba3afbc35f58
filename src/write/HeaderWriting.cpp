#include <cstring>

#include "avi/File.h"
#include "write/CheckpointState.h"

namespace avi {

using namespace errors;
using fcns::putUint16;
using fcns::putUint32;

namespace {

void putFourCC(char* p, const char* text) {
    // Text of up to four characters, NUL-filled.
    std::memset(p, 0, 4);
    for (int i = 0; i < 4 && text[i] != '\0'; ++i) p[i] = text[i];
}

void setText(char* field, const char* text) {
    std::memset(field, 0, 5);
    std::memcpy(field, text, 4);
}

}  // namespace

std::uint32_t File::getMoviLength() {
    // A checkpointing writer's first movi list ends where its last checkpoint found the data.
    if (checkpoints) return static_cast<std::uint32_t>(checkpoints->firstMoviEnd - (getHeaderLength() + 28ULL));
    const std::uint32_t v = hasVideoStream ? 1 : 0, a = hasAudioStream ? 1 : 0;
    return firstRiffMoviBytes + 4 + v * (8 * firstRiffVideoChunks + 32) + a * (8 * firstRiffAudioChunks + 32);
}

std::uint32_t File::superIndexSlots(std::size_t used) const {
    // A checkpointing writer's indx always spans its whole room, so the header keeps its shape.
    if (!checkpoints) return static_cast<std::uint32_t>(used);
    return static_cast<std::uint32_t>(numSuperIndexEntries == 0 ? 1 : numSuperIndexEntries);
}

std::uint32_t File::getStrlLength(unsigned char present, unsigned int base, unsigned long superEntries) {
    return present * static_cast<std::uint32_t>(base + 16 * superEntries + 32);
}

std::uint32_t File::getOpenDMLHeaderLength() { return 16; }

void File::populateMainHeader() {
    MainAVIHeader& h = mainHeader;
    h.dwMaxBytesPerSec = 0;
    h.dwPaddingGranularity = 0;
    h.dwFlags = 0x810;
    h.dwTotalFrames = hasVideoStream ? firstRiffVideoChunks + avixVideoChunks : firstRiffAudioChunks;
    h.dwInitialFrames = 0;
    h.dwStreams = (hasVideoStream ? 1u : 0u) + (hasAudioStream ? 1u : 0u);
    h.dwSuggestedBufferSize = hasVideoStream ? videoFrameSize : paddedAudioChunkSize;
    for (auto& r : h.dwReserved) r = 0;
}

void File::populateVideoStreamHeader() {
    AVIStreamHeader& h = streamHeaders[videoStreamNumber % MAX_STREAMS];
    setText(h.fccType, "vids");
    setText(h.fccHandler, "DIB ");
    h.dwFlags = h.dwPriorityLanguage = h.dwInitialFrames = 0;
    h.dwScale = 1000000;
    h.dwStart = 0;
    h.dwLength = firstRiffVideoChunks + avixVideoChunks;
    h.dwSuggestedBufferSize = videoFrameSize;
    h.dwQuality = 0;
    h.dwSampleSize = 0;
    for (auto& r : h.rcFrame) r = 0;
}

void File::populateAudioStreamHeader() {
    AVIStreamHeader& h = streamHeaders[audioStreamNumber % MAX_STREAMS];
    setText(h.fccType, "auds");
    setText(h.fccHandler, "    ");
    h.dwFlags = h.dwPriorityLanguage = h.dwInitialFrames = 0;
    h.dwStart = 0;
    h.dwLength = h.dwSampleSize != 0 ? (audioChunkSize * firstRiffAudioChunks) / h.dwSampleSize : 0;
    h.dwSuggestedBufferSize = audioChunkSize;
    h.dwQuality = 0;
    for (auto& r : h.rcFrame) r = 0;
}

void File::populateBitmapHeader() {
    BitmapInfoHeader& b = bitmapHeader;
    b.biSize = BITMAP_HEADER_SIZE;
    b.biWidth = static_cast<std::int32_t>(mainHeader.dwWidth);
    b.biHeight = static_cast<std::int32_t>(mainHeader.dwHeight);
    b.biPlanes = 1;
    b.biSizeImage = videoFrameSize;
    b.biXPelsPerMeter = b.biYPelsPerMeter = 0;
    b.biClrUsed = static_cast<std::uint32_t>(colormap.size());
    b.biClrImportant = 0;
}

void File::populateWaveHeader() {
    const std::uint16_t block = static_cast<std::uint16_t>(streamHeaders[audioStreamNumber % MAX_STREAMS].dwSampleSize);
    waveFormat.wFormatTag = 1;
    waveFormat.nAvgBytesPerSec = waveFormat.nSamplesPerSec * block;
    waveFormat.nBlockAlign = block;
    waveFormat.cbSize = 0;
}

void File::copyMainHeader2Buf(char* b) {
    const MainAVIHeader& h = mainHeader;
    const std::uint32_t v[14] = {
        h.dwMicroSecPerFrame, h.dwMaxBytesPerSec, h.dwPaddingGranularity,  h.dwFlags,      h.dwTotalFrames,
        h.dwInitialFrames,    h.dwStreams,        h.dwSuggestedBufferSize, h.dwWidth,      h.dwHeight,
        h.dwReserved[0],      h.dwReserved[1],    h.dwReserved[2],         h.dwReserved[3]};
    for (int i = 0; i < 14; ++i) putUint32(b + 4 * i, v[i]);
}

void File::copyStreamHeader2Buf(char* b, unsigned int k) {
    const AVIStreamHeader& h = streamHeaders[k % MAX_STREAMS];
    putFourCC(b, h.fccType);
    putFourCC(b + 4, h.fccHandler);
    const std::uint32_t v[10] = {h.dwFlags, h.dwPriorityLanguage, h.dwInitialFrames,       h.dwScale,   h.dwRate,
                                 h.dwStart, h.dwLength,           h.dwSuggestedBufferSize, h.dwQuality, h.dwSampleSize};
    for (int i = 0; i < 10; ++i) putUint32(b + 8 + 4 * i, v[i]);
    for (int i = 0; i < 4; ++i) putUint16(b + 48 + 2 * i, static_cast<std::uint16_t>(h.rcFrame[i]));
}

void File::copyBitmapHeader2Buf(char* b) {
    const BitmapInfoHeader& h = bitmapHeader;
    putUint32(b, h.biSize);
    putUint32(b + 4, static_cast<std::uint32_t>(h.biWidth));
    putUint32(b + 8, static_cast<std::uint32_t>(h.biHeight));
    putUint16(b + 12, h.biPlanes);
    putUint16(b + 14, h.biBitCount);
    putUint32(b + 16, h.biCompression);
    putUint32(b + 20, h.biSizeImage);
    putUint32(b + 24, h.biXPelsPerMeter);
    putUint32(b + 28, h.biYPelsPerMeter);
    putUint32(b + 32, h.biClrUsed);
    putUint32(b + 36, h.biClrImportant);
}

void File::copyWaveHeader2Buf(char* b) {
    const WaveFormatEx& w = waveFormat;
    putUint16(b, w.wFormatTag);
    putUint16(b + 2, w.nChannels);
    putUint32(b + 4, w.nSamplesPerSec);
    putUint32(b + 8, w.nAvgBytesPerSec);
    putUint16(b + 12, w.nBlockAlign);
    putUint16(b + 14, w.wBitsPerSample);
    putUint16(b + 16, w.cbSize);
}

void File::writeVideoStreamHeader() {
    const bool indexed = bitmapHeader.biBitCount == 8;
    if (indexed && colormap.empty()) {
        setError(ERR_COLORMAP_REQUIRED);
        return;
    }
    const std::uint32_t pal = paletteBytes();
    const std::uint32_t s = superIndexSlots(videoSuperIndex.size());
    writeList("LIST", (hasVideoStream ? 1u : 0u) * (16 * s + 148 + pal), "strl");

    char b[STREAM_HEADER_SIZE];
    writeChunk("strh", STREAM_HEADER_SIZE);
    populateVideoStreamHeader();
    copyStreamHeader2Buf(b, videoStreamNumber);
    if (fileHandler->fwrite(b, 1, STREAM_HEADER_SIZE, fileHandle) != STREAM_HEADER_SIZE) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    writeChunk("strf", BITMAP_HEADER_SIZE + pal);
    populateBitmapHeader();
    copyBitmapHeader2Buf(b);
    if (fileHandler->fwrite(b, 1, BITMAP_HEADER_SIZE, fileHandle) != BITMAP_HEADER_SIZE) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    if (indexed) {
        std::vector<char> p(pal);
        for (std::size_t i = 0; i < colormap.size(); ++i) {
            p[4 * i] = static_cast<char>(colormap[i].rgbBlue);
            p[4 * i + 1] = static_cast<char>(colormap[i].rgbGreen);
            p[4 * i + 2] = static_cast<char>(colormap[i].rgbRed);
            p[4 * i + 3] = static_cast<char>(colormap[i].rgbReserved);
        }
        if (fileHandler->fwrite(p.data(), 1, pal, fileHandle) != pal) {
            setError(ERR_FWRITE_FAILED);
            return;
        }
    }
    if (checkpoints)
        writeSuperIndexRoom(0);
    else
        writeOpenDMLSuperIndex(videoChunkId, videoSuperIndex);
}

void File::writeAudioStreamHeader() {
    const std::uint32_t s = superIndexSlots(audioSuperIndex.size());
    writeList("LIST", (hasAudioStream ? 1u : 0u) * (16 * s + 236), "strl");
    char b[WAVE_FORMAT_CHUNK_SIZE] = {};
    writeChunk("strh", STREAM_HEADER_SIZE);
    populateAudioStreamHeader();
    copyStreamHeader2Buf(b, audioStreamNumber);
    if (fileHandler->fwrite(b, 1, STREAM_HEADER_SIZE, fileHandle) != STREAM_HEADER_SIZE) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    writeChunk("strf", WAVE_FORMAT_CHUNK_SIZE);
    std::memset(b, 0, sizeof b);
    populateWaveHeader();
    copyWaveHeader2Buf(b);
    if (fileHandler->fwrite(b, 1, WAVE_FORMAT_CHUNK_SIZE, fileHandle) != WAVE_FORMAT_CHUNK_SIZE) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    if (checkpoints)
        writeSuperIndexRoom(1);
    else
        writeOpenDMLSuperIndex(audioChunkId, audioSuperIndex);
}

void File::writeOpenDMLHeader() {
    writeList("LIST", getOpenDMLHeaderLength(), "odml");
    writeChunk("dmlh", 4);
    char b[4];
    putUint32(b, hasVideoStream ? firstRiffVideoChunks + avixVideoChunks : 0);
    if (fileHandler->fwrite(b, 1, 4, fileHandle) != 4) setError(ERR_FWRITE_FAILED);
}

void File::writeHeader() {
    // Written anywhere but at 0 the header would land on the data.
    if (fileHandler->fseek(fileHandle, 0, 0) != 0 && !seekTo(0)) return;
    const std::uint32_t room = getHeaderLength();
    writeList("RIFF", firstRiffEnd - 8, "AVI ");
    writeList("LIST", room, "hdrl");
    writeChunk("avih", MAIN_HEADER_SIZE);
    char b[MAIN_HEADER_SIZE];
    populateMainHeader();
    copyMainHeader2Buf(b);
    if (fileHandler->fwrite(b, 1, MAIN_HEADER_SIZE, fileHandle) != MAIN_HEADER_SIZE) {
        setError(ERR_FWRITE_FAILED);
        return;
    }
    const bool videoFirst = !hasAudioStream || (hasVideoStream && videoStreamNumber == 0);
    if (videoFirst) {
        if (hasVideoStream) writeVideoStreamHeader();
        if (hasAudioStream) writeAudioStreamHeader();
    } else {
        writeAudioStreamHeader();
        if (hasVideoStream) writeVideoStreamHeader();
    }
    writeOpenDMLHeader();
    const std::int64_t p = fileHandler->ftell(fileHandle);
    // The filler covers what the reserved room has left; its bytes are not written. The room
    // left is 16k + 8 bytes with one stream and 16k with two (the palette is part of the room),
    // so it is never 1 to 7 bytes, too small for the JUNK header.
    if (static_cast<std::int64_t>(room) > p - 20) {
        const std::uint32_t junk = static_cast<std::uint32_t>(static_cast<std::int64_t>(room) + 12 - p);
        writeChunk("JUNK", junk);
        // To the end of the room by its absolute offset, right even after a failed JUNK header.
        if (!seekTo(static_cast<std::uint64_t>(room) + 20)) return;
    }
    writeList("LIST", getMoviLength(), "movi");
}

}  // namespace avi
