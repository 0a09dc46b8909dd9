#include "tools/capture/frame_capture.h"

#include <pcap/pcap.h>
#include <poll.h>

#include <algorithm>
#include <cstring>

#include "tools/report/report_output.h"

namespace capture {

namespace {

constexpr size_t kEthHeader = 14;
constexpr uint16_t kEtherTypeEcat = 0x88A4;
// Datagram commands (the EtherCAT frame's own numbering).
constexpr uint8_t kCmdLrd = 10, kCmdLwr = 11, kCmdLrw = 12, kCmdArmw = 13, kCmdFrmw = 14;
constexpr uint16_t kRegAlControl = 0x0120;
constexpr uint16_t kRegAlStatus = 0x0130;
constexpr uint16_t kRegDcSystemTime = 0x0910;
constexpr uint8_t kAlOp = 0x08;
constexpr uint8_t kAlError = 0x10;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// One datagram's header fields and where its data and counter are.
struct Datagram {
  uint8_t cmd = 0;
  uint16_t ado = 0;
  const uint8_t* data = nullptr;
  uint16_t len = 0;
  uint16_t wkc = 0;
};

// Splits an EtherCAT frame into its datagrams; false when it is not one or
// does not hold together.
bool Datagrams(const uint8_t* frame, size_t len, std::vector<Datagram>* out) {
  out->clear();
  if (len < kEthHeader + 2) return false;
  if (static_cast<uint16_t>((frame[12] << 8) | frame[13]) != kEtherTypeEcat) return false;
  if ((Le16(frame + kEthHeader) >> 12) != 1) return false;
  size_t off = kEthHeader + 2;
  for (int n = 0; n < 256; ++n) {
    if (off + 12 > len) return false;
    const uint8_t* h = frame + off;
    const uint16_t word = Le16(h + 6);
    const uint16_t dlen = word & 0x07FF;
    if (off + 10 + dlen + 2 > len) return false;
    out->push_back(Datagram{h[0], Le16(h + 4), h + 10, dlen, Le16(h + 10 + dlen)});
    off += 12 + dlen;
    if (!(word & 0x8000)) return true;
  }
  return false;
}

// A frame a slave has passed through comes back with the second bit of its
// source address set.
bool IsReply(const uint8_t* frame, size_t len) { return len > 6 && (frame[6] & 0x02) != 0; }

void PutLe32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutLe16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

}  // namespace

bool FrameSieve::IsCyclic(const uint8_t* frame, size_t len) {
  std::vector<Datagram> d;
  if (!Datagrams(frame, len, &d)) return false;
  bool logical = false;
  for (const Datagram& g : d) {
    if (g.cmd == kCmdLrd || g.cmd == kCmdLwr || g.cmd == kCmdLrw) {
      logical = true;
    } else if (!((g.cmd == kCmdArmw || g.cmd == kCmdFrmw) && g.ado == kRegDcSystemTime)) {
      return false;
    }
  }
  return logical;
}

bool FrameSieve::Troubled(int64_t time_ns, const uint8_t* frame, size_t len, bool cyclic, bool reply) {
  std::vector<Datagram> d;
  if (!Datagrams(frame, len, &d)) return false;
  if (cyclic) {
    if (!reply) return false;
    int wkc = 0;
    for (const Datagram& g : d) {
      if (g.cmd == kCmdLrd || g.cmd == kCmdLwr || g.cmd == kCmdLrw) wkc += g.wkc;
    }
    const bool short_wkc = wkc < wkc_best_;
    wkc_best_ = std::max(wkc_best_, wkc);
    return short_wkc;
  }
  // Outside the exchange, once it runs: a state request, or a state read
  // that shows a board outside OP or with its error bit. The first read
  // that shows every board answering in OP ends the start-up.
  if (first_cyclic_ns_ < 0) return false;
  bool state_read = false;
  for (const Datagram& g : d) {
    const bool write = g.cmd == 2 || g.cmd == 5 || g.cmd == 8;  // APWR, FPWR, BWR
    const bool read = g.cmd == 1 || g.cmd == 4 || g.cmd == 7;   // APRD, FPRD, BRD
    if (write && g.ado == kRegAlControl) return true;
    if (read && reply && g.ado == kRegAlStatus && g.len >= 1) {
      if (g.wkc == 0) return false;
      const uint8_t state = g.data[0];
      if ((state & 0x0F) != kAlOp || (state & kAlError)) return true;
      state_read = true;
    }
  }
  if (state_read && time_ns + kStartUpAfterOpNs < startup_end_ns_) startup_end_ns_ = time_ns + kStartUpAfterOpNs;
  return false;
}

void FrameSieve::Keep(Frame&& f) {
  if (kept_bytes_ + f.bytes.size() > kMaxKeptBytes) {
    ++counts_.left_out;
    return;
  }
  kept_bytes_ += f.bytes.size();
  kept_.push_back(std::move(f));
  ++counts_.kept;
}

void FrameSieve::Trigger(int64_t time_ns) {
  keep_until_ns_ = std::max(keep_until_ns_, time_ns + kWindowNs);
  for (Frame& f : recent_) Keep(std::move(f));
  recent_.clear();
}

void FrameSieve::Add(int64_t time_ns, const uint8_t* frame, size_t len) {
  ++counts_.seen;
  Frame f{time_ns, order_++, std::string(reinterpret_cast<const char*>(frame), len)};
  const bool cyclic = IsCyclic(frame, len);
  const bool reply = IsReply(frame, len);
  if (cyclic && !reply) {
    // A new cycle; the one before never came back when it is still awaited.
    if (awaiting_reply_ && first_cyclic_ns_ >= 0) Trigger(time_ns);
    awaiting_reply_ = true;
    ++cycle_;
    sampled_cycle_ = cycle_ % kSampleEvery == 0;
  } else if (cyclic) {
    awaiting_reply_ = false;
  }
  if (cyclic && first_cyclic_ns_ < 0) {
    first_cyclic_ns_ = time_ns;
    startup_end_ns_ = time_ns + kWindowNs;
  }
  if (Troubled(time_ns, frame, len, cyclic, reply)) Trigger(time_ns);

  if (!cyclic) {
    Keep(std::move(f));
    return;
  }
  if (time_ns < startup_end_ns_ || time_ns <= keep_until_ns_ || sampled_cycle_) {
    Keep(std::move(f));
    return;
  }
  recent_.push_back(std::move(f));
  while (!recent_.empty() && recent_.front().time_ns < time_ns - kWindowNs) {
    recent_.pop_front();
    ++counts_.left_out;
  }
}

void FrameSieve::Finish() {
  // The last second of the exchange: the shutdown.
  for (Frame& f : recent_) Keep(std::move(f));
  recent_.clear();
  std::stable_sort(kept_.begin(), kept_.end(), [](const Frame& a, const Frame& b) {
    return a.time_ns != b.time_ns ? a.time_ns < b.time_ns : a.order < b.order;
  });
}

std::string FrameSieve::PcapFile() const {
  std::string out;
  out.reserve(24 + kept_bytes_ + 16 * kept_.size());
  PutLe32(&out, 0xA1B23C4D);  // nanosecond time stamps
  PutLe16(&out, 2);
  PutLe16(&out, 4);
  PutLe32(&out, 0);       // this zone
  PutLe32(&out, 0);       // accuracy
  PutLe32(&out, 65535);   // snap length
  PutLe32(&out, 1);       // Ethernet
  for (const Frame& f : kept_) {
    const int64_t t = f.time_ns < 0 ? 0 : f.time_ns;
    PutLe32(&out, static_cast<uint32_t>(t / 1000000000));
    PutLe32(&out, static_cast<uint32_t>(t % 1000000000));
    PutLe32(&out, static_cast<uint32_t>(f.bytes.size()));
    PutLe32(&out, static_cast<uint32_t>(f.bytes.size()));
    out += f.bytes;
  }
  return out;
}

// ---------------------------------------------------------------------------

struct FrameCapture::Handle {
  pcap_t* pcap = nullptr;
  ~Handle() {
    if (pcap != nullptr) pcap_close(pcap);
  }
};

FrameCapture::FrameCapture() = default;
FrameCapture::~FrameCapture() { Stop(); }

bool FrameCapture::Start(const std::string& ifname, std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  auto handle = std::make_unique<Handle>();
  handle->pcap = pcap_create(ifname.c_str(), errbuf);
  if (handle->pcap == nullptr) {
    *error = errbuf;
    return false;
  }
  pcap_t* p = handle->pcap;
  (void)pcap_set_snaplen(p, 65535);
  (void)pcap_set_immediate_mode(p, 1);
  (void)pcap_set_buffer_size(p, 16 << 20);
  if (pcap_set_tstamp_precision(p, PCAP_TSTAMP_PRECISION_NANO) != 0) {
    *error = "the interface gives no nanosecond time stamps";
    return false;
  }
  const int status = pcap_activate(p);
  if (status < 0) {
    *error = pcap_geterr(p);
    if (error->empty()) *error = pcap_statustostr(status);
    return false;
  }
  if (pcap_datalink(p) != DLT_EN10MB) {
    *error = "not an Ethernet interface";
    return false;
  }
  bpf_program filter;
  if (pcap_compile(p, &filter, "ether proto 0x88a4", 1, PCAP_NETMASK_UNKNOWN) == 0) {
    (void)pcap_setfilter(p, &filter);
    pcap_freecode(&filter);
  }
  if (pcap_setnonblock(p, 1, errbuf) != 0 || pcap_get_selectable_fd(p) < 0) {
    *error = "the capture cannot be polled";
    return false;
  }
  handle_ = std::move(handle);
  stop_.store(false);
  thread_ = std::thread(&FrameCapture::Loop, this);
  return true;
}

void FrameCapture::Loop() {
  pcap_t* p = handle_->pcap;
  pollfd pfd{pcap_get_selectable_fd(p), POLLIN, 0};
  auto take = [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    auto* self = reinterpret_cast<FrameCapture*>(user);
    const int64_t t = static_cast<int64_t>(h->ts.tv_sec) * 1000000000 + static_cast<int64_t>(h->ts.tv_usec);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->sieve_.Add(t, bytes, h->caplen);
  };
  for (;;) {
    const bool last = stop_.load();
    (void)poll(&pfd, 1, last ? 0 : 50);
    while (pcap_dispatch(p, 256, take, reinterpret_cast<u_char*>(this)) > 0) {
    }
    if (last) break;
  }
  pcap_stat st;
  if (pcap_stats(p, &st) == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    kernel_dropped_ = st.ps_drop;
  }
}

void FrameCapture::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
  handle_.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  sieve_.Finish();
}

bool FrameCapture::Write(const std::string& path, std::string* error) {
  std::string bytes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes = sieve_.PcapFile();
  }
  return selftest::report::WriteWhole(path, bytes, error);
}

CaptureCounts FrameCapture::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  CaptureCounts c = sieve_.counts();
  c.kernel_dropped = kernel_dropped_;
  return c;
}

}  // namespace capture
