// How the library loads its remote plug-in. This program runs from a tree of its own
// (<tree>/bin, with copies of the libraries in <tree>/lib), so the installation root the
// library finds is that tree and <tree>/bin/darm64 holds the fake plug-in of the case.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestFile.h"
#include "fake_plugin.h"
#include "pluginkit/pluginkit.h"
#include "strutil/strutil.h"

using avitest::TestFile;

namespace {

const char* const URL = "http://127.0.0.1:1/clip.avi";

std::string installRoot() { return strutil::i18n::to_string(strutil::filesystem::get_install_path()); }

// The counters of the fake plug-in the library has loaded (null when it loaded none).
FakePluginCalls* calls() {
    const std::string path = installRoot() + "/bin/darm64/libvxshared_multimedia_utils_remote_file_handler.dylib";
    void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return nullptr;
    auto get = reinterpret_cast<FakePluginCalls* (*)()>(::dlsym(lib, "fakePluginCalls"));
    ::dlclose(lib);
    return get != nullptr ? get() : nullptr;
}

std::string localPath() {
    return ::testing::TempDir() + "avi_plugin_" + std::to_string(::getpid()) + ".avi";
}

}  // namespace

TEST(NoPlugin, RemoteOpensFailNamingTheUrl) {
    ASSERT_NE(installRoot().find("faketree-"), std::string::npos) << installRoot();
    for (const char* mode : {"r", "w"}) {
        TestFile f;
        const std::string local = localPath();
        ASSERT_TRUE(f.open(local.c_str(), "w"));  // leaves a local handler behind
        f.close();
        std::remove(local.c_str());
        EXPECT_FALSE(f.open(URL, mode)) << mode;
        EXPECT_EQ(f.getErrorCode(), avi::errors::ERR_OPEN_FAILED) << mode;
        EXPECT_EQ(std::string(f.getErrorMsg()), std::string("Unable to open AVI file ('") + URL + "')") << mode;
        EXPECT_FALSE(f.fileHandler) << mode;
        EXPECT_EQ(f.fileHandle, nullptr) << mode;
    }
}

TEST(CreateOnly, OpenFailsAndCreateIsNeverCalled) {
    TestFile f;
    EXPECT_FALSE(f.open(URL, "r"));
    EXPECT_EQ(f.getErrorCode(), avi::errors::ERR_OPEN_FAILED);
    EXPECT_FALSE(f.fileHandler);
    FakePluginCalls* c = calls();
    ASSERT_NE(c, nullptr) << "the plug-in was not loaded";
    EXPECT_EQ(c->creates, 0);
}

TEST(NullCreate, OpenFailsWithoutAnErrorAndCreateRunsOncePerOpen) {
    TestFile f;
    for (int i = 1; i <= 2; ++i) {
        EXPECT_FALSE(f.open(URL, i == 1 ? "w" : "r"));
        EXPECT_EQ(f.getErrorCode(), avi::errors::ERR_NONE);
        EXPECT_STREQ(f.getErrorMsg(), "");
        EXPECT_FALSE(f.fileHandler);
        FakePluginCalls* c = calls();
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->creates, i);
    }
}

TEST(Counting, EachRemoteOpenMakesANewHandlerAndReleasesTheOldOne) {
    FakePluginCalls* c = nullptr;
    {
        TestFile f;
        ASSERT_TRUE(f.open(URL, "w"));
        c = calls();
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->creates, 1);
        void* first = c->lastCreated;
        EXPECT_EQ(f.fileHandler.get(), first);
        f.close();
        EXPECT_EQ(c->destroys, 0);  // the handler survives close

        ASSERT_TRUE(f.open(URL, "w"));
        EXPECT_EQ(c->creates, 2);
        EXPECT_EQ(c->destroys, 1);
        EXPECT_EQ(c->lastDestroyed, first);
        void* second = c->lastCreated;
        EXPECT_NE(second, first);
        f.close();

        // A local open releases the remote handler but keeps the plug-in reference.
        const std::string local = localPath();
        ASSERT_TRUE(f.open(local.c_str(), "w"));
        EXPECT_EQ(c->destroys, 2);
        EXPECT_EQ(c->lastDestroyed, second);
        EXPECT_TRUE(f.pluginReference);
        f.close();
        std::remove(local.c_str());
    }
    EXPECT_EQ(c->destroys, 2);  // the local handler was the last one

    {
        TestFile f;
        ASSERT_TRUE(f.open(URL, "w"));
        EXPECT_EQ(c->creates, 3);
    }
    EXPECT_EQ(c->destroys, 3);  // destroying the object destroys its remote handler
    EXPECT_EQ(c->lastDestroyed, c->lastCreated);
}
