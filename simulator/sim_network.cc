#include "simulator/sim_network.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>
#include <unordered_map>

#include "simulator/dcu_device.h"
#include "simulator/esc.h"
#include "simulator/frame_stats.h"
#include "simulator/sim_config.h"

namespace dcusim {

namespace {

constexpr size_t kEthHeader = 14;
constexpr uint16_t kEtherTypeEcat = 0x88A4;
constexpr size_t kMaxDatagrams = 128;

struct Board {
  int position = 0;
  std::unique_ptr<Esc> esc;
  DcuDevice* dcu = nullptr;  // owned by esc when the board is a DCU
  std::string dcu_name;
  uint32_t forward_delay_ns = 0;
  bool silent = false;
  uint8_t ports_down = 0;  // bit n: port n's link taken down by a command
};

struct ActuatorRef {
  int board = 0;  // index into boards
  int channel = 0;
  int id = 0;
  ActuatorModel* model = nullptr;
};

const char* StateName(uint8_t s) {
  switch (s & 0x0F) {
    case kAlInit: return "INIT";
    case kAlPreOp: return "PRE_OP";
    case kAlBoot: return "BOOT";
    case kAlSafeOp: return "SAFE_OP";
    case kAlOp: return "OP";
    default: return "NONE";
  }
}

std::string Hex(unsigned v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseInt(const std::string& s, long long lo, long long hi, long long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (errno || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseDouble(const std::string& s, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (*end || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ParseState(const std::string& text, uint8_t* out) {
  const std::string s = Lower(text);
  if (s == "init") *out = kAlInit;
  else if (s == "pre_op" || s == "preop") *out = kAlPreOp;
  else if (s == "safe_op" || s == "safeop") *out = kAlSafeOp;
  else if (s == "op") *out = kAlOp;
  else if (s == "boot") *out = kAlBoot;
  else return false;
  return true;
}

const char kHelp[] =
    "ok commands:\n"
    "  ping                                   answer 'ok pong'\n"
    "  help                                   this text\n"
    "  list                                   boards and actuators\n"
    "  cable pull | cable pull after K | cable restore\n"
    "  board K silent | board K answer        ESC of board K dead (frames pass untouched) or alive\n"
    "  board K state INIT|PRE_OP|SAFE_OP|OP [error] [code 0xNNNN]\n"
    "  board K reset                          power cycle board K's controller\n"
    "  board K port P link down|up            the cable at port P (0 = in, 1 = out) unplugged or back\n"
    "  board K port P rx_errors N             N damaged frames arrive at port P\n"
    "  board K [port P] lost_links N          port P's (default 0) lost-link counter rises by N\n"
    "  loss F                                 lose fraction F (0..1) of the frames\n"
    "  actuator NAME fault none|no_handshake|no_enable|no_move|slow\n"
    "  actuator NAME limit X|off   (end stop: position never above X)\n"
    "  imu K magnitude X | imu K axis x|y|z|-x|-y|-z | imu K on|off\n"
    "  get K state | get K dc | get K imu | get K ports | get actuator NAME\n"
    "  stats | stats reset";

}  // namespace

struct SimNetwork::Impl {
  mutable std::mutex mu;
  NetworkPlan plan;
  std::vector<Board> boards;
  std::unordered_map<std::string, ActuatorRef> actuators;
  std::vector<std::string> actuator_order;
  bool cable_pulled = false;
  int cable_after = 0;
  double loss = 0;
  std::mt19937_64 rng;
  std::uniform_real_distribution<double> uniform{0.0, 1.0};
  FrameStats stats;
  std::vector<Datagram> datagrams;
  std::vector<FrameTiming> timing;
  uint64_t last_now = 0;  // host time of the latest frame

  // A cut between board j and board j + 1 (j = 0: between the master and
  // board 1): a pulled cable or a port taken down on either side.
  bool CutAfter(size_t j) const {
    if (cable_pulled && static_cast<size_t>(cable_after) == j) return true;
    if (j >= 1 && j <= boards.size() && (boards[j - 1].ports_down & 0x02)) return true;
    return j < boards.size() && (boards[j].ports_down & 0x01);
  }
  // Number of boards a frame reaches.
  size_t Reach() const {
    for (size_t j = 0; j < boards.size(); ++j) {
      if (CutAfter(j)) return j;
    }
    return boards.size();
  }
  // Tells every controller which of its ports has a link: port 0 unless the
  // cable into it is cut, port 1 unless it is the last board or the cable
  // out of it is cut.
  void UpdateLinks(bool count_losses) {
    for (size_t k = 0; k < boards.size(); ++k) {
      uint8_t links = CutAfter(k) ? 0 : 0x01;
      if (k + 1 < boards.size() && !CutAfter(k + 1)) links |= 0x02;
      boards[k].esc->SetLinks(links, count_losses);
    }
  }
  std::string PortCommand(int k, const std::vector<std::string>& t);
  std::string PortsReply(int k) const;

  int ReferenceBoard() const {
    for (size_t i = 0; i < boards.size(); ++i) {
      if (boards[i].esc->has_dc()) return static_cast<int>(i);
    }
    return -1;
  }

  bool Process(uint8_t* frame, size_t len, uint64_t now);
  std::string Execute(const std::vector<std::string>& t, uint64_t now);
  std::string BoardCommand(const std::vector<std::string>& t, uint64_t now);
  std::string GetCommand(const std::vector<std::string>& t, uint64_t now);
  std::string ImuCommand(const std::vector<std::string>& t);
  std::string List(uint64_t now);
  bool BoardIndex(const std::string& text, int* index, std::string* err) const {
    long long k;
    if (!ParseInt(text, 1, 1000000, &k) || k > static_cast<long long>(boards.size())) {
      *err = "error: no board '" + text + "' (boards are numbered 1.." + std::to_string(boards.size()) + ")";
      return false;
    }
    *index = static_cast<int>(k - 1);
    return true;
  }
};

SimNetwork::SimNetwork(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SimNetwork::~SimNetwork() = default;

uint64_t SimNetwork::MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::unique_ptr<SimNetwork> SimNetwork::FromYaml(const std::string& yaml_text, std::string* error) {
  auto impl = std::make_unique<Impl>();
  std::string err;
  if (!ParseNetworkPlan(yaml_text, &impl->plan, &err)) {
    if (error) *error = err;
    return nullptr;
  }
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
        auto model = MakeActuator(as.name, as.type, info, plan.dynamics);
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
  return std::unique_ptr<SimNetwork>(new SimNetwork(std::move(impl)));
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

  // Split into datagrams; a frame whose datagrams do not fit is destroyed on
  // the way, as a real controller would do with a corrupted frame.
  datagrams.clear();
  size_t off = kEthHeader + 2;
  for (;;) {
    if (off + 12 > len || datagrams.size() == kMaxDatagrams) {
      stats.OnMalformed();
      return false;
    }
    uint8_t* h = frame + off;
    const uint16_t word = Le16(h + 6);
    const uint16_t n = word & 0x07FF;
    if (off + 10 + n + 2 > len) {
      stats.OnMalformed();
      return false;
    }
    datagrams.push_back(Datagram{h, h + 10, n, h + 10 + n});
    off += 12 + n;
    if (!(word & 0x8000)) break;
  }

  // Timing through the line: the frame enters board k at t_k and, behind the
  // last board, comes back through every port 1.
  if (reach == 0) return true;
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

  const uint8_t first = datagrams[0].header[0];
  if (first == 0x0A || first == 0x0B || first == 0x0C) {
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
  return true;
}

// ---------------------------------------------------------------------------
// Control

void SimNetwork::SetCable(bool pulled, int after_board) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->cable_pulled = pulled;
  impl_->cable_after = pulled ? std::max(0, after_board) : 0;
  impl_->UpdateLinks(true);
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
  out->type = ActuatorTypeName(m.type());
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

std::string SimNetwork::Command(const std::string& line, uint64_t now_ns) {
  std::vector<std::string> t;
  std::istringstream in(line);
  for (std::string w; in >> w;) t.push_back(w);
  if (t.empty()) return "error: empty command (try 'help')";
  for (const std::string& w : t) {
    for (char c : w) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        return "error: the command contains non-printable characters";
      }
    }
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->Execute(t, now_ns);
}

std::string SimNetwork::Impl::Execute(const std::vector<std::string>& t, uint64_t now) {
  const std::string verb = Lower(t[0]);
  const size_t n = t.size();
  if (verb == "ping" && n == 1) return "ok pong";
  if (verb == "help") return kHelp;
  if (verb == "list" && n == 1) return List(now);
  if (verb == "cable") {
    if (n == 2 && Lower(t[1]) == "pull") {
      cable_pulled = true;
      cable_after = 0;
      UpdateLinks(true);
      return "ok cable pulled: frames are lost";
    }
    if (n == 4 && Lower(t[1]) == "pull" && Lower(t[2]) == "after") {
      int k;
      std::string err;
      if (!BoardIndex(t[3], &k, &err)) return err;
      cable_pulled = true;
      cable_after = k + 1;
      UpdateLinks(true);
      return "ok cable pulled after board " + std::to_string(k + 1);
    }
    if (n == 2 && Lower(t[1]) == "restore") {
      cable_pulled = false;
      cable_after = 0;
      UpdateLinks(false);
      return "ok cable restored";
    }
    return "error: usage: cable pull | cable pull after K | cable restore";
  }
  if (verb == "board") return BoardCommand(t, now);
  if (verb == "loss") {
    double f;
    if (n != 2 || !ParseDouble(t[1], &f) || f < 0 || f > 1) {
      return "error: usage: loss F, with F a fraction between 0 and 1 (e.g. loss 0.01)";
    }
    loss = f;
    return "ok loss " + t[1];
  }
  if (verb == "actuator") {
    if (n != 4 || (Lower(t[2]) != "fault" && Lower(t[2]) != "limit")) {
      return "error: usage: actuator NAME fault none|no_handshake|no_enable|no_move|slow"
             " | actuator NAME limit X|off";
    }
    auto it = actuators.find(t[1]);
    if (it == actuators.end()) return "error: no actuator named '" + t[1] + "'";
    if (Lower(t[2]) == "limit") {
      double limit = std::numeric_limits<double>::infinity();
      if (Lower(t[3]) != "off" && (!ParseDouble(t[3], &limit) || !std::isfinite(limit))) {
        return "error: usage: actuator NAME limit X|off, with X a position";
      }
      it->second.model->set_travel_limit(limit);
      return "ok actuator " + t[1] + " limit " + t[3];
    }
    ActuatorFault f;
    if (!ParseFault(Lower(t[3]), &f)) {
      return "error: unknown fault '" + t[3] + "' (none, no_handshake, no_enable, no_move, slow)";
    }
    it->second.model->set_fault(f);
    return "ok actuator " + t[1] + " fault " + FaultName(f);
  }
  if (verb == "imu") return ImuCommand(t);
  if (verb == "get") return GetCommand(t, now);
  if (verb == "stats") {
    if (n == 1) return "ok\n" + stats.Report();
    if (n == 2 && Lower(t[1]) == "reset") {
      stats.Reset();
      return "ok stats reset";
    }
    return "error: usage: stats | stats reset";
  }
  std::string shown = t[0].substr(0, 40);
  return "error: unknown command '" + shown + "' (try 'help')";
}

std::string SimNetwork::Impl::BoardCommand(const std::vector<std::string>& t, uint64_t now) {
  const char* usage =
      "error: usage: board K silent|answer|reset | board K state INIT|PRE_OP|SAFE_OP|OP [error] [code 0xNNNN]";
  if (t.size() < 3) return usage;
  int k;
  std::string err;
  if (!BoardIndex(t[1], &k, &err)) return err;
  Board& b = boards[k];
  const std::string what = Lower(t[2]);
  const std::string name = "board " + std::to_string(k + 1);
  if (what == "port" || what == "lost_links") return PortCommand(k, t);
  if (what == "silent" && t.size() == 3) {
    b.silent = true;
    return "ok " + name + " silent";
  }
  if (what == "answer" && t.size() == 3) {
    b.silent = false;
    return "ok " + name + " answers";
  }
  if (what == "reset" && t.size() == 3) {
    b.esc->PowerOn(now);
    return "ok " + name + " reset to INIT";
  }
  if (what == "state" && t.size() >= 4) {
    uint8_t s;
    if (!ParseState(t[3], &s)) return "error: unknown state '" + t[3] + "' (INIT, PRE_OP, SAFE_OP, OP)";
    bool error = false;
    long long code = 0;
    for (size_t i = 4; i < t.size(); ++i) {
      const std::string w = Lower(t[i]);
      if (w == "error") {
        error = true;
      } else if (w == "code" && i + 1 < t.size()) {
        if (!ParseInt(t[i + 1], 0, 0xFFFF, &code)) return "error: bad AL status code '" + t[i + 1] + "' (0..0xFFFF)";
        ++i;
      } else {
        return usage;
      }
    }
    b.esc->ForceState(s, error, static_cast<uint16_t>(code), now);
    return "ok " + name + " state " + StateName(s) + (error ? " error" : "") + " code " +
           Hex(static_cast<unsigned>(code), 4);
  }
  return usage;
}

// board K port P link down|up, board K port P rx_errors N,
// board K [port P] lost_links N.
std::string SimNetwork::Impl::PortCommand(int k, const std::vector<std::string>& t) {
  const char* usage =
      "error: usage: board K port P link down|up | board K port P rx_errors N | board K [port P] lost_links N";
  long long port = 0;
  size_t i = 2;
  if (Lower(t[i]) == "port") {
    if (t.size() < 5 || !ParseInt(t[3], 0, 3, &port)) return "error: ports are numbered 0..3";
    i = 4;
  }
  const std::string what = Lower(t[i]);
  const std::string where = "board " + std::to_string(k + 1) + " port " + std::to_string(port);
  if (t.size() != i + 2) return usage;
  if (what == "link" && i == 4) {
    const std::string v = Lower(t[i + 1]);
    if (v != "down" && v != "up") return usage;
    if (port > 1) return "error: a DCU has ports 0 and 1 only";
    const uint8_t bit = static_cast<uint8_t>(1u << port);
    boards[k].ports_down = static_cast<uint8_t>(v == "down" ? boards[k].ports_down | bit : boards[k].ports_down & ~bit);
    UpdateLinks(true);
    return "ok " + where + " link " + v;
  }
  long long n = 0;
  if ((what != "rx_errors" || i != 4) && what != "lost_links") return usage;
  if (!ParseInt(t[i + 1], 0, 1000000, &n)) return "error: the count must be a number between 0 and 1000000";
  const unsigned count = static_cast<unsigned>(n);
  if (what == "lost_links") {
    boards[k].esc->AddLostLinks(static_cast<int>(port), count);
    return "ok " + where + " lost_links +" + t[i + 1];
  }
  // The damaged frames travel on with an error mark: on the way out (port 0)
  // through the boards behind, in at their port 0, and back through port 1 of
  // every board before the end of the line; on the way back (port 1) through
  // port 1 of the boards before.
  boards[k].esc->AddRxErrors(static_cast<int>(port), count);
  const size_t reach = Reach();
  const size_t here = static_cast<size_t>(k);
  if (port == 0) {
    for (size_t j = here + 1; j < reach; ++j) boards[j].esc->AddForwardedRxErrors(0, count);
    for (size_t j = 0; j + 1 < reach; ++j) boards[j].esc->AddForwardedRxErrors(1, count);
  } else if (port == 1) {
    for (size_t j = 0; j < here && j < reach; ++j) boards[j].esc->AddForwardedRxErrors(1, count);
  }
  return "ok " + where + " rx_errors +" + t[i + 1];
}

std::string SimNetwork::Impl::PortsReply(int k) const {
  const Esc& e = *boards[k].esc;
  auto list = [&](uint16_t base, int step) {
    std::string s;
    for (int n = 0; n < 4; ++n) s += (n ? "," : "") + std::to_string(e.PeekByte(static_cast<uint16_t>(base + step * n)));
    return s;
  };
  std::string links;
  for (int n = 0; n < 4; ++n) links += (n ? "," : "") + std::to_string((e.links() >> n) & 1);
  const uint16_t dl = static_cast<uint16_t>(e.PeekByte(0x0110) | (e.PeekByte(0x0111) << 8));
  return "ok dl_status=" + Hex(dl, 4) + " links=" + links + " invalid_frames=" + list(0x0300, 2) +
         " rx_errors=" + list(0x0301, 2) + " forwarded=" + list(0x0308, 1) +
         " pu_errors=" + std::to_string(e.PeekByte(0x030C)) + " pdi_errors=" + std::to_string(e.PeekByte(0x030D)) +
         " lost_links=" + list(0x0310, 1) + " sm_watchdog=" + std::to_string(e.PeekByte(0x0442));
}

std::string SimNetwork::Impl::ImuCommand(const std::vector<std::string>& t) {
  const char* usage = "error: usage: imu K magnitude X | imu K axis x|y|z|-x|-y|-z | imu K on|off";
  if (t.size() < 3) return usage;
  int k;
  std::string err;
  if (!BoardIndex(t[1], &k, &err)) return err;
  DcuDevice* d = boards[k].dcu;
  if (!d) return "error: board " + std::to_string(k + 1) + " is not a DCU and has no IMU";
  const std::string what = Lower(t[2]);
  if (what == "magnitude" && t.size() == 4) {
    double x;
    if (!ParseDouble(t[3], &x) || x < 0 || x > 1000) return "error: magnitude must be a number between 0 and 1000";
    d->imu().gravity = x;
    return "ok imu " + std::to_string(k + 1) + " magnitude " + t[3];
  }
  if (what == "axis" && t.size() == 4) {
    const std::string a = Lower(t[3]);
    std::array<double, 3> v{};
    const bool neg = a.size() == 2 && a[0] == '-';
    const char c = a.empty() ? '?' : a.back();
    if ((a.size() != 1 && !neg) || (c != 'x' && c != 'y' && c != 'z')) return usage;
    v[c - 'x'] = neg ? -1 : 1;
    d->imu().axis = v;
    return "ok imu " + std::to_string(k + 1) + " axis " + a;
  }
  if ((what == "on" || what == "off") && t.size() == 3) {
    d->imu().present = what == "on";
    return "ok imu " + std::to_string(k + 1) + " " + what;
  }
  return usage;
}

std::string SimNetwork::Impl::GetCommand(const std::vector<std::string>& t, uint64_t now) {
  const char* usage = "error: usage: get K state | get K dc | get K imu | get actuator NAME";
  if (t.size() != 3) return usage;
  if (Lower(t[1]) == "actuator") {
    auto it = actuators.find(t[2]);
    if (it == actuators.end()) return "error: no actuator named '" + t[2] + "'";
    const ActuatorRef& r = it->second;
    const ActuatorModel& m = *r.model;
    std::ostringstream o;
    o.setf(std::ios::fixed);
    o.precision(6);
    o << "ok name=" << t[2] << " type=" << ActuatorTypeName(m.type()) << " board=" << boards[r.board].position
      << " channel=" << r.channel + 1 << " id=" << r.id << " enabled=" << (m.power_state() == 1 ? 1 : 0)
      << " power_state=" << m.power_state() << " position=" << m.position() << " velocity=" << m.velocity()
      << " effort=" << m.effort() << " fault=" << FaultName(m.fault()) << " handshake=" << (m.handshake() ? 1 : 0);
    return o.str();
  }
  int k;
  std::string err;
  if (!BoardIndex(t[1], &k, &err)) return err;
  Board& b = boards[k];
  const std::string what = Lower(t[2]);
  if (what == "state") {
    b.esc->CheckWatchdog(now);
    const uint16_t s = b.esc->al_status();
    return std::string("ok state=") + StateName(static_cast<uint8_t>(s)) + " status=" + Hex(s, 4) +
           " code=" + Hex(b.esc->al_code(), 4) + " error=" + ((s & kAlErrorBit) ? "1" : "0") +
           " address=" + Hex(b.esc->station_address(), 4) + " silent=" + (b.silent ? "1" : "0");
  }
  if (what == "dc") {
    const Esc& e = *b.esc;
    std::ostringstream o;
    o << "ok dc=" << (e.has_dc() ? 1 : 0) << " system_time=" << e.SystemTime(now)
      << " sync0=" << (e.sync0_running() ? 1 : 0) << " sync0_start=" << e.sync0_start()
      << " sync0_cycle=" << e.sync0_cycle() << " sync0_start_missed=" << (e.sync0_start_missed() ? 1 : 0);
    return o.str();
  }
  if (what == "ports") return PortsReply(k);
  if (what == "imu") {
    if (!b.dcu) return "error: board " + std::to_string(k + 1) + " is not a DCU and has no IMU";
    const ImuSettings& imu = b.dcu->imu();
    std::ostringstream o;
    o << "ok magnitude=" << imu.gravity << " axis=" << imu.axis[0] << "," << imu.axis[1] << "," << imu.axis[2]
      << " present=" << (imu.present ? 1 : 0) << " offset_applied=" << (b.dcu->imu_offset_applied() ? 1 : 0);
    return o.str();
  }
  return usage;
}

std::string SimNetwork::Impl::List(uint64_t now) {
  std::ostringstream o;
  o << "ok " << boards.size() << " boards";
  for (size_t k = 0; k < boards.size(); ++k) {
    Board& b = boards[k];
    b.esc->CheckWatchdog(now);
    const auto& sii = b.esc->settings().sii;
    o << "\nboard " << k + 1 << " " << (b.dcu ? "DCU" : sii.name);
    if (!b.dcu_name.empty()) o << " name=" << b.dcu_name;
    o << " state=" << StateName(static_cast<uint8_t>(b.esc->al_status()))
      << ((b.esc->al_status() & kAlErrorBit) ? "+ERROR" : "") << " out=" << sii.output_bytes
      << " in=" << sii.input_bytes << (b.silent ? " silent" : "");
  }
  for (const std::string& name : actuator_order) {
    const ActuatorRef& r = actuators[name];
    o << "\nactuator " << name << " " << ActuatorTypeName(r.model->type()) << " board=" << boards[r.board].position
      << " channel=" << r.channel + 1 << " id=" << r.id;
  }
  return o.str();
}

}  // namespace dcusim
