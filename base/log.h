// One-line log output on standard output, printf-style, with the level tag
// and its colour: errors red, warnings yellow, debug green, info uncoloured.
// Each line is flushed at once, so lines from several threads and from the
// programs' own output keep their order when standard output is a pipe.
#pragma once

#include <cstdio>

#define ZORVIK_LOG_ERROR(fmt, ...) \
  (std::printf("\033[31m[ERROR] " fmt "\033[0m\n", ##__VA_ARGS__), std::fflush(stdout))
#define ZORVIK_LOG_WARN(fmt, ...) \
  (std::printf("\033[33m[WARN] " fmt "\033[0m\n", ##__VA_ARGS__), std::fflush(stdout))
#define ZORVIK_LOG_DEBUG(fmt, ...) \
  (std::printf("\033[32m[DEBUG] " fmt "\033[0m\n", ##__VA_ARGS__), std::fflush(stdout))
#define ZORVIK_LOG_INFO(fmt, ...) (std::printf("[INFO] " fmt "\n", ##__VA_ARGS__), std::fflush(stdout))
