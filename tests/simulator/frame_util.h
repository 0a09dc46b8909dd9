// Crafting EtherCAT frames and driving an in-process SimNetwork in tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/sim_network.h"

namespace simtest {

enum Cmd : uint8_t {
  NOP = 0x00, APRD = 0x01, APWR = 0x02, APRW = 0x03, FPRD = 0x04, FPWR = 0x05, FPRW = 0x06,
  BRD = 0x07, BWR = 0x08, BRW = 0x09, LRD = 0x0A, LWR = 0x0B, LRW = 0x0C, ARMW = 0x0D, FRMW = 0x0E,
};

struct Dg {
  uint8_t cmd = NOP;
  uint16_t adp = 0;
  uint16_t ado = 0;
  std::vector<uint8_t> data;
  uint16_t wkc = 0;
  uint8_t index = 0;
};

// Builds a frame: Ethernet header (broadcast, source 01:01:01:01:01:01),
// EtherCAT header, datagrams with the "more" bit set on all but the last.
inline std::vector<uint8_t> BuildFrame(const std::vector<Dg>& dgs, size_t pad_to = 0) {
  std::vector<uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4, 0, 0};
  size_t total = 0;
  for (size_t i = 0; i < dgs.size(); ++i) {
    const Dg& d = dgs[i];
    const uint16_t len = static_cast<uint16_t>(d.data.size() | (i + 1 < dgs.size() ? 0x8000 : 0));
    const uint8_t h[10] = {d.cmd, d.index, uint8_t(d.adp), uint8_t(d.adp >> 8), uint8_t(d.ado), uint8_t(d.ado >> 8),
                           uint8_t(len), uint8_t(len >> 8), 0, 0};
    f.insert(f.end(), h, h + 10);
    f.insert(f.end(), d.data.begin(), d.data.end());
    f.push_back(uint8_t(d.wkc));
    f.push_back(uint8_t(d.wkc >> 8));
    total += 12 + d.data.size();
  }
  f[14] = uint8_t(total);
  f[15] = uint8_t(0x10 | (total >> 8));
  if (f.size() < pad_to) f.resize(pad_to, 0);
  return f;
}

// Reads the datagrams back out of a frame built by BuildFrame.
inline std::vector<Dg> ParseFrame(const std::vector<uint8_t>& f) {
  std::vector<Dg> out;
  size_t off = 16;
  for (;;) {
    Dg d;
    d.cmd = f[off];
    d.index = f[off + 1];
    d.adp = uint16_t(f[off + 2] | (f[off + 3] << 8));
    d.ado = uint16_t(f[off + 4] | (f[off + 5] << 8));
    const uint16_t word = uint16_t(f[off + 6] | (f[off + 7] << 8));
    const size_t n = word & 0x7FF;
    d.data.assign(f.begin() + off + 10, f.begin() + off + 10 + n);
    d.wkc = uint16_t(f[off + 10 + n] | (f[off + 11 + n] << 8));
    out.push_back(d);
    off += 12 + n;
    if (!(word & 0x8000)) break;
  }
  return out;
}

inline Dg Make(uint8_t cmd, uint16_t adp, uint16_t ado, std::vector<uint8_t> data) {
  Dg d;
  d.cmd = cmd;
  d.adp = adp;
  d.ado = ado;
  d.data = std::move(data);
  return d;
}
inline Dg Read(uint8_t cmd, uint16_t adp, uint16_t ado, size_t len) { return Make(cmd, adp, ado, std::vector<uint8_t>(len, 0)); }
inline Dg Logical(uint8_t cmd, uint32_t addr, std::vector<uint8_t> data) {
  return Make(cmd, uint16_t(addr), uint16_t(addr >> 16), std::move(data));
}

inline std::vector<uint8_t> U16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
inline std::vector<uint8_t> U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline std::vector<uint8_t> U64(uint64_t v) {
  std::vector<uint8_t> out;
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
  return out;
}
inline uint16_t GetU16(const std::vector<uint8_t>& d, size_t at = 0) { return uint16_t(d[at] | (d[at + 1] << 8)); }
inline uint32_t GetU32(const std::vector<uint8_t>& d, size_t at = 0) {
  return uint32_t(d[at]) | (uint32_t(d[at + 1]) << 8) | (uint32_t(d[at + 2]) << 16) | (uint32_t(d[at + 3]) << 24);
}
inline uint64_t GetU64(const std::vector<uint8_t>& d, size_t at = 0) {
  return uint64_t(GetU32(d, at)) | (uint64_t(GetU32(d, at + 4)) << 32);
}

// Station address a master gives board k.
inline uint16_t Station(int k) { return uint16_t(0x1000 + k); }

// An in-process network with its own clock.
class Net {
 public:
  explicit Net(const std::string& yaml) {
    std::string err;
    sim_ = dcusim::SimNetwork::FromYaml(yaml, &err);
    EXPECT_TRUE(sim_) << err;
  }
  dcusim::SimNetwork& sim() { return *sim_; }
  uint64_t now() const { return now_; }
  void Advance(uint64_t ns) { now_ += ns; }

