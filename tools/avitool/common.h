#pragma once
// What the avitool subcommands share: their options, error reporting, progress, file layout.

#include <cstdint>
#include <string>

#include "avi/File.h"

namespace avitool {

struct InfoOptions {
    std::string file;
    bool json = false;
};
struct FramesOptions {
    std::string file, out, range, format;
};
struct AudioOptions {
    std::string file, out;
};
struct CreateOptions {
    std::string out, size, images, raw, audio;
    double fps = 25;
    unsigned bits = 24;
};
struct CheckOptions {
    std::string file;
};

struct RepairOptions {
    std::string in, out, size, fps, audio, fourcc;
    unsigned bits = 0;
    bool fourccGiven = false, overwrite = false;
};

int runInfo(const InfoOptions& o);
int runFrames(const FramesOptions& o);
int runAudio(const AudioOptions& o);
int runCreate(const CreateOptions& o);
int runCheck(const CheckOptions& o);
int runRepair(const RepairOptions& o);

// Prints "avitool: what: error N: message" for the file's last error; returns the failure status.
int fail(const avi::File& f, const std::string& what);
int fail(const std::string& message);

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    Progress(const char* label, std::uint64_t total);
    void update(std::uint64_t done);

private:
    const char* label_;
    std::uint64_t total_;
    bool on_;
    int shown_ = -1;
};

// A reading File that can also describe the file's layout: RIFF segments and the index
// the reader went through.
class Inspector : public avi::File {
public:
    std::uint64_t fileSize = 0;
    unsigned segments = 0;
    std::string indexSource;

    void inspect();
    std::uint32_t headerFrames() const { return streamHeaders[videoStreamNumber % avi::MAX_STREAMS].dwLength; }

private:
    bool header(std::uint64_t pos, char* id, std::uint32_t& size, char* form);
    // Whether a stream list of the hdrl between from and to carries an indx chunk.
    bool hasOpenDmlIndex(std::uint64_t from, std::uint64_t to, int depth = 0);
};

}  // namespace avitool
