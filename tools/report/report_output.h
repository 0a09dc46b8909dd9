// Report files of a run, chosen by SELFTEST_OUTPUT, and how they are put on
// disk: whole or not at all.
#pragma once

#include <cstddef>
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
// several of them separated by commas. An empty or absent value gives no
// destination. On a malformed value, or two reports for one file, returns
// false with a one-line reason in *error.
bool ParseOutputSetting(const std::string& setting, std::vector<Destination>* out, std::string* error);

// One report file on its way to disk, for any kind of report. The path is
// hostile (the programs run as root): only a regular file is ever replaced.
//
// - A regular file, or no file yet: the text goes to a temporary file made
//   next to the final file (O_EXCL, the permissions and, for root, the owner
//   of the file it replaces) and is renamed over it at Commit, so readers
//   see the old file or the whole new one. An existing file must be
//   writable by the program.
// - A symlink is followed to its target, which is written as above; the
//   link itself is never replaced. A link to nothing is refused.
// - A FIFO, a terminal, /dev/null, /dev/zero or /dev/full, and the file that
//   is the program's own standard output or error, is written directly as a
//   stream (a FIFO without a reader is refused at once; a reader that takes
//   nothing for 10 s fails the write).
// - Anything else (a directory, a socket, a block device, any other device)
//   is refused and left untouched.
class ReportFile {
 public:
  ReportFile() = default;
  // An uncommitted temporary file is removed.
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Each returns false with a one-line reason in *error; after a failure
  // the file is left as it was.
  bool Open(const std::string& path, std::string* error);
  bool Write(const void* data, size_t size, std::string* error);
  bool Commit(std::string* error);

 private:
  void Discard();

  int fd_ = -1;
  bool stream_ = false;
  std::string target_;
  std::string temp_;
};

// Open, Write and Commit of one text.
bool WriteWhole(const std::string& path, const std::string& text, std::string* error);

// Whether two report paths name one file: the same text, the same existing
// file, or the same place in the same folder.
bool SameReportFile(const std::string& a, const std::string& b);

// SHA-256 of a file's bytes as lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::string& path);
std::string Sha256Hex(const std::string& bytes);

std::string ToJson(const RunRecord& record);
std::string ToJunit(const RunRecord& record);

}  // namespace report
}  // namespace selftest
