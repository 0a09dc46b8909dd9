#include "simulator/sim_config.h"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace dcusim {

namespace {

std::string Describe(const YAML::Node& n) {
  if (n.IsScalar()) return "'" + n.Scalar() + "'";
  if (n.IsSequence()) return "a list";
  if (n.IsMap()) return "a map";
  return "nothing";
}

// Typed reading with messages that name the key path.
class Reader {
 public:
  explicit Reader(std::string* error) : error_(error) {}

  bool Fail(const std::string& path, const std::string& what) {
    if (ok_) *error_ = path + ": " + what;
    ok_ = false;
    return false;
  }
  bool ok() const { return ok_; }

  bool Keys(const YAML::Node& map, const std::string& path, const std::set<std::string>& allowed) {
    if (!map.IsMap()) return Fail(path, "expected a map, got " + Describe(map));
    for (const auto& kv : map) {
      const std::string key = kv.first.Scalar();
      if (!allowed.count(key)) {
        std::string list;
        for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
        return Fail(path + "." + key, "unknown setting (known: " + list + ")");
      }
    }
    return true;
  }

  bool Double(const YAML::Node& n, const std::string& path, double* out, double lo, double hi) {
    if (!n) return true;
    double v;
    try {
      if (!n.IsScalar()) throw YAML::Exception(YAML::Mark(), "");
      v = n.as<double>();
    } catch (const YAML::Exception&) {
      return Fail(path, "expected a number, got " + Describe(n));
    }
    if (!std::isfinite(v) || v < lo || v > hi) {
      std::ostringstream s;
      s << "value " << n.Scalar() << " out of range [" << lo << ", " << hi << "]";
      return Fail(path, s.str());
    }
    *out = v;
    return true;
  }

  template <typename T>
  bool Uint(const YAML::Node& n, const std::string& path, T* out, uint64_t lo, uint64_t hi) {
    if (!n) return true;
    uint64_t v;
    try {
      if (!n.IsScalar()) throw YAML::Exception(YAML::Mark(), "");
      v = n.as<uint64_t>();
    } catch (const YAML::Exception&) {
      return Fail(path, "expected a non-negative integer, got " + Describe(n));
    }
    if (v < lo || v > hi) {
      std::ostringstream s;
      s << "value " << v << " out of range [" << lo << ", " << hi << "]";
      return Fail(path, s.str());
    }
    *out = static_cast<T>(v);
    return true;
  }

  bool Bool(const YAML::Node& n, const std::string& path, bool* out) {
    if (!n) return true;
    try {
      if (!n.IsScalar()) throw YAML::Exception(YAML::Mark(), "");
      *out = n.as<bool>();
    } catch (const YAML::Exception&) {
      return Fail(path, "expected true or false, got " + Describe(n));
    }
    return true;
  }

  bool String(const YAML::Node& n, const std::string& path, std::string* out) {
    if (!n) return true;
    if (!n.IsScalar()) return Fail(path, "expected text, got " + Describe(n));
    *out = n.Scalar();
    return true;
  }

  bool Axis(const YAML::Node& n, const std::string& path, std::array<double, 3>* out) {
    if (!n) return true;
    if (n.IsScalar()) {
      static const std::map<std::string, std::array<double, 3>> named = {
          {"x", {1, 0, 0}},  {"y", {0, 1, 0}},  {"z", {0, 0, 1}},
          {"-x", {-1, 0, 0}}, {"-y", {0, -1, 0}}, {"-z", {0, 0, -1}}};
      auto it = named.find(n.Scalar());
      if (it == named.end()) return Fail(path, "expected x, y, z, -x, -y, -z or [x, y, z], got " + Describe(n));
      *out = it->second;
      return true;
    }
    return Vector(n, path, out, true);
  }

