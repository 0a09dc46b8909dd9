#include "tests/support/inproc_bus.h"

#include <unistd.h>

#include <atomic>
#include <utility>

#include "ecmaster/context.h"
#include "tests/ecmaster/sim_transport.h"

namespace simtest {

namespace {

std::atomic<int> g_instances{0};
std::atomic<int> g_counter{0};

// The in-process transport, keeping the engine alive for as long as the
// master core holds it (the core keeps its transport open after a stop).
class SharedSimTransport : public ecmaster::Transport {
 public:
  explicit SharedSimTransport(std::shared_ptr<dcusim::SimNetwork> network)
      : network_(std::move(network)), transport_(network_.get()) {}
  bool Send(const uint8_t* frame, size_t len) override { return transport_.Send(frame, len); }
  int Receive(uint8_t* buf, size_t cap, int64_t timeout_ns) override {
    return transport_.Receive(buf, cap, timeout_ns);
  }

 private:
  std::shared_ptr<dcusim::SimNetwork> network_;
  ecmaster_test::SimTransport transport_;
};

// The reply as the control socket carries it: no empty lines, no trailing
// line break.
std::string AsOnTheSocket(const std::string& reply) {
  std::string clean;
  clean.reserve(reply.size());
  for (size_t i = 0; i < reply.size(); ++i) {
    if (reply[i] == '\n' && (clean.empty() || clean.back() == '\n' || i + 1 == reply.size())) continue;
    clean += reply[i];
  }
  return clean;
}

}  // namespace

InprocBus::InprocBus(const std::string& yaml_text) {
  if (g_instances.fetch_add(1) != 0) {
    g_instances.fetch_sub(1);
    error_ = "another InprocBus is alive in this process";
    return;
  }
  installed_ = true;
  ifname_ = "inproc" + std::to_string(getpid()) + "_" + std::to_string(g_counter++);
  std::unique_ptr<dcusim::SimNetwork> network = dcusim::SimNetwork::FromYaml(yaml_text, &error_);
  if (!network) {
    error_ = "bad simulator settings: " + error_;
    return;
  }
  network_ = std::move(network);
  std::shared_ptr<dcusim::SimNetwork> shared = network_;
  const std::string name = ifname_;
  ecmaster::SetTransportOpener([shared, name](const std::string& ifname) -> std::unique_ptr<ecmaster::Transport> {
    if (ifname != name) return nullptr;
    return std::make_unique<SharedSimTransport>(shared);
  });
  ok_ = true;
}

InprocBus::~InprocBus() {
  if (!installed_) return;
  ecmaster::SetTransportOpener(nullptr);
  g_instances.fetch_sub(1);
}

std::string InprocBus::Control(const std::string& command) {
  if (!network_) return "error: no simulated network";
  return AsOnTheSocket(network_->Command(command, dcusim::SimNetwork::MonotonicNs()));
}

bool InprocBus::Available(std::string* why) {
  if (why) why->clear();
  return true;
}

}  // namespace simtest
