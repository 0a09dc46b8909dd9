// Helpers shared by the controller tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ctltest {

using Bytes = std::vector<uint8_t>;

inline Bytes Slice(const uint8_t* p, size_t n) { return Bytes(p, p + n); }

// The exact line a log call prints, colour sequences included.
inline std::string ErrorLine(const std::string& text) {
  return "\033[31m[ERROR] " + text + "\033[0m\n";
}
inline std::string WarnLine(const std::string& text) {
  return "\033[33m[WARN] " + text + "\033[0m\n";
}
inline std::string DebugLine(const std::string& text) {
  return "\033[32m[DEBUG] " + text + "\033[0m\n";
}
inline std::string InfoLine(const std::string& text) { return "[INFO] " + text + "\n"; }

}  // namespace ctltest
