// How the library loads its remote plug-in. This program runs from a tree of its own
// (<tree>/bin, with copies of the libraries in <tree>/lib), so the installation root the
// library finds is that tree and <tree>/bin/darm64 holds the fake plug-in of the case.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "TestFile.h"
#include "avi/RemotePlugin.h"
#include "fake_plugin.h"
#include "strutil/strutil.h"

using avitest::TestFile;

namespace {

const char* const URL = "http://127.0.0.1:1/clip.avi";

std::string installRoot() { return strutil::i18n::to_string(strutil::filesystem::get_install_path()); }

// The counters of the fake plug-in the library has loaded (null when it loaded none).
FakePluginCalls* calls() {
    using namespace avi::remote_plugin;
    void* lib = ::dlopen((installRoot() + "/" + FOLDER + "/" + FILE_NAME).c_str(), RTLD_NOW | RTLD_NOLOAD);
    auto get = lib ? reinterpret_cast<FakePluginCalls* (*)()>(::dlsym(lib, "fakePluginCalls")) : nullptr;
    if (lib) ::dlclose(lib);
    return get ? get() : nullptr;
}

// Opens path for writing and closes it; with a local path, the local handler stays behind.
void writeNothing(TestFile& f, const std::string& path) {
    ASSERT_TRUE(f.open(path.c_str(), "w")) << path;
    f.close();
    std::remove(path.c_str());
}
const std::string LOCAL = ::testing::TempDir() + "avi_plugin_" + std::to_string(::getpid()) + ".avi";

}  // namespace

// A remote open that cannot get a handler fails and leaves none behind. Without a plug-in, or
// with one that lacks the destroy entry point (it is never asked for a handler), the message
// names the URL; a plug-in whose create returns none is asked once per open, and no error is set.
void expectRemoteOpensFail(int creates, const std::string& message) {
    TestFile f;
    for (int i = 1; i <= 2; ++i) {
        SCOPED_TRACE(i);
        writeNothing(f, LOCAL);  // a local handler from before is not kept either
        EXPECT_FALSE(f.open(URL, i == 1 ? "w" : "r"));
        EXPECT_EQ(f.getErrorMsg(), message);
        EXPECT_FALSE(f.fileHandler);
        EXPECT_EQ(f.fileHandle, nullptr);
        EXPECT_EQ(calls() ? calls()->creates : -1, creates < 0 ? -1 : creates * i);
    }
}
const std::string UNABLE = std::string("Unable to open AVI file ('") + URL + "')";
TEST(NoPlugin, RemoteOpensFailNamingTheUrl) {
    ASSERT_NE(installRoot().find("faketree-"), std::string::npos) << installRoot();
    expectRemoteOpensFail(-1, UNABLE);
}
TEST(CreateOnly, OpenFailsAndCreateIsNeverCalled) { expectRemoteOpensFail(0, UNABLE); }
TEST(NullCreate, OpenFailsWithoutAnErrorAndCreateRunsOncePerOpen) { expectRemoteOpensFail(1, ""); }

TEST(Counting, EachRemoteOpenMakesANewHandlerAndReleasesTheOldOne) {
    FakePluginCalls* c = nullptr;
    {
        TestFile f;
        writeNothing(f, URL);
        ASSERT_NE(c = calls(), nullptr);
        void* first = c->lastCreated;
        EXPECT_EQ(f.fileHandler.get(), first);
        EXPECT_EQ(c->destroys, 0) << "the handler survives close";
        writeNothing(f, URL);
        EXPECT_EQ(c->creates, 2);
        EXPECT_EQ(c->destroys, 1);
        EXPECT_EQ(c->lastDestroyed, first);
        // A local open releases the remote handler but keeps the plug-in reference.
        writeNothing(f, LOCAL);
        EXPECT_EQ(c->destroys, 2);
        EXPECT_NE(c->lastDestroyed, first);
        EXPECT_TRUE(f.pluginReference);
    }
    EXPECT_EQ(c->destroys, 2) << "the local handler was the last one";
    {
        TestFile f;
        writeNothing(f, URL);
    }
    EXPECT_EQ(c->creates, 3);
    EXPECT_EQ(c->destroys, 3) << "destroying the object destroys its remote handler";
    EXPECT_EQ(c->lastDestroyed, c->lastCreated);
}
