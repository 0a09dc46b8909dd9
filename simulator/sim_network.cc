#include "simulator/sim_network.h"

#include <time.h>

#include <algorithm>
#include <mutex>

#include "simulator/sim_network_impl.h"

namespace dcusim {

namespace {

constexpr size_t kEthHeader = 14;
constexpr uint16_t kEtherTypeEcat = 0x88A4;
constexpr size_t kMaxDatagrams = 128;

}  // namespace

SimNetwork::SimNetwork(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SimNetwork::~SimNetwork() = default;

uint64_t SimNetwork::MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::unique_ptr<SimNetwork> SimNetwork::FromYaml(const std::string& yaml_text, std::string* error) {
  NetworkPlan plan;
  std::string err;
  if (!ParseNetworkPlan(yaml_text, &plan, &err) || !CheckScenario(plan, &err)) {
    if (error) *error = err;
    return nullptr;
  }
  std::unique_ptr<Impl> impl = Impl::Build(plan);
  impl->scenario.Load(plan.scenario);
  return std::unique_ptr<SimNetwork>(new SimNetwork(std::move(impl)));
}

std::unique_ptr<SimNetwork::Impl> SimNetwork::Impl::Build(const NetworkPlan& source) {
  auto impl = std::make_unique<Impl>();
  impl->plan = source;
  const NetworkPlan& plan = impl->plan;
  impl->rng.seed(plan.seed);
  impl->loss = plan.frame_loss;
  for (const BoardPlan& bp : plan.boards) {
    Board b;
    b.position = bp.position;
    b.dcu_name = bp.dcu_name;
    b.forward_delay_ns = bp.forward_delay_ns;
    b.silent = bp.silent;
    EscSettings es;
    es.sii = bp.sii;
    es.dc = bp.dc;
    // Each board's local clock started at its own power-on moment.
    es.clock_offset_ns = 1000000000 + static_cast<int64_t>(bp.position) * 1234567;
    es.drift_ppm = bp.drift_ppm;
    es.created_ns = 0;
    es.watchdog_time = bp.watchdog_time;
    es.require_dc_for_op = plan.require_dc_for_op;
    es.op_requires_outputs = plan.op_requires_outputs;
    es.outputs_count_in_safe_op = plan.outputs_count_in_safe_op;
    std::unique_ptr<PdiApplication> app;
    if (bp.is_dcu) {
      auto dcu = std::make_unique<DcuDevice>(bp.imu, plan.seed * 1000003u + static_cast<uint64_t>(bp.position));
      for (const ActuatorPlan& as : bp.actuators) {
        const uint32_t info = 0x010000u | (static_cast<uint32_t>(as.channel + 1) << 8) | static_cast<uint32_t>(as.id);
        auto model = MakeActuator(*as.kind, as.name, info, plan.dynamics);
        model->set_fault(as.fault);
        model->set_travel_limit(as.travel_limit);
        ActuatorRef ref{static_cast<int>(impl->boards.size()), as.channel, as.id, model.get()};
        dcu->Attach(as.channel, as.id, std::move(model));
        impl->actuators[as.name] = ref;
        impl->actuator_order.push_back(as.name);
      }
      b.dcu = dcu.get();
      app = std::move(dcu);
    }
    b.esc = std::make_unique<Esc>(es, std::move(app));
    impl->boards.push_back(std::move(b));
  }
  impl->datagrams.reserve(kMaxDatagrams);
  impl->timing.resize(impl->boards.size());
  impl->UpdateLinks(false);
  return impl;
}

// ---------------------------------------------------------------------------
// Frames

bool SimNetwork::ProcessFrame(uint8_t* frame, size_t len, uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->Process(frame, len, now_ns);
}

bool SimNetwork::Impl::Process(uint8_t* frame, size_t len, uint64_t now) {
  if (len < kEthHeader + 2 || ((frame[12] << 8) | frame[13]) != kEtherTypeEcat) {
    stats.OnIgnored();
    return false;
  }
  stats.OnFrame();
  last_now = now;
  if (!scenario.empty()) PlayScenario(frame, len, now);
  const size_t reach = Reach();
  if (reach == 0 && !boards.empty()) {  // no link to the first board
    stats.OnLost();
    return false;
  }
  if (loss > 0 && uniform(rng) < loss) {
    stats.OnLost();
    return false;
  }
  const uint16_t ecat_header = Le16(frame + kEthHeader);
  if ((ecat_header >> 12) != 1) return true;  // not datagrams: passed on untouched
  if (!SplitDatagrams(frame, len)) {
    stats.OnMalformed();
    return false;
  }
  if (reach == 0) return true;
  TimeThroughLine(reach, now);

  bool processed = false;
  for (size_t k = 0; k < reach; ++k) {
    Board& b = boards[k];
    if (b.silent) continue;
    b.esc->BeginFrame(timing[k]);
    for (Datagram& d : datagrams) b.esc->Process(d);
    b.esc->EndFrame();
    processed = true;
  }
  if (processed) frame[6] |= 0x02;
  RecordProcessData(reach, now);
  return true;
}

// Splits the frame into datagrams; false when they do not fit (the frame is
// destroyed on the way, as a real controller would do with a corrupted one).
bool SimNetwork::Impl::SplitDatagrams(uint8_t* frame, size_t len) {
  datagrams.clear();
  size_t off = kEthHeader + 2;
  for (;;) {
    if (off + 12 > len || datagrams.size() == kMaxDatagrams) return false;
    uint8_t* h = frame + off;
    const uint16_t word = Le16(h + 6);
    const uint16_t n = word & 0x07FF;
    if (off + 10 + n + 2 > len) return false;
    datagrams.push_back(Datagram{h, h + 10, n, h + 10 + n});
    off += 12 + n;
    if (!(word & 0x8000)) return true;
  }
}

// Timing through the line: the frame enters board k at t_k and, behind the
// last board it reaches, comes back through every port 1.
void SimNetwork::Impl::TimeThroughLine(size_t reach, uint64_t now) {
  timing[0].arrive_ns = now;
  for (size_t k = 1; k < reach; ++k) timing[k].arrive_ns = timing[k - 1].arrive_ns + boards[k - 1].forward_delay_ns;
  uint64_t back = timing[reach - 1].arrive_ns;
  for (size_t k = reach; k-- > 0;) {
    timing[k].last = k + 1 == reach;
    if (!timing[k].last) {
      back += boards[k].forward_delay_ns;
      timing[k].return_ns = back;
    }
  }
}

// A process-data frame (first datagram LRD, LWR or LRW) counts in the period
// statistics and, when the reference board runs SYNC0, in its phase.
void SimNetwork::Impl::RecordProcessData(size_t reach, uint64_t now) {
  const uint8_t first = datagrams[0].header[0];
  if (first != 0x0A && first != 0x0B && first != 0x0C) return;
  const int ref = ReferenceBoard();
  uint64_t cycle = plan.cycle_time_ns;
  if (ref >= 0 && static_cast<size_t>(ref) < reach) {
    const Esc& e = *boards[ref].esc;
    if (e.sync0_running() && e.sync0_cycle() > 0) {
      cycle = e.sync0_cycle();
      const uint64_t sys = e.SystemTime(timing[ref].arrive_ns);
      if (sys >= e.sync0_start()) stats.OnDcPhase((sys - e.sync0_start()) % cycle, cycle);
    }
  }
  stats.OnProcessData(now, cycle, plan.late_threshold);
}

// ---------------------------------------------------------------------------
// Control

void SimNetwork::SetCable(bool pulled, int after_board) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SetCable(pulled, std::max(0, after_board));
}

bool SimNetwork::SetBoardSilent(int position, bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (position < 1 || position > static_cast<int>(impl_->boards.size())) return false;
  impl_->boards[position - 1].silent = silent;
  return true;
}

bool SimNetwork::ForceState(int position, uint8_t state, bool error, uint16_t code) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (position < 1 || position > static_cast<int>(impl_->boards.size())) return false;
  impl_->boards[position - 1].esc->ForceState(state, error, code, impl_->last_now);
  return true;
}