  bool Vector(const YAML::Node& n, const std::string& path, std::array<double, 3>* out, bool nonzero) {
    if (!n) return true;
    if (!n.IsSequence() || n.size() != 3) return Fail(path, "expected a list of three numbers");
    std::array<double, 3> v{};
    for (size_t i = 0; i < 3; ++i) {
      if (!Double(n[i], path + "[" + std::to_string(i) + "]", &v[i], -1e6, 1e6)) return false;
    }
    if (nonzero && v[0] == 0 && v[1] == 0 && v[2] == 0) return Fail(path, "the vector must not be zero");
    *out = v;
    return true;
  }

 private:
  std::string* error_;
  bool ok_ = true;
};

// What every board gets unless a per-board setting says otherwise.
struct BoardDefaults {
  uint32_t vendor = kDefaultVendorId;
  uint32_t product = kDefaultProductCode;
  uint32_t revision = kDefaultRevision;
  uint32_t forward_delay = 800;
  double drift = 0;
  uint64_t watchdog_ms = 100;
  ImuSettings imu;

  BoardPlan Make(int position) const {
    BoardPlan b;
    b.position = position;
    b.sii.vendor_id = vendor;
    b.sii.product_code = product;
    b.sii.revision = revision;
    b.sii.serial = static_cast<uint32_t>(position);
    b.forward_delay_ns = forward_delay;
    b.drift_ppm = drift;
    b.watchdog_time = static_cast<uint16_t>(watchdog_ms * 10);
    b.imu = imu;
    return b;
  }
};

// Boards by bus position while the plan is laid out.
using Placed = std::map<int, BoardPlan>;

bool ReadImu(Reader& r, const YAML::Node& n, const std::string& path, ImuSettings* imu) {
  if (!n) return true;
  if (!r.Keys(n, path, {"gravity", "axis", "acc_noise", "gyro_noise", "gyro_bias", "present"})) return false;
  return r.Double(n["gravity"], path + ".gravity", &imu->gravity, 0, 1000) &&
         r.Axis(n["axis"], path + ".axis", &imu->axis) &&
         r.Double(n["acc_noise"], path + ".acc_noise", &imu->acc_noise, 0, 100) &&
         r.Double(n["gyro_noise"], path + ".gyro_noise", &imu->gyro_noise, 0, 100) &&
         r.Vector(n["gyro_bias"], path + ".gyro_bias", &imu->gyro_bias, false) &&
         r.Bool(n["present"], path + ".present", &imu->present);
}

// The programs' own section: read leniently, so that a file the programs
// reject still gives a network to test them against.
void ReadProgramSettings(const YAML::Node& zc, NetworkPlan* plan) {
  const YAML::Node eth = zc["ethercat"];
  if (!eth || !eth.IsMap()) return;
  if (eth["ifname"] && eth["ifname"].IsScalar()) plan->master_ifname = eth["ifname"].Scalar();
  try {
    if (eth["cycle_time_ns"]) plan->cycle_time_ns = eth["cycle_time_ns"].as<uint64_t>();
  } catch (const YAML::Exception&) {
    plan->warnings.push_back("ethercat.cycle_time_ns is not a number; no cycle time for the statistics");
  }
  try {
    if (eth["enable_dc"]) plan->enable_dc = eth["enable_dc"].as<bool>();
  } catch (const YAML::Exception&) {
  }
}

bool ReadDynamics(Reader& r, const YAML::Node& d, const std::string& dp, Dynamics* dy) {
  if (!d) return true;
  return r.Keys(d, dp, {"kinetra_a_inertia", "kinetra_a_damping", "kinetra_a_friction", "kinetra_b_speed",
                        "clavix_speed", "slow_factor"}) &&
         r.Double(d["kinetra_a_inertia"], dp + ".kinetra_a_inertia", &dy->kinetra_a_inertia, 1e-4, 100) &&
         r.Double(d["kinetra_a_damping"], dp + ".kinetra_a_damping", &dy->kinetra_a_damping, 0, 100) &&
         r.Double(d["kinetra_a_friction"], dp + ".kinetra_a_friction", &dy->kinetra_a_friction, 0, 100) &&
         r.Double(d["kinetra_b_speed"], dp + ".kinetra_b_speed", &dy->kinetra_b_speed, 0, 1000) &&
         r.Double(d["clavix_speed"], dp + ".clavix_speed", &dy->clavix_speed, 0, 1000) &&
         r.Double(d["slow_factor"], dp + ".slow_factor", &dy->slow_factor, 0, 1);
}

// The top-level simulation-only settings: network-wide switches and the
// defaults of every board.
bool ReadSimulatorSettings(Reader& r, const YAML::Node& sim, NetworkPlan* plan, BoardDefaults* defaults) {
  if (!sim) return true;
  if (!r.Keys(sim, "DcuSimulator",
              {"seed", "frame_loss", "forward_delay_ns", "drift_ppm", "watchdog_ms", "require_dc_for_op",
               "op_requires_outputs", "outputs_count_in_safe_op", "vendor_id", "product_code", "revision",
               "late_threshold", "imu", "dynamics", "boards", "extra_slaves", "actuator_faults",
               "actuator_limits", "scenario"})) {
    return false;
  }
  const std::string p = "DcuSimulator.";
  return r.Uint(sim["seed"], p + "seed", &plan->seed, 0, UINT64_MAX) &&
         r.Double(sim["frame_loss"], p + "frame_loss", &plan->frame_loss, 0, 1) &&
         r.Uint(sim["forward_delay_ns"], p + "forward_delay_ns", &defaults->forward_delay, 0, 1000000) &&
         r.Double(sim["drift_ppm"], p + "drift_ppm", &defaults->drift, -1000, 1000) &&
         r.Uint(sim["watchdog_ms"], p + "watchdog_ms", &defaults->watchdog_ms, 0, 6553) &&
         r.Bool(sim["require_dc_for_op"], p + "require_dc_for_op", &plan->require_dc_for_op) &&
         r.Bool(sim["op_requires_outputs"], p + "op_requires_outputs", &plan->op_requires_outputs) &&
         r.Bool(sim["outputs_count_in_safe_op"], p + "outputs_count_in_safe_op", &plan->outputs_count_in_safe_op) &&
         r.Uint(sim["vendor_id"], p + "vendor_id", &defaults->vendor, 0, UINT32_MAX) &&
         r.Uint(sim["product_code"], p + "product_code", &defaults->product, 0, UINT32_MAX) &&
         r.Uint(sim["revision"], p + "revision", &defaults->revision, 0, UINT32_MAX) &&
         r.Double(sim["late_threshold"], p + "late_threshold", &plan->late_threshold, 0.01, 10) &&
         ReadImu(r, sim["imu"], p + "imu", &defaults->imu) &&
         ReadDynamics(r, sim["dynamics"], p + "dynamics", &plan->dynamics);
}

// The actuators of one channel list of a DCU entry. Entries the programs
// would refuse are left out with a warning; names are unique network-wide.
void ReadChannel(const YAML::Node& list, int c, const std::string& where, BoardPlan* b,
                 std::set<std::string>* actuator_names, std::vector<std::string>* warnings) {
  for (size_t k = 0; k < list.size(); ++k) {
    const YAML::Node a = list[k];
    const std::string aw = where + "[" + std::to_string(k) + "]";
    if (!a.IsMap()) {
      warnings->push_back(aw + " is not a map; ignored");
      continue;
    }
    ActuatorPlan as;
    as.name = a["name"] && a["name"].IsScalar() ? a["name"].Scalar() : "";
    const std::string type = a["type"] && a["type"].IsScalar() ? a["type"].Scalar() : "";
    uint64_t id = 0;
    try {
      id = a["can_id"] ? a["can_id"].as<uint64_t>() : 0;
    } catch (const YAML::Exception&) {
    }
    as.kind = FindActuatorKind(type);
    if (!as.kind) {
      warnings->push_back(aw + " (" + as.name + "): unknown type '" + type + "'; no device in that slot");
      continue;
    }
    if (id < 1 || id > 8) {
      warnings->push_back(aw + " (" + as.name + "): can_id must be 1..8; no device for it");
      continue;
    }
    if (as.name.empty() || actuator_names->count(as.name)) {
      warnings->push_back(aw + ": missing or repeated actuator name '" + as.name + "'; ignored");
      continue;
    }
    bool taken = false;
    for (const auto& other : b->actuators) taken |= other.channel == c && other.id == static_cast<int>(id);
    if (taken) {
      warnings->push_back(aw + " (" + as.name + "): slot already used on this channel; ignored");
      continue;
    }
    as.channel = c;
    as.id = static_cast<int>(id);
    actuator_names->insert(as.name);
    b->actuators.push_back(as);
  }
}

// DCUs of the network, placed at their bus positions.
bool ReadDcuNetwork(Reader& r, const YAML::Node& zc, const BoardDefaults& defaults, Placed* placed,
                    NetworkPlan* plan) {
  std::set<std::string> actuator_names;
  const YAML::Node net = zc["dcu_network"];
  if (net && !net.IsSequence()) return r.Fail("ZorvikController.dcu_network", "expected a list of DCUs");
  if (!net) plan->warnings.push_back("no ZorvikController.dcu_network: only extra slaves are simulated");
  for (size_t i = 0; net && i < net.size(); ++i) {
    const YAML::Node d = net[i];
    const std::string where = "dcu_network[" + std::to_string(i) + "]";
    if (!d.IsMap()) {
      plan->warnings.push_back(where + " is not a map; skipped");
      continue;
    }
    std::string name = d["name"] && d["name"].IsScalar() ? d["name"].Scalar() : "";
    uint64_t pos = 0;
    try {
      pos = d["ecat_id"] ? d["ecat_id"].as<uint64_t>() : 0;
    } catch (const YAML::Exception&) {
      pos = 0;
    }
    if (pos < 1 || pos > static_cast<uint64_t>(kMaxBoards)) {
      plan->warnings.push_back(where + " (" + name + "): no usable ecat_id; no board for it");
      continue;
    }
    if (placed->count(static_cast<int>(pos))) {
      plan->warnings.push_back(where + " (" + name + "): ecat_id " + std::to_string(pos) +
                               " is taken by an earlier DCU; skipped");
      continue;
    }
    BoardPlan b = defaults.Make(static_cast<int>(pos));
    b.dcu_name = name;
    static const char* kChannels[3] = {"channel_1", "channel_2", "channel_3"};
    for (int c = 0; c < 3; ++c) {
      const YAML::Node list = d[kChannels[c]];
      if (!list) continue;
      if (!list.IsSequence()) {
        plan->warnings.push_back(where + "." + kChannels[c] + " is not a list; ignored");
        continue;
      }
      ReadChannel(list, c, where + "." + kChannels[c], &b, &actuator_names, &plan->warnings);
    }
    (*placed)[static_cast<int>(pos)] = b;
  }
  return true;
}

// One entry of DcuSimulator.extra_slaves: count boards of one kind, placed
// from a position on or (without one) kept in *appended for the end.
bool ReadExtraSlave(Reader& r, const YAML::Node& e, const std::string& p, const BoardDefaults& defaults,
                    Placed* placed, std::vector<BoardPlan>* appended) {
  if (!r.Keys(e, p,
              {"kind", "name", "position", "count", "output_bytes", "input_bytes", "dc", "vendor_id",
               "product_code", "revision", "drift_ppm"})) {
    return false;
  }
  std::string kind = "generic";
  uint64_t position = 0, count = 1;
  if (!r.String(e["kind"], p + ".kind", &kind) ||
      !r.Uint(e["position"], p + ".position", &position, 1, kMaxBoards) ||
      !r.Uint(e["count"], p + ".count", &count, 1, kMaxBoards)) {
    return false;
  }
  if (kind != "generic" && kind != "dcu") return r.Fail(p + ".kind", "expected generic or dcu, got '" + kind + "'");
  for (uint64_t k = 0; k < count; ++k) {
    BoardPlan b = defaults.Make(0);
    b.is_dcu = kind == "dcu";
    if (!b.is_dcu) {
      b.sii.name = "SIM-IO";
      b.sii.product_code = defaults.product + 1;
      b.sii.output_bytes = 8;
      b.sii.input_bytes = 8;
    }
    if (!r.String(e["name"], p + ".name", &b.sii.name) ||
        !r.Uint(e["output_bytes"], p + ".output_bytes", &b.sii.output_bytes, 0, kMaxPdoBytes) ||
        !r.Uint(e["input_bytes"], p + ".input_bytes", &b.sii.input_bytes, 0, kMaxPdoBytes) ||
        !r.Bool(e["dc"], p + ".dc", &b.dc) ||
        !r.Uint(e["vendor_id"], p + ".vendor_id", &b.sii.vendor_id, 0, UINT32_MAX) ||
        !r.Uint(e["product_code"], p + ".product_code", &b.sii.product_code, 0, UINT32_MAX) ||
        !r.Uint(e["revision"], p + ".revision", &b.sii.revision, 0, UINT32_MAX) ||
        !r.Double(e["drift_ppm"], p + ".drift_ppm", &b.drift_ppm, -1000, 1000)) {
      return false;
    }
    if (!position) {
      appended->push_back(b);
      continue;
    }
    const int at = static_cast<int>(position + k);
    if (at > kMaxBoards) return r.Fail(p + ".position", "beyond the last possible position");
    if (placed->count(at)) {
      const std::string& owner = (*placed)[at].dcu_name;
      return r.Fail(p + ".position", "position " + std::to_string(at) + " is already taken" +
                                         (owner.empty() ? "" : " by DCU " + owner));
    }
    b.position = at;
    (*placed)[at] = b;
  }
  return true;
}

// Extra slaves (other process-data sizes, or plain DCUs), then the whole
// line: the appended ones after the last placed board, and the gaps filled
// with plain DCUs (the physical board is there even if nobody configured
// it).
bool LayOutBoards(Reader& r, const YAML::Node& sim, const BoardDefaults& defaults, Placed* placed,
                  NetworkPlan* plan) {
  std::vector<BoardPlan> appended;
  if (sim && sim["extra_slaves"]) {
    const YAML::Node list = sim["extra_slaves"];
    if (!list.IsSequence()) return r.Fail("DcuSimulator.extra_slaves", "expected a list");
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string p = "DcuSimulator.extra_slaves[" + std::to_string(i) + "]";
      if (!ReadExtraSlave(r, list[i], p, defaults, placed, &appended)) return false;
    }
  }
  int last = placed->empty() ? 0 : placed->rbegin()->first;
  for (auto& b : appended) {
    b.position = ++last;
    (*placed)[last] = b;
  }
  if (last > kMaxBoards) return r.Fail("DcuSimulator.extra_slaves", "more than " + std::to_string(kMaxBoards) + " boards");
  for (int pos = 1; pos <= last; ++pos) {
    auto it = placed->find(pos);
    BoardPlan b = it != placed->end() ? it->second : defaults.Make(pos);
    b.position = pos;
    b.sii.serial = static_cast<uint32_t>(pos);
    plan->boards.push_back(b);
  }
  return true;
}

