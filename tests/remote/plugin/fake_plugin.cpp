// Stand-ins for the remote plug-in, one per way loading can go. Built with:
//   FAKE_WITH_DESTROY  0: only the create entry point is exported
//   FAKE_CREATE_NULL   1: create returns no handler
// Every build exports fakePluginCalls() so a test can see what the library called.
#include "fake_plugin.h"

#include "MemoryFileHandler.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))

static FakePluginCalls calls;

FAKE_API FakePluginCalls* fakePluginCalls() { return &calls; }

FAKE_API avi::IFileHandler* createRemoteFileHandlerInstance() {
    ++calls.creates;
#if FAKE_CREATE_NULL
    return nullptr;
#else
    avi::IFileHandler* h = new avitest::MemoryFileHandler();
    calls.lastCreated = h;
    return h;
#endif
}

#if FAKE_WITH_DESTROY
FAKE_API void destroyRemoteFileHandlerInstance(avi::IFileHandler* h) {
    ++calls.destroys;
    calls.lastDestroyed = h;
    delete h;
}
#endif
