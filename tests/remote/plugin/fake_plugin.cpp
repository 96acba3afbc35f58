// Stand-ins for the remote plug-in, one per way loading can go. Built with:
//   FAKE_WITH_DESTROY  0: only the create entry point is exported
//   FAKE_CREATE_NULL   1: create returns no handler
// Every build exports fakePluginCalls() so a test can see what the library called.
#include "fake_plugin.h"

#include "avi/IFileHandler.h"

#define FAKE_API extern "C" __attribute__((visibility("default")))

namespace {

FakePluginCalls calls;

// Opens anything; writes vanish, reads find nothing.
class FakeHandler : public avi::IFileHandler {
public:
    void* fopen(std::u16string, const char*) override { return this; }
    std::size_t fread(void*, std::size_t, std::size_t, void*) override { return 0; }
    std::size_t fwrite(const void*, std::size_t, std::size_t count, void*) override { return count; }
    int fseek(void*, std::int64_t, int) override { return 0; }
    std::int64_t ftell(void*) override { return 0; }
    int fclose(void*) override { return 0; }
    std::uint64_t getFilePos(void*) override { return 0; }
    int setFilePos(void*, std::uint64_t) override { return 0; }
};

}  // namespace

FAKE_API FakePluginCalls* fakePluginCalls() { return &calls; }

FAKE_API avi::IFileHandler* createRemoteFileHandlerInstance() {
    ++calls.creates;
#if FAKE_CREATE_NULL
    return nullptr;
#else
    avi::IFileHandler* h = new FakeHandler();
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
