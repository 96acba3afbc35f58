#pragma once

#include <memory>
#include <string>

#include "avi/File.h"

namespace avitest {

// Opens the parts of the object's state that tests inspect, and lets them hand it a
// handler of their own.
class TestFile : public avi::File {
public:
    using File::audioIndex;
    using File::bitmapHeader;  // the benchmark sets up a reader by hand
    using File::colormap;
    using File::File;
    using File::fileHandle;
    using File::fileHandler;
    using File::fileName;
    using File::mainHeader;
    using File::mode;
    using File::paddedAudioChunkSize;
    using File::pluginReference;
    using File::topDown;
    using File::videoFrameSize;
    using File::videoIndex;

    // Opens path through the given handler instead of the local disk: the handler is
    // installed and the file opened as open() would, for reading or writing.
    bool openWith(std::shared_ptr<avi::IFileHandler> handler, const std::u16string& path, const char* openMode) {
        injected = std::move(handler);
        return open(path, openMode);
    }

    // Later opens go through this handler; null restores the normal choice.
    std::shared_ptr<avi::IFileHandler> injected;

protected:
    bool chooseHandler(const std::u16string& path) override {
        if (!injected) return File::chooseHandler(path);
        fileHandler = injected;
        return true;
    }
};

}  // namespace avitest
