#include "tools/report/report_output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace selftest {
namespace report {

bool ParseOutputSetting(const std::string& setting, std::vector<Destination>* out, std::string* error) {
  out->clear();
  if (setting.empty()) return true;
  size_t start = 0;
  while (start <= setting.size()) {
    size_t end = setting.find(',', start);
    if (end == std::string::npos) end = setting.size();
    const std::string item = setting.substr(start, end - start);
    const size_t colon = item.find(':');
    const std::string kind = colon == std::string::npos ? item : item.substr(0, colon);
    Destination d{Format::kJson, colon == std::string::npos ? "" : item.substr(colon + 1)};
    if (kind == "json") {
      d.format = Format::kJson;
    } else if (kind == "junit") {
      d.format = Format::kJunit;
    } else if (kind == "pcap") {
      d.format = Format::kPcap;
    } else {
      *error = "SELFTEST_OUTPUT \"" + setting + "\": \"" + item +
               "\" is not json:PATH or junit:PATH; no report is written.";
      out->clear();
      return false;
    }
    if (d.path.empty()) {
      *error = "SELFTEST_OUTPUT \"" + setting + "\": " + kind + " needs a file path (" + kind +
               ":PATH); no report is written.";
      out->clear();
      return false;
    }
    for (const auto& earlier : *out) {
      if (earlier.format != d.format && SameReportFile(earlier.path, d.path)) {
        const std::string earlier_kind = earlier.format == Format::kJson    ? "json"
                                         : earlier.format == Format::kJunit ? "junit"
                                                                            : "pcap";
        *error = "SELFTEST_OUTPUT \"" + setting + "\": " + earlier_kind + " and " + kind +
                 " name the same file " + d.path + "; no report is written.";
        out->clear();
        return false;
      }
      if (earlier.format == d.format) {
        *error = "SELFTEST_OUTPUT \"" + setting + "\": " + kind +
                 " is named twice; no report is written.";
        out->clear();
        return false;
      }
    }
    out->push_back(d);
    start = end + 1;
  }
  return true;
}

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// The text of a path's folder ("." for a bare name) and last part.
void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *name = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

// The file a path names: its folder's real path and its name, whether or not
// it exists yet. Empty when the folder cannot be resolved.
std::string ResolvedPlace(const std::string& path) {
  std::string folder, name;
  SplitPath(path, &folder, &name);
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return "";
  std::string place = real;
  std::free(real);
  return place + (place == "/" ? "" : "/") + name;
}

// Character devices a report may stream into: the null, zero and full
// devices and terminals. Anything else (memory, ports, watchdogs, disks
// behind a character node) is not touched.
bool StreamableDevice(dev_t rdev) {
  const unsigned major_number = major(rdev);
  const unsigned minor_number = minor(rdev);
  if (major_number == 1) return minor_number == 3 || minor_number == 5 || minor_number == 7;
  if (major_number == 4) return minor_number < 64;                        // virtual consoles
  if (major_number == 5) return minor_number == 0 || minor_number == 1;  // /dev/tty, console
  return major_number >= 136 && major_number <= 143;                     // pseudo-terminals
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether st is the file behind the program's standard output or error.
bool IsOwnOutput(const struct stat& st) {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat own;
    if (fstat(fd, &own) == 0 && SameFile(own, st)) return true;
  }
  return false;
}

constexpr int kStreamWaitMs = 10000;

}  // namespace

ReportFile::~ReportFile() { Discard(); }

void ReportFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

