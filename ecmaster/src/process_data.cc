// The cyclic process-data exchange. Real-time path: no allocation, no
// output, one send per frame and one wait per frame.
#include <algorithm>
#include <cstring>

#include "clock.h"
#include "esc_registers.h"
#include "master.h"

namespace ecmaster {

namespace {
constexpr size_t kCmdOffset = wire::kEthHeader + wire::kFrameHeader;
}  // namespace

int Master::SendProcessData(bool overlap, uint8 g) {
  // Frames of an earlier send that were never received are given up.
  for (int i = 0; i < npending_; ++i) port_.Release(pending_[i].idx);
  npending_ = 0;
  if (g >= EC_MAXGROUP) return 0;

  ec_groupt& grp = group_[g];
  const uint32_t obytes = grp.Obytes;
  const uint32_t ibytes = grp.Ibytes;
  const uint32_t length = overlap ? std::max(obytes, ibytes) : obytes + ibytes;
  if (length == 0) return 0;

  uint8* iomap = grp.outputs;
  // With the overlap variant the returned image lands behind the outputs.
  uint8* dest_base = overlap ? iomap + obytes : iomap;
  const bool dc = grp.hasdc != 0;
  const uint16_t dc_station = dc_station_[g].load(std::memory_order_relaxed);
  uint8_t dctime[8];
  PutLe64(dctime, static_cast<uint64_t>(*dctime_));
  bool first = true;

  auto emit = [&](uint8_t cmd, uint32_t offset, uint32_t len, uint8* dest) {
    const int idx = port_.Claim();
    if (idx < 0) return false;
    const uint32_t la = grp.logstartaddr + offset;
    const size_t off = port_.Setup(idx, cmd, static_cast<uint16_t>(la & 0xFFFF),
                                   static_cast<uint16_t>(la >> 16), static_cast<uint16_t>(len),
                                   iomap + offset);
    const bool with_dc = first && dc;
    if (off == 0 ||
        (with_dc && port_.Append(idx, EC_CMD_FRMW, dc_station, reg::kDcSystemTime, 8, dctime) == 0)) {
      port_.Release(idx);
      return false;
    }
    first = false;
    port_.Transmit(idx);
    pending_[npending_++] = Pending{idx, dest, static_cast<uint16>(len),
                                    static_cast<uint16>(off), with_dc};
    return true;
  };

  if (grp.blockLRW == 0) {
    // One LRW per segment over the whole image, outputs then inputs.
    uint32_t offset = 0;
    for (uint16 s = 0; s < grp.nsegments && s < EC_MAXIOSEGMENTS; ++s) {
      const uint32_t len = grp.IOsegment[s];
      if (len == 0) break;
      if (!emit(EC_CMD_LRW, offset, len, dest_base + offset)) break;
      offset += len;
    }
  } else {
    // Slaves that refuse LRW: read the inputs with LRD, then write the
    // outputs with LWR, along the same segment boundaries.
    uint32_t done = 0;
    for (uint16 s = grp.Isegment; done < ibytes && s < grp.nsegments; ++s) {
      const uint32_t seg = grp.IOsegment[s] - (s == grp.Isegment ? grp.Ioffset : 0);
      const uint32_t len = std::min(seg, ibytes - done);
      if (len == 0) continue;
      if (!emit(EC_CMD_LRD, obytes + done, len, iomap + obytes + done)) break;
      done += len;
    }
    done = 0;
    for (uint16 s = 0; done < obytes && s < grp.nsegments && s <= grp.Isegment; ++s) {
      const uint32_t seg = s == grp.Isegment ? grp.Ioffset : grp.IOsegment[s];
      const uint32_t len = std::min(seg, obytes - done);
      if (len == 0) continue;
      if (!emit(EC_CMD_LWR, done, len, nullptr)) break;
      done += len;
    }
  }
  return 1;
}

int Master::ReceiveProcessData(int timeout_us) {
  if (npending_ == 0) return EC_NOFRAME;
  int total = 0;
  bool any = false;
  for (int i = 0; i < npending_; ++i) {
    const Pending& p = pending_[i];
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(timeout_us) * 1000;
    int wkc = port_.Await(p.idx, deadline);
    if (wkc >= 0) {
      const uint8_t* f = port_.RxFrame(p.idx);
      const uint8_t cmd = f[kCmdOffset];
      const uint8_t* data = f + p.data_off;
      if (p.dc) {
        // The first datagram's own WKC; the reference clock's time from the
        // DC datagram behind it.
        wkc = GetLe16(data + p.len);
        *dctime_ = static_cast<int64>(
            GetLe64(data + p.len + wire::kWkcSize + wire::kDatagramHeader));
      }
      if (cmd == EC_CMD_LRW || cmd == EC_CMD_LRD) {
        if (p.dest != nullptr) std::memcpy(p.dest, data, p.len);
        total += wkc;
        any = true;
      } else if (cmd == EC_CMD_LWR) {
        total += 2 * wkc;
        any = true;
      }
    }
    port_.Release(p.idx);
  }
  npending_ = 0;
  return any ? total : EC_NOFRAME;
}

}  // namespace ecmaster