// DcuSimulator.boards: settings of single boards by position.
bool ReadBoardSettings(Reader& r, const YAML::Node& sim, NetworkPlan* plan) {
  if (!sim || !sim["boards"]) return true;
  const YAML::Node list = sim["boards"];
  if (!list.IsSequence()) return r.Fail("DcuSimulator.boards", "expected a list");
  for (size_t i = 0; i < list.size(); ++i) {
    const YAML::Node e = list[i];
    const std::string p = "DcuSimulator.boards[" + std::to_string(i) + "]";
    if (!r.Keys(e, p,
                {"position", "drift_ppm", "forward_delay_ns", "output_bytes", "input_bytes", "alias", "silent",
                 "dc", "watchdog_ms", "imu"})) {
      return false;
    }
    uint64_t position = 0;
    if (!e["position"]) return r.Fail(p + ".position", "missing");
    if (!r.Uint(e["position"], p + ".position", &position, 1, kMaxBoards)) return false;
    if (position > plan->boards.size()) {
      return r.Fail(p + ".position", "no board at position " + std::to_string(position) + " (the network has " +
                                         std::to_string(plan->boards.size()) + ")");
    }
    BoardPlan& b = plan->boards[position - 1];
    uint64_t wd = b.watchdog_time / 10;
    if (!r.Double(e["drift_ppm"], p + ".drift_ppm", &b.drift_ppm, -1000, 1000) ||
        !r.Uint(e["forward_delay_ns"], p + ".forward_delay_ns", &b.forward_delay_ns, 0, 1000000) ||
        !r.Uint(e["output_bytes"], p + ".output_bytes", &b.sii.output_bytes, 0, kMaxPdoBytes) ||
        !r.Uint(e["input_bytes"], p + ".input_bytes", &b.sii.input_bytes, 0, kMaxPdoBytes) ||
        !r.Uint(e["alias"], p + ".alias", &b.sii.alias, 0, 0xFFFF) ||
        !r.Bool(e["silent"], p + ".silent", &b.silent) || !r.Bool(e["dc"], p + ".dc", &b.dc) ||
        !r.Uint(e["watchdog_ms"], p + ".watchdog_ms", &wd, 0, 6553) ||
        !ReadImu(r, e["imu"], p + ".imu", &b.imu)) {
      return false;
    }
    b.watchdog_time = static_cast<uint16_t>(wd * 10);
  }
  return true;
}

