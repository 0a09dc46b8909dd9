// Helpers shared by the bus manager's tests: a capture of standard output that
// can be read while the manager keeps printing, and a node that records what
// the manager does with it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ethercat_manager/ethercat_node.h"
#include "tests/manager/manager_test_access.h"

namespace manager_test {

// Sends file descriptor 1 into a temporary file until destroyed. Text() may
// be called at any time; it sees every line the manager has flushed.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    char path[] = "/tmp/zorvik_manager_stdout_XXXXXX";
    fd_ = mkstemp(path);
    unlink(path);
    saved_fd_ = dup(STDOUT_FILENO);
    dup2(fd_, STDOUT_FILENO);
  }
  ~StdoutCapture() { Release(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written to standard output since the capture began.
  std::string Text() const {
    std::fflush(stdout);
    std::string text;
    char buf[4096];
    off_t offset = 0;
    for (;;) {
      const ssize_t n = pread(fd_, buf, sizeof(buf), offset);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
      offset += n;
    }
    return text;
  }

  // Restores standard output (the captured text stays readable). When the
  // running test has failed, the captured text, which holds gtest's failure
  // messages too, is written out.
  void Release() {
    if (saved_fd_ < 0) return;
    std::fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    saved_fd_ = -1;
    if (::testing::Test::HasFailure()) {
      std::printf("---- captured standard output ----\n%s---- end of captured output ----\n", Text().c_str());
      std::fflush(stdout);
    }
  }

 private:
  int fd_ = -1;
  int saved_fd_ = -1;
};

// Number of non-overlapping occurrences of needle in text.
inline int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
  return n;
}

// Lines of text that contain needle.
inline std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Polls cond every 10 ms until it holds or timeout passes; returns its last value.
template <typename Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Waits until the captured text holds needle at least count times.
inline bool WaitForText(const StdoutCapture& capture, const std::string& needle, int count = 1,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  return WaitFor([&] { return Count(capture.Text(), needle) >= count; }, timeout);
}

// The log lines, with the colour sequences the manager wraps them in.
inline std::string Red(const std::string& s) { return "\033[31m" + s + "\033[0m\n"; }
inline std::string Yellow(const std::string& s) { return "\033[33m" + s + "\033[0m\n"; }
inline std::string Green(const std::string& s) { return "\033[32m" + s + "\033[0m\n"; }
inline std::string Plain(const std::string& s) { return s + "\n"; }

// Magnitude of the IMU acceleration in a DCU input image (big-endian floats at 192).
inline double AccMagnitude(const uint8_t* in) {
  double sum = 0;
  for (int i = 0; i < 3; ++i) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits = (bits << 8) | in[192 + 4 * i + b];
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    sum += static_cast<double>(f) * f;
  }
  return std::sqrt(sum);
}
inline double AccMagnitude(const std::vector<uint8_t>& in) { return AccMagnitude(in.data()); }

// A node with 240-byte images (a DCU's) that records its hooks. The hook
// record is written by the manager's threads: read it through the locked
// accessors.
class TestNode : public ethercat_manager::EthercatNode {
 public:
  static constexpr size_t kImageSize = 240;

  explicit TestNode(int id, bool init_result = true) : EthercatNode(id), init_result_(init_result) {}

  bool Init() override {
    init_calls_.fetch_add(1);
    return init_result_;
  }
  void OnDataSyncHook() override {
    // The cycle thread is the only writer of the input image: no lock here.
    if (sync_calls_.fetch_add(1, std::memory_order_relaxed) == 0) {
      first_inputs_acc_.store(AccMagnitude(recv_buf_));
    }
  }
  void OnStateChangeHook(ethercat_manager::NodeState state) override {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    hooks_.emplace_back(State(), state);
  }
  uint8_t* GetSendBuf() override { return send_buf_; }
  uint8_t* GetRecvBuf() override { return recv_buf_; }
  std::string GetName() override { return label_.empty() ? SlaveName() : label_; }

  // (State() at the time of the call, reported state) for every hook call.
  std::vector<std::pair<ethercat_manager::NodeState, ethercat_manager::NodeState>> Hooks() {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    return hooks_;
  }
  std::vector<ethercat_manager::NodeState> ReportedStates() {
    std::vector<ethercat_manager::NodeState> states;
    for (const auto& h : Hooks()) states.push_back(h.second);
    return states;
  }

  // Copies of the images, taken under the node's locks.
  std::vector<uint8_t> Inputs() {
    std::lock_guard<std::mutex> lock(recv_mutex_);
    return std::vector<uint8_t>(recv_buf_, recv_buf_ + kImageSize);
  }
  void SetOutputs(const std::vector<uint8_t>& data) {
    std::lock_guard<std::mutex> lock(send_mutex_);
    for (size_t i = 0; i < data.size() && i < kImageSize; ++i) send_buf_[i] = data[i];
  }

  long SyncCalls() const { return sync_calls_.load(std::memory_order_relaxed); }
  int InitCalls() const { return init_calls_.load(); }

  // Name used in the manager's messages instead of the slave's; set before Start.
  std::string label_;
  // IMU acceleration magnitude in the inputs of the first data hook.
  std::atomic<double> first_inputs_acc_{-1.0};

 private:
  bool init_result_;
  std::atomic<int> init_calls_{0};
  std::atomic<long> sync_calls_{0};
  std::mutex hook_mutex_;
  std::vector<std::pair<ethercat_manager::NodeState, ethercat_manager::NodeState>> hooks_;
  uint8_t send_buf_[kImageSize] = {};
  uint8_t recv_buf_[kImageSize] = {};
};

}  // namespace manager_test
