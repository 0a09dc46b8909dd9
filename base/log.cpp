#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <string>

namespace zorvik_utils {

namespace {
std::atomic<ErrorObserver> error_observer{nullptr};
}  // namespace

void SetErrorObserver(ErrorObserver observer) { error_observer.store(observer); }

void LogError(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string large;
  const char* text = small;
  if (length >= static_cast<int>(sizeof small)) {
    large.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(&large[0], large.size(), format, again);
    text = large.c_str();
  }
  va_end(again);
  if (length < 0) text = format;
  std::printf("\033[31m[ERROR] %s\033[0m\n", text);
  std::fflush(stdout);
  const ErrorObserver observer = error_observer.load();
  if (observer != nullptr) observer(text);
}

}  // namespace zorvik_utils
