#pragma once
// Where a file is: a local name or a URL, opened through the local handler or the remote
// plug-in, and what is known beyond the library's code when it cannot be opened.

#include <memory>
#include <string>

#include "avi/File.h"
#include "core/FileBridge.h"

namespace avitool {

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

// What the remote plug-in last reported (an HTTP status, a refused connection, a failed
// upload and where its bytes were kept), and forgets it; empty when nothing failed.
std::string remoteFailure();
// An entry point of the remote plug-in (avi/RemotePlugin.h), which stays loaded; null when
// there is none. The plug-in is opened by the same path the library loads it from, so both
// share one copy of it.
void* remoteEntry(const char* name);
// The reason a path could not be opened, beyond the library's code; empty when unknown.
std::string whyNotOpened(const std::string& path, bool forWriting);
// For a file that failed: the library's code and message, and what is known beyond them
// (a local path that is missing, a directory or unreadable; a URL's HTTP status, refused
// connection, TLS failure...). Returns EXIT_FAIL.
int fail(const avi::File& f, const Location& loc, bool writing, const std::string& what = std::string());

}  // namespace avitool
