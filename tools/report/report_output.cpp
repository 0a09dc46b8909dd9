#include "tools/report/report_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

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

bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
  std::string tmpl = path + ".XXXXXX";
  const int fd = mkstemp(&tmpl[0]);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; a report is an ordinary file.
  const mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(fd, 0666 & ~mask);
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  const int saved = errno;
  if (close(fd) != 0 && ok) ok = false;
  if (ok && rename(tmpl.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    *error = std::strerror(errno != 0 ? errno : saved);
    unlink(tmpl.c_str());
  }
  return ok;
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
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return "";
  return Sha256Hex(bytes);
}

}  // namespace report
}  // namespace selftest
