#pragma once
// The remote handler plug-in's contract: where the library looks for it, below the
// installation root, and the names and types of its entry points. A host that wants the
// plug-in's own description of a failure looks FAILURE_ENTRY up in the same file, and one that
// gives up a write without uploading it ABANDON_ENTRY.

#include <cstddef>

#include "avi/IFileHandler.h"

namespace avi::remote_plugin {

inline constexpr const char* FOLDER = "bin/darm64";
inline constexpr const char* FILE_NAME = "libvxshared_multimedia_utils_remote_file_handler.dylib";

inline constexpr const char* CREATE_ENTRY = "createRemoteFileHandlerInstance";
inline constexpr const char* DESTROY_ENTRY = "destroyRemoteFileHandlerInstance";
inline constexpr const char* FAILURE_ENTRY = "takeRemoteFileHandlerFailure";
inline constexpr const char* ABANDON_ENTRY = "abandonRemoteFileHandlerWrite";

using CreateFn = IFileHandler* (*)();
using DestroyFn = void (*)(IFileHandler*);
// Copies the last failure's description, NUL-terminated and cut to size, and forgets it;
// returns its full length.
using TakeFailureFn = std::size_t (*)(char* buffer, std::size_t size);
// Closes a handle the plug-in's handler opened for writing, without uploading it.
using AbandonFn = void (*)(IFileHandler* handler, void* handle);

}  // namespace avi::remote_plugin