// How one per-actuator setting changes the actuator's plan; empty when the
// value was refused (the reader holds the message).
using ActuatorSetting = std::function<void(ActuatorPlan*)>;

// A map of actuator name to one setting each (DcuSimulator.actuator_faults,
// actuator_limits): every value is read by read_value and applied to the
// actuator of that name, which must exist.
bool ReadPerActuator(Reader& r, const YAML::Node& sim, const std::string& key, const std::string& expected,
                     const std::function<ActuatorSetting(const YAML::Node&, const std::string&)>& read_value,
                     NetworkPlan* plan) {
  if (!sim || !sim[key]) return true;
  const YAML::Node map = sim[key];
  if (!map.IsMap()) return r.Fail("DcuSimulator." + key, expected);
  for (const auto& kv : map) {
    const std::string name = kv.first.Scalar();
    const std::string p = "DcuSimulator." + key + "." + name;
    const ActuatorSetting apply = read_value(kv.second, p);
    if (!apply) return false;
    bool found = false;
    for (auto& b : plan->boards) {
      for (auto& a : b.actuators) {
        if (a.name == name) {
          apply(&a);
          found = true;
        }
      }
    }
    if (!found) return r.Fail(p, "no actuator of that name in dcu_network");
  }
  return true;
}

// Actuator faults present from the start.
bool ReadActuatorFaults(Reader& r, const YAML::Node& sim, NetworkPlan* plan) {
  return ReadPerActuator(
      r, sim, "actuator_faults", "expected a map of actuator name to fault",
      [&r](const YAML::Node& value, const std::string& p) -> ActuatorSetting {
        std::string text;
        if (!r.String(value, p, &text)) return nullptr;
        ActuatorFault fault;
        if (!ParseFault(text, &fault)) {
          r.Fail(p, "unknown fault '" + text + "' (" + FaultNames(", ") + ")");
          return nullptr;
        }
        return [fault](ActuatorPlan* a) { a->fault = fault; };
      },
      plan);
}

