#pragma once
// What the avitool subcommands share: their options, exit statuses, error reporting,
// progress, signals, output files and the file object they read through.

#include <csignal>
#include <cstdint>
#include <string>

#include "avi/File.h"
#include "core/FileBridge.h"

namespace avitool {

// Exit statuses: 0 success, 1 failure (or a file with problems), 2 usage error; a run
// stopped by SIGINT or SIGTERM ends with 128 + the signal number.
const int EXIT_OK = 0;
const int EXIT_FAIL = 1;
const int EXIT_USAGE = 2;

struct InfoOptions {
    std::string file;
    bool json = false;
    bool strict = false;  // the library's specified read path instead of the tolerant reader
};
struct FramesOptions {
    std::string file, out, range, format;
    bool aviLayout = false;  // raw frames as stored: bottom-up, rows padded to 4 bytes
    bool overwrite = false;
    bool strict = false;
};
struct AudioOptions {
    std::string file, out;
    bool overwrite = false;
    bool strict = false;
};
struct CreateOptions {
    std::string out, size, fps, images, raw, audio;
    unsigned bits = 24;
    double checkpoint = 1;  // seconds between checkpoints; 0: none
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
// "error N: message" for the file's error, with what the library's message leaves out.
std::string errorText(const avi::File& f);
// What the remote plug-in last reported (an HTTP status, a refused connection, a failed
// upload and where its bytes were kept), and forgets it; empty when nothing failed.
std::string remoteFailure();
// The reason a path could not be opened, beyond the library's code; empty when unknown.
std::string whyNotOpened(const std::string& path, bool forWriting);

// ---- paths ----
// A file as the user named it. "file:NAME" and names starting with "/" or "./" are local even
// when they contain ":/" (which the library takes for a remote location).
struct Location {
    std::string typed;  // as typed; printed through shown()
    std::string path;   // what to open
    bool local = true;
};
Location locate(const std::string& typed);
// Opens f on loc: a local name through the local handler, whatever it holds.
bool openFile(avi::internal::FileBridge& f, const Location& loc, const char* mode);
// The handler to read or write loc with (for a URL, one the remote plug-in makes, which
// keeper keeps loaded); null when there is none.
std::shared_ptr<avi::IFileHandler> handlerFor(avi::internal::FileBridge& keeper, const Location& loc);
// For a file that failed: the library's code and message, and what is known beyond them
// (a local path that is missing, a directory or unreadable; a URL's HTTP status, refused
// connection, TLS failure...). Returns EXIT_FAIL.
int fail(const avi::File& f, const Location& loc, bool writing, const std::string& what = std::string());

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
    // temporary file can be made beside it. A recording (visible) is written where people
    // look for it: a new local target under its own name, an overwritten one as
    // TARGET.part until commit; other outputs as a hidden temporary file.
    bool prepare(const std::string& target, bool overwrite, bool visible = false);
    // The local file to write.
    const std::string& path() const { return writePath_; }
    // path() as a local Location (its name may contain ":/").
    Location location() const { return locate("file:" + writePath_); }
    const std::string& target() const { return target_; }
    bool commit();
    void drop();

private:
    std::string target_, writePath_;
    bool temporary_ = false;
    bool remote_ = false;
    bool inPlace_ = false;  // written under the target's own name: commit has nothing to do
    bool overwrite_ = false;
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
