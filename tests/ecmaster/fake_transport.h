// A scripted in-process transport for tests of the frame layer: every sent
// frame goes through a responder function that may answer it (in place),
// drop it, or queue extra frames in front of the answer.
#ifndef TESTS_ECMASTER_FAKE_TRANSPORT_H
#define TESTS_ECMASTER_FAKE_TRANSPORT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "ecmaster/transport.h"

namespace ecmaster_test {

using Frame = std::vector<uint8_t>;

class FakeTransport : public ecmaster::Transport {
 public:
  // Gets the sent frame; returns the frames to deliver, in order.
  using Responder = std::function<std::vector<Frame>(const Frame& sent)>;

  explicit FakeTransport(Responder responder) : responder_(std::move(responder)) {}

  bool Send(const uint8_t* frame, size_t len) override {
    Frame f(frame, frame + len);
    std::vector<Frame> out = responder_(f);
    std::lock_guard<std::mutex> lk(mu_);
    ++sent_;
    for (auto& r : out) queue_.push_back(std::move(r));
    cv_.notify_all();
    return true;
  }

  int Receive(uint8_t* buf, size_t cap, int64_t timeout_ns) override {
    std::unique_lock<std::mutex> lk(mu_);
    if (!cv_.wait_for(lk, std::chrono::nanoseconds(timeout_ns),
                      [&] { return !queue_.empty(); })) {
      return 0;
    }
    Frame f;
    if (lifo_) {
      f = std::move(queue_.back());
      queue_.pop_back();
    } else {
      f = std::move(queue_.front());
      queue_.pop_front();
    }
    const size_t n = f.size() < cap ? f.size() : cap;
    std::memcpy(buf, f.data(), n);
    return static_cast<int>(n);
  }

  int sent() {
    std::lock_guard<std::mutex> lk(mu_);
    return sent_;
  }
  // Deliver the newest queued frame first.
  void set_lifo(bool lifo) {
    std::lock_guard<std::mutex> lk(mu_);
    lifo_ = lifo;
  }

 private:
  Responder responder_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Frame> queue_;
  int sent_ = 0;
  bool lifo_ = false;
};

// Walks the datagrams of an EtherCAT frame and adds `wkc` to each WKC.
inline void AddWkc(Frame& f, uint16_t wkc) {
  size_t off = 16;
  for (;;) {
    if (off + 12 > f.size()) return;
    const uint16_t lw = static_cast<uint16_t>(f[off + 6] | (f[off + 7] << 8));
    const size_t len = lw & 0x07FF;
    const size_t w = off + 10 + len;
    if (w + 2 > f.size()) return;
    const uint16_t v = static_cast<uint16_t>((f[w] | (f[w + 1] << 8)) + wkc);
    f[w] = static_cast<uint8_t>(v);
    f[w + 1] = static_cast<uint8_t>(v >> 8);
    if (!(lw & 0x8000)) return;
    off = w + 2;
  }
}

}  // namespace ecmaster_test

#endif  // TESTS_ECMASTER_FAKE_TRANSPORT_H
