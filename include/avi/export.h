#pragma once

// The library is built with hidden visibility; only what is marked here is exported.
#define AVI_API __attribute__((visibility("default")))
