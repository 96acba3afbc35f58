#pragma once
// What the avitool subcommands share: their options, exit statuses, error reporting,
// progress, signals, output files and the file object they read through.

#include <csignal>
#include <cstdint>
#include <string>

#include "avi/File.h"

namespace avitool {

// Exit statuses: 0 success, 1 failure (or a file with problems), 2 usage error; a run
// stopped by SIGINT or SIGTERM ends with 128 + the signal number.
const int EXIT_OK = 0;
const int EXIT_FAIL = 1;
const int EXIT_USAGE = 2;

struct InfoOptions {
    std::string file;
    bool json = false;
};
struct FramesOptions {
    std::string file, out, range, format;
    bool aviLayout = false;  // raw frames as stored: bottom-up, rows padded to 4 bytes
    bool overwrite = false;
};
struct AudioOptions {
    std::string file, out;
    bool overwrite = false;
};
struct CreateOptions {
    std::string out, size, fps, images, raw, audio;
    unsigned bits = 24;
    bool aviLayout = false;
    bool overwrite = false;
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

// ---- messages ----
// The path as it may be printed: a URL loses its "user:password@".
std::string shown(const std::string& path);
// Prints "avitool: message" on a fresh line of stderr; returns EXIT_FAIL.
int fail(const std::string& message);
// For a file that failed: the library's code and message, and what is known beyond them
// (a local path that is missing, a directory or unreadable; a URL's HTTP status, refused
// connection, TLS failure...). Returns EXIT_FAIL.
int fail(const avi::File& f, const std::string& path, const std::string& what = std::string());
// "error N: message" for the file's error, with what the library's message leaves out.
std::string errorText(const avi::File& f);
// What the remote plug-in last reported (an HTTP status, a refused connection, a failed
// upload and where its bytes were kept), and forgets it; empty when nothing failed.
std::string remoteFailure();
// The reason a path could not be opened, beyond the library's code; empty when unknown.
std::string whyNotOpened(const std::string& path, bool forWriting);

// ---- paths ----
// "file:NAME" and names starting with "/" or "./" are local even when they contain ":/"
// (which the library takes for a remote location). Returns the path to open and whether
// it is local.
std::string localPath(const std::string& path, bool& local);

// A File that opens local paths with the local handler whatever their name holds.
class ToolFile : public avi::File {
public:
    // Opens path as the user typed it (see localPath).
    bool openPath(const std::string& path, const char* openMode);
    bool remote() const { return remote_; }
    const std::string& typedPath() const { return typed_; }
    bool writing() const { return writing_; }
    // Whether the file stayed open after a failed open (its header was found but not accepted).
    bool handleOpen() const { return fileHandle != nullptr && fileHandler != nullptr; }
    // The handler the library would open path with (for a URL, one made by the remote
    // plug-in); null when there is none. It may be used while this object lives.
    std::shared_ptr<avi::IFileHandler> handlerFor(const std::string& path);

protected:
    bool chooseHandler(const std::u16string& path) override;

private:
    bool forceLocal_ = false;
    bool remote_ = false;
    bool writing_ = false;
    std::string typed_;
};

// A reading File that can also describe the file's layout: RIFF segments, the index the
// reader went through, and every stream list of the header, read or not.
class Inspector : public ToolFile {
public:
    struct StreamList {
        std::string type, handler;  // fccType, fccHandler
        std::uint16_t formatTag = 0, channels = 0, bits = 0;
        std::uint32_t sampleRate = 0;
    };
    std::uint64_t fileSize = 0;
    unsigned segments = 0;
    std::string indexSource;
    std::vector<StreamList> lists;

    void inspect();
    std::uint32_t headerFrames() const { return streamHeaders[videoStreamNumber % avi::MAX_STREAMS].dwLength; }
    std::uint32_t videoStreamIndex() const { return videoStreamNumber; }
    std::uint32_t audioStreamIndex() const { return audioStreamNumber; }
    std::uint16_t audioFormatTag() const;
    // Bytes the index gives frame i (0 when there is no such entry).
    std::uint32_t indexedSize(std::uint32_t i) const { return i < videoIndex.size() ? videoIndex[i].getSize() : 0; }
    // Whether the video's geometry agrees with the frame size the library reads, so that
    // buffers sized from the getters hold every row walked; the reason otherwise.
    bool checkGeometry(std::string& error);

private:
    bool header(std::uint64_t pos, char* id, std::uint32_t& size, char* form);
    // Walks the hdrl between from and to: notes every strl and whether one carries indx.
    bool walkHeader(std::uint64_t from, std::uint64_t to, int depth = 0);
};

// ---- signals ----
// SIGINT and SIGTERM set stopSignal (no SA_RESTART, so a blocking read returns early);
// the loops look at it, finish what they write and return stopStatus().
extern volatile std::sig_atomic_t stopSignal;
void installSignalHandlers();
inline bool stopped() { return stopSignal != 0; }
inline int stopStatus() { return 128 + static_cast<int>(stopSignal); }

// ---- outputs ----
// An output written to a local temporary file and put in place by commit(); dropped
// (removed) otherwise, so a run that fails leaves the target as it was. A local target's
// temporary file lies beside it and is renamed onto it; an existing target is refused
// unless overwrite. A URL's lies in TMPDIR and is uploaded through the remote plug-in; a
// refused upload leaves the bytes on disk (commit says where).
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { drop(); }

    // False, with the message printed, when the target exists (without overwrite) or no
    // temporary file can be made beside it.
    bool prepare(const std::string& target, bool overwrite);
    // The local file to write.
    const std::string& path() const { return writePath_; }
    // path() in the form ToolFile::openPath takes (a local name may contain ":/").
    std::string openable() const { return "file:" + writePath_; }
    const std::string& target() const { return target_; }
    bool commit();
    void drop();

private:
    std::string target_, writePath_;
    bool temporary_ = false;
    bool remote_ = false;
};

// ---- numbers ----
// A frame rate as a fraction: "30000/1001", "25", "29.97" (as 2997/100).
bool parseRate(const std::string& text, std::uint32_t& num, std::uint32_t& den);
bool parseSize(const std::string& text, std::uint32_t& w, std::uint32_t& h);

// A progress bar on stderr, drawn only when stderr is a terminal, fitted to its width,
// with a rate and the time left. Messages printed through fail() start on a fresh line.
class Progress {
public:
    Progress(const char* label, std::uint64_t total);
    ~Progress();
    void update(std::uint64_t done);
    static void setQuiet(bool quiet);
    // Ends a drawn bar's line, so that the next message starts on a fresh line.
    static void breakLine();

private:
    const char* label_;
    std::uint64_t total_;
    bool on_;
    double start_;
    double lastDraw_ = -1;
};

}  // namespace avitool