// Mechanical end stops: the actuator's position never goes above the value.
bool ReadActuatorLimits(Reader& r, const YAML::Node& sim, NetworkPlan* plan) {
  return ReadPerActuator(
      r, sim, "actuator_limits", "expected a map of actuator name to position",
      [&r](const YAML::Node& value, const std::string& p) -> ActuatorSetting {
        double limit = 0;
        if (!r.Double(value, p, &limit, -1e9, 1e9)) return nullptr;
        return [limit](ActuatorPlan* a) { a->travel_limit = limit; };
      },
      plan);
}

// DcuSimulator.scenario: timed control commands, in the order they are
// played. Whether a command is one the control socket takes is checked
// when the network is built (CheckScenario).
bool ReadScenario(Reader& r, const YAML::Node& sim, NetworkPlan* plan) {
  if (!sim || !sim["scenario"]) return true;
  const YAML::Node list = sim["scenario"];
  if (!list.IsSequence()) return r.Fail("DcuSimulator.scenario", "expected a list, got " + Describe(list));
  double last = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string p = "DcuSimulator.scenario[" + std::to_string(i) + "]";
    const YAML::Node e = list[i];
    if (!r.Keys(e, p, {"at_ms", "command"})) return false;
    if (!e["at_ms"]) return r.Fail(p + ".at_ms", "missing (ms since the first process-data frame)");
    if (!e["command"]) return r.Fail(p + ".command", "missing (a control command, e.g. 'board 2 silent')");
    ScenarioStep step;
    if (!r.Double(e["at_ms"], p + ".at_ms", &step.at_ms, 0, 86400000) ||
        !r.String(e["command"], p + ".command", &step.command)) {
      return false;
    }
    if (step.at_ms < last) {
      std::ostringstream s;
      s << "at " << step.at_ms << " ms comes before the entry above it (" << last
        << " ms); the entries are played in the order written";
      return r.Fail(p + ".at_ms", s.str());
    }
    last = step.at_ms;
    plan->scenario.push_back(step);
  }
  return true;
}

}  // namespace