  // Sends a frame; returns the processed datagrams (empty when lost).
  std::vector<Dg> Send(const std::vector<Dg>& dgs) {
    auto f = BuildFrame(dgs);
    now_ += 1000;
    if (!sim_->ProcessFrame(f.data(), f.size(), now_)) return {};
    return ParseFrame(f);
  }
  Dg One(const Dg& d) {
    auto r = Send({d});
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? Dg{} : r[0];
  }
  uint16_t Write(uint8_t cmd, uint16_t adp, uint16_t ado, std::vector<uint8_t> data) {
    return One(Make(cmd, adp, ado, std::move(data))).wkc;
  }
  std::vector<uint8_t> ReadReg(int k, uint16_t reg, size_t len) { return One(Read(FPRD, Station(k), reg, len)).data; }
  uint16_t AlStatus(int k) { return GetU16(ReadReg(k, 0x0130, 2)); }
  uint16_t AlCode(int k) { return GetU16(ReadReg(k, 0x0134, 2)); }
  uint16_t RequestState(int k, uint16_t s) { return Write(FPWR, Station(k), 0x0120, U16(s)); }

  // Station addresses for all boards, then SyncManagers and FMMUs as a
  // master maps N DCUs (outputs first, then inputs), leaving them in PRE_OP.
  void Configure(int boards, int out_bytes = 240, int in_bytes = 240) {
    Write(BWR, 0, 0x0120, {0x11});
    for (int k = 1; k <= boards; ++k) Write(APWR, uint16_t(1 - k), 0x0010, U16(Station(k)));
    for (int k = 1; k <= boards; ++k) {
      RequestState(k, 0x12);
      std::vector<uint8_t> sm0 = {0x00, 0x10, uint8_t(out_bytes), uint8_t(out_bytes >> 8), 0x64, 0, 1, 0};
      const uint16_t in_start = 0x1400;
      std::vector<uint8_t> sm1 = {uint8_t(in_start), uint8_t(in_start >> 8), uint8_t(in_bytes), uint8_t(in_bytes >> 8),
                                  0x20, 0, 1, 0};
      Write(FPWR, Station(k), 0x0800, sm0);
      Write(FPWR, Station(k), 0x0808, sm1);
      auto fmmu = [](uint32_t log, uint16_t len, uint16_t phys, uint8_t type) {
        std::vector<uint8_t> f = U32(log);
        f.push_back(uint8_t(len));
        f.push_back(uint8_t(len >> 8));
        f.push_back(0);
        f.push_back(7);
        f.push_back(uint8_t(phys));
        f.push_back(uint8_t(phys >> 8));
        f.push_back(0);
        f.push_back(type);
        f.push_back(1);
        f.resize(16, 0);
        return f;
      };
      Write(FPWR, Station(k), 0x0600, fmmu(uint32_t(out_bytes * (k - 1)), uint16_t(out_bytes), 0x1000, 2));
      Write(FPWR, Station(k), 0x0610,
            fmmu(uint32_t(out_bytes * boards + in_bytes * (k - 1)), uint16_t(in_bytes), in_start, 1));
    }
  }
  // Configure + SAFE_OP + one process-data exchange + OP.
  void BringUp(int boards) {
    Configure(boards);
    for (int k = 1; k <= boards; ++k) RequestState(k, 0x04);
    Exchange(boards, std::vector<uint8_t>(240 * boards, 0));
    for (int k = 1; k <= boards; ++k) RequestState(k, 0x08);
  }
  // One LRW over all outputs and inputs; returns the inputs of all boards
  // and stores the working counter.
  std::vector<uint8_t> Exchange(int boards, const std::vector<uint8_t>& outputs, uint64_t step_ns = 1000000) {
    now_ += step_ns;
    std::vector<uint8_t> image = outputs;
    image.resize(480 * boards, 0);
    auto f = BuildFrame({Logical(LRW, 0, image)});
    if (!sim_->ProcessFrame(f.data(), f.size(), now_)) {
      last_wkc_ = -1;
      return {};
    }
    auto r = ParseFrame(f);
    last_wkc_ = r[0].wkc;
    return std::vector<uint8_t>(r[0].data.begin() + 240 * boards, r[0].data.end());
  }
  int last_wkc() const { return last_wkc_; }

 private:
  std::unique_ptr<dcusim::SimNetwork> sim_;
  uint64_t now_ = 5000000000ull;
  int last_wkc_ = 0;
};

// Configuration with N DCUs and optional DcuSimulator settings.
inline std::string Dcus(int n, const std::string& channel_1_of_first = "", const std::string& sim = "") {
  std::string y = "ZorvikController:\n  ethercat: {ifname: eth0, enable_dc: true, bind_cpu: -1, rt_priority: -1, "
                  "cycle_time_ns: 1000000}\n  dcu_network:\n";
  for (int k = 1; k <= n; ++k) {
    y += "    - {name: dcu_" + std::to_string(k) + ", ecat_id: " + std::to_string(k) +
         ", enable: true, imu_enable: true";
    if (k == 1 && !channel_1_of_first.empty()) y += ", channel_1: " + channel_1_of_first;
    y += "}\n";
  }
  if (!sim.empty()) y += "DcuSimulator:\n" + sim;
  return y;
}

}  // namespace simtest
