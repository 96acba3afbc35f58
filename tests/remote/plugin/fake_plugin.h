#pragma once

// What a fake plug-in records about the calls of its entry points.
struct FakePluginCalls {
    int creates = 0;
    int destroys = 0;
    void* lastCreated = nullptr;
    void* lastDestroyed = nullptr;
};
