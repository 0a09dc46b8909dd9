// One-line log output on standard output, printf-style, with the level tag
// and its colour: errors red, warnings yellow, debug green, info uncoloured.
// Each line is flushed at once, so lines from several threads and from the
// programs' own output keep their order when standard output is a pipe.
#pragma once

#include <cstdio>

namespace zorvik_utils {

// Receives the text of every error line (without its tag and colour), in
// the thread that printed it, right after the line is printed. One observer
// per process, e.g. the program's result record; null for none.
using ErrorObserver = void (*)(const char* text);
void SetErrorObserver(ErrorObserver observer);

// Prints one error line and hands its text to the observer.
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zorvik_utils

#define ZORVIK_LOG_ERROR(fmt, ...) zorvik_utils::LogError(fmt, ##__VA_ARGS__)
#define ZORVIK_LOG_WARN(fmt, ...) \
  (std::printf("\033[33m[WARN] " fmt "\033[0m\n", ##__VA_ARGS__), std::fflush(stdout))
#define ZORVIK_LOG_DEBUG(fmt, ...) \
  (std::printf("\033[32m[DEBUG] " fmt "\033[0m\n", ##__VA_ARGS__), std::fflush(stdout))
#define ZORVIK_LOG_INFO(fmt, ...) (std::printf("[INFO] " fmt "\n", ##__VA_ARGS__), std::fflush(stdout))
