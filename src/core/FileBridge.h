#pragma once
// Internal to this product, never installed: the one class through which its own parts
// (salvage, avitool, the Python module, the tests) reach what avi::File keeps beyond its
// public operations. Hosts use avi::File itself.

#include <memory>
#include <string>
#include <vector>

#include "avi/File.h"

namespace avi::internal {

class FileBridge : public File {
public:
    // Later opens go through handler instead of the one the path would choose (a local name
    // containing ":/", bytes in memory, a Python file object); null restores the choice.
    void useHandler(std::shared_ptr<IFileHandler> handler) { injected_ = std::move(handler); }
    // The handler the library would open path with (for a URL, one made by the remote
    // plug-in, which stays loaded while this object lives); null when there is none.
    std::shared_ptr<IFileHandler> handlerFor(const std::u16string& path) {
        return File::chooseHandler(path) ? fileHandler : nullptr;
    }
    IFileHandler* handler() const { return fileHandler.get(); }
    void* handle() const { return fileHandle; }
    // Whether a file is open, also after an open that failed once its header was found.
    bool isOpen() const { return fileHandle != nullptr && fileHandler != nullptr; }

    // ---- what reading found ----
    const std::vector<IndexEntry>& videoEntries() const { return videoIndex; }
    const std::vector<IndexEntry>& audioEntries() const { return audioIndex; }
    std::uint32_t videoStream() const { return videoStreamNumber; }
    std::uint32_t audioStream() const { return audioStreamNumber; }
    // The size every uncompressed frame is read with (the first frame's).
    std::uint32_t frameBytes() const { return videoFrameSize; }
    const AVIStreamHeader& streamHeader(std::uint32_t stream) const { return streamHeaders[stream % MAX_STREAMS]; }
    const WaveFormatEx& wave() const { return waveFormat; }
    const std::vector<tagRGBQUAD>& palette() const { return colormap; }

    // ---- writing ----
    // A last audio chunk shorter than the others, so that the audio keeps its true length.
    void writeAudioTail(const char* data, std::uint32_t size) {
        writeMoviEntry(data, size, size + (size & 1u), audioChunkId, audioIndex);
    }

protected:
    bool chooseHandler(const std::u16string& path) override {
        if (!injected_) return File::chooseHandler(path);
        fileHandler = injected_;
        return true;
    }

private:
    std::shared_ptr<IFileHandler> injected_;
};

}  // namespace avi::internal
