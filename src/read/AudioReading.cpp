#include <cstring>

#include "avi/File.h"

namespace avi {

using namespace errors;

void File::readAudio(char* buffer, unsigned long count) {
    if (waveFormat.wFormatTag != 1) {
        setError(ERR_COMPRESSED_AUDIO);
        return;
    }
    const std::uint32_t total = getAudioTotalBytes();
    if (audioBytesRead == total) return;
    if (audioIndex.empty()) {
        setError(ERR_AUDIO_CHUNKS_MISSING);
        return;
    }
    std::uint64_t remaining = count;
    while (remaining > 0) {
        // Chunks that hold fewer bytes than the header announces run out here.
        if (audioChunkNumber >= audioIndex.size()) {
            setError(ERR_AUDIO_CHUNKS_MISSING);
            return;
        }
        const IndexEntry& e = audioIndex[audioChunkNumber];
        std::uint64_t n = e.getSize() > audioChunkOffset ? e.getSize() - audioChunkOffset : 0;
        if (n > remaining) n = remaining;
        // Never deliver past the announced total: that is where the stream ends.
        if (audioBytesRead + n > total) n = total - audioBytesRead;
        char* out = buffer + (count - remaining);
        fileHandler->setFilePos(fileHandle, e.getAbsolutePosition() + audioChunkOffset);
        if (fileHandler->fread(out, 1, n, fileHandle) != n) {
            setError(ERR_AUDIO_CHUNKS_MISSING);
            return;
        }
        remaining -= n;
        audioBytesRead += n;
        audioChunkOffset += n;
        if (audioBytesRead == total) {
            std::memset(buffer + (count - remaining), 0, remaining);
            return;
        }
        if (audioChunkOffset >= e.getSize()) {
            audioChunkOffset = 0;
            ++audioChunkNumber;
        }
    }
}

bool File::isAudioCompressed() const { return waveFormat.wFormatTag != 1; }
bool File::isEndOfAudio() { return audioBytesRead == getAudioTotalBytes(); }
std::uint64_t File::getAudioBytesRead() { return audioBytesRead; }

std::uint32_t File::getAudioTotalBytes() {
    const std::uint32_t length = streamHeaders[audioStreamNumber % MAX_STREAMS].dwLength;
    return length * (waveFormat.wBitsPerSample / 8u) * waveFormat.nChannels;
}

void File::resetAudio() { audioChunkNumber = audioBytesRead = audioChunkOffset = 0; }
std::uint32_t File::getAudioChunkSize() { return paddedAudioChunkSize; }
std::uint32_t File::getAudioSampleRate() { return waveFormat.nSamplesPerSec; }
std::uint16_t File::getAudioBitsPerSample() { return waveFormat.wBitsPerSample; }
std::uint16_t File::getAudioNumberOfChannels() const { return waveFormat.nChannels; }

}  // namespace avi