void SimNetwork::SetLoss(double fraction) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->loss = std::clamp(fraction, 0.0, 1.0);
}

int SimNetwork::BoardCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return static_cast<int>(impl_->boards.size());
}

bool SimNetwork::GetBoard(int position, BoardStatus* out, uint64_t now_ns) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (position < 1 || position > static_cast<int>(impl_->boards.size())) return false;
  const Board& b = impl_->boards[position - 1];
  b.esc->CheckWatchdog(now_ns);
  out->position = position;
  out->kind = b.dcu ? "DCU" : b.esc->settings().sii.name;
  out->dcu_name = b.dcu_name;
  out->al_status = b.esc->al_status();
  out->al_code = b.esc->al_code();
  out->station_address = b.esc->station_address();
  out->silent = b.silent;
  out->dc = b.esc->has_dc();
  out->sync0_active = b.esc->sync0_running();
  out->sync0_start = b.esc->sync0_start();
  out->sync0_cycle = b.esc->sync0_cycle();
  out->sync0_start_missed = b.esc->sync0_start_missed();
  return true;
}

bool SimNetwork::GetActuator(const std::string& name, ActuatorStatus* out) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->actuators.find(name);
  if (it == impl_->actuators.end()) return false;
  const ActuatorRef& r = it->second;
  const ActuatorModel& m = *r.model;
  out->name = name;
  out->type = m.type_name();
  out->board = impl_->boards[r.board].position;
  out->channel = r.channel + 1;
  out->id = r.id;
  out->power_state = m.power_state();
  out->enabled = m.power_state() == 1;
  out->position = m.position();
  out->velocity = m.velocity();
  out->effort = m.effort();
  out->fault = FaultName(m.fault());
  out->handshake = m.handshake();
  return true;
}

std::vector<std::string> SimNetwork::ActuatorNames() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->actuator_order;
}

uint64_t SimNetwork::SystemTime(int position, uint64_t now_ns) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (position < 1 || position > static_cast<int>(impl_->boards.size())) return 0;
  return impl_->boards[position - 1].esc->SystemTime(now_ns);
}

std::string SimNetwork::StatsText() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->stats.Report();
}

void SimNetwork::ResetStats() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->stats.Reset();
}

void SimNetwork::RecordReplyLatency(uint64_t ns) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->stats.OnReplyLatency(ns);
}

void SimNetwork::RecordPassGap(uint64_t ns) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->stats.OnPassGap(ns);
}

std::string SimNetwork::MasterIfname() const { return impl_->plan.master_ifname; }
uint64_t SimNetwork::CycleHintNs() const { return impl_->plan.cycle_time_ns; }
std::vector<std::string> SimNetwork::Warnings() const { return impl_->plan.warnings; }

}  // namespace dcusim