bool ReportFile::Open(const std::string& path, std::string* error) {
  Discard();
  stream_ = false;
  if (path.empty() || path.back() == '/') {
    *error = "not a file name";
    return false;
  }
  struct stat link;
  struct stat st;
  const bool exists = lstat(path.c_str(), &link) == 0;
  if (!exists && errno != ENOENT) {
    *error = ErrnoText(errno);
    return false;
  }
  if (exists && stat(path.c_str(), &st) != 0) {
    *error = errno == ENOENT ? "a symlink to a file that does not exist; it is not followed" : ErrnoText(errno);
    return false;
  }

  if (exists && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || (S_ISREG(st.st_mode) && IsOwnOutput(st)))) {
    if (S_ISCHR(st.st_mode) && !StreamableDevice(st.st_rdev)) {
      *error = "a device that is not a terminal, /dev/null, /dev/zero or /dev/full; it is left untouched";
      return false;
    }
    // Not blocking: a FIFO without a reader is refused rather than waited on.
    const int flags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (S_ISREG(st.st_mode) ? O_APPEND : 0);
    const int fd = open(path.c_str(), flags);
    if (fd < 0) {
      *error = errno == ENXIO ? "a FIFO that no program reads" : ErrnoText(errno);
      return false;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !SameFile(opened, st)) {
      close(fd);
      *error = "the file changed while it was opened";
      return false;
    }
    fd_ = fd;
    stream_ = true;
    target_ = path;
    return true;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode)    ? "a directory, not a file"
             : S_ISSOCK(st.st_mode) ? "a socket, not a file"
             : S_ISBLK(st.st_mode)  ? "a block device; it is left untouched"
                                    : "not a regular file; it is left untouched";
    return false;
  }

  // A regular file, or none yet: the final name is the symlink's target.
  std::string target = path;
  if (exists && S_ISLNK(link.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
      *error = ErrnoText(errno);
      return false;
    }
    target = real;
    std::free(real);
  }
  if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    *error = ErrnoText(errno);
    return false;
  }
  std::string tmpl = target + ".XXXXXX";
  const int fd = mkostemp(&tmpl[0], O_CLOEXEC);  // O_CREAT | O_EXCL, private until set below
  if (fd < 0) {
    *error = ErrnoText(errno);
    return false;
  }
  fd_ = fd;
  temp_ = tmpl;
  target_ = target;
  if (exists) {
    // The replacement keeps the owner's permissions, and for root its owner.
    if (geteuid() == 0) (void)fchown(fd, st.st_uid, st.st_gid);
    (void)fchmod(fd, st.st_mode & 07777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);
  }
  return true;
}

bool ReportFile::Write(const void* data, size_t size, std::string* error) {
  if (fd_ < 0) {
    *error = "not open";
    return false;
  }
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd_, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && stream_) {
      pollfd p{fd_, POLLOUT, 0};
      const int ready = poll(&p, 1, kStreamWaitMs);
      if (ready > 0) continue;
      *error = ready == 0 ? "the reader took nothing for 10 s" : ErrnoText(errno);
      Discard();
      return false;
    }
    if (n <= 0) {
      *error = n < 0 ? ErrnoText(errno) : "nothing was written";
      Discard();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReportFile::Commit(std::string* error) {
  if (fd_ < 0) {
    *error = "not open";
    return false;
  }
  if (stream_) {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
      *error = ErrnoText(errno);
      return false;
    }
    return true;
  }
  if (fsync(fd_) != 0) {
    *error = ErrnoText(errno);
    Discard();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    *error = ErrnoText(errno);
    Discard();
    return false;
  }
  // Whatever took the final name since Open must still be a regular file.
  struct stat now;
  if (lstat(target_.c_str(), &now) == 0 && !S_ISREG(now.st_mode)) {
    *error = "the file was replaced by something that is not a regular file";
    Discard();
    return false;
  }
  if (rename(temp_.c_str(), target_.c_str()) != 0) {
    *error = ErrnoText(errno);
    Discard();
    return false;
  }
  temp_.clear();
  return true;
}

bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
  ReportFile file;
  return file.Open(path, error) && file.Write(text.data(), text.size(), error) && file.Commit(error);
}

bool SameReportFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return SameFile(sa, sb);
  const std::string place_a = ResolvedPlace(a);
  return !place_a.empty() && place_a == ResolvedPlace(b);
}

namespace {

// FIPS 180-4 SHA-256.
class Sha256 {
 public:
  void Update(const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
      block_[fill_++] = data[i];
      if (fill_ == 64) {
        Compress();
        fill_ = 0;
      }
    }
    bits_ += static_cast<uint64_t>(len) * 8;
  }

  std::string HexDigest() {
    const uint64_t bits = bits_;
    const uint8_t one = 0x80;
    Update(&one, 1);
    const uint8_t zero = 0;
    while (fill_ != 56) Update(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Update(length, 8);
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    for (uint32_t word : h_) {
      for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(word >> shift) & 0xF];
    }
    return out;
  }

 private:
  static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void Compress() {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = (static_cast<uint32_t>(block_[4 * i]) << 24) | (static_cast<uint32_t>(block_[4 * i + 1]) << 16) |
             (static_cast<uint32_t>(block_[4 * i + 2]) << 8) | block_[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h_[0] += a; h_[1] += b; h_[2] += c; h_[3] += d;
    h_[4] += e; h_[5] += f; h_[6] += g; h_[7] += h;
  }

  uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint8_t block_[64] = {};
  size_t fill_ = 0;
  uint64_t bits_ = 0;
};

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
  Sha256 sha;
  sha.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return sha.HexDigest();
}

std::string FileSha256(const std::string& path) {
  // Regular files only: a FIFO or a device would block or never end.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  Sha256 sha;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  uint8_t block[16384];
  while (ok) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    sha.Update(block, static_cast<size_t>(n));
  }
  close(fd);
  return ok ? sha.HexDigest() : "";
}

}  // namespace report
}  // namespace selftest
