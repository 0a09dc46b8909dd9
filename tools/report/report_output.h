// Report files of a run, chosen by SELFTEST_OUTPUT, and how they are put on
// disk: whole or not at all.
#pragma once

#include <string>
#include <vector>

#include "tools/report/run_record.h"

namespace selftest {
namespace report {

enum class Format { kJson, kJunit, kPcap };

struct Destination {
  Format format;
  std::string path;
};

// Reads "json:PATH", "junit:PATH", "pcap:PATH" (the frames of the run) or
// several of them separated by commas. An empty or
// absent value gives no destination. On a malformed value returns false
// with a one-line reason in *error.
bool ParseOutputSetting(const std::string& setting, std::vector<Destination>* out, std::string* error);

// Writes text to path through a temporary file in the same directory that
// is renamed into place, so that readers see the old file or the whole new
// one. On failure removes the temporary file and returns false with the
// reason in *error.
bool WriteWhole(const std::string& path, const std::string& text, std::string* error);

// SHA-256 of a file's bytes as lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::string& path);
std::string Sha256Hex(const std::string& bytes);

std::string ToJson(const RunRecord& record);
std::string ToJunit(const RunRecord& record);

}  // namespace report
}  // namespace selftest
