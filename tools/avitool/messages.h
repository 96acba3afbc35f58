#pragma once
// Exit statuses and the messages every subcommand prints: "avitool: ..." on stderr, with
// credentials taken out of any URL in them.

#include <string>

#include "avi/File.h"

namespace avitool {

// Exit statuses: 0 success, 1 failure (or a file with problems), 2 usage error; a run
// stopped by SIGINT or SIGTERM ends with 128 + the signal number.
const int EXIT_OK = 0;
const int EXIT_FAIL = 1;
const int EXIT_USAGE = 2;

// The text as it may be printed: every URL in it loses its "user:password@".
std::string shown(std::string text);
// Prints "avitool: message" on a fresh line of stderr; returns EXIT_FAIL.
int fail(const std::string& message);
// "error N: message" for the file's error, with what the library's message leaves out.
std::string errorText(const avi::File& f);

}  // namespace avitool