bool ParseNetworkPlan(const std::string& yaml_text, NetworkPlan* out, std::string* error) {
  *out = NetworkPlan();
  std::string scratch;
  if (!error) error = &scratch;
  YAML::Node root;
  try {
    root = YAML::Load(yaml_text);
  } catch (const YAML::Exception& e) {
    *error = std::string("the file is not valid YAML: ") + e.what();
    return false;
  }
  Reader r(error);
  if (!root.IsMap()) return r.Fail("(top level)", "expected a map with the key ZorvikController");
  const YAML::Node zc = root["ZorvikController"];
  if (!zc || !zc.IsMap()) return r.Fail("ZorvikController", "missing or not a map");
  NetworkPlan& plan = *out;
  ReadProgramSettings(zc, &plan);

  const YAML::Node sim = root["DcuSimulator"];
  BoardDefaults defaults;
  Placed placed;
  if (!ReadSimulatorSettings(r, sim, &plan, &defaults) || !ReadDcuNetwork(r, zc, defaults, &placed, &plan) ||
      !LayOutBoards(r, sim, defaults, &placed, &plan) || !ReadBoardSettings(r, sim, &plan)) {
    return false;
  }
  for (auto& b : plan.boards) b.sii.input_start = DefaultInputStart(b.sii.output_bytes);
  if (!ReadActuatorFaults(r, sim, &plan) || !ReadActuatorLimits(r, sim, &plan)) return false;
  if (!ReadScenario(r, sim, &plan)) return false;
  return r.ok();
}

}  // namespace dcusim
