// The control commands: one table (forms, help, handler) gives the help
// reply, the usage replies and the dispatch; the handlers below it parse
// their own arguments and answer.
#include "simulator/sim_commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <sstream>

#include "simulator/sim_network_impl.h"

namespace dcusim {

namespace {

using Impl = SimNetwork::Impl;
using Words = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Words and values

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

bool BoardIndex(const Impl& n, const std::string& text, int* index, std::string* err) {
  long long k;
  if (!ParseInt(text, 1, 1000000, &k) || k > static_cast<long long>(n.boards.size())) {
    *err = "error: no board '" + text + "' (boards are numbered 1.." + std::to_string(n.boards.size()) + ")";
    return false;
  }
  *index = static_cast<int>(k - 1);
  return true;
}

std::string UnknownCommand(const Words& t) { return "error: unknown command '" + t[0].substr(0, 40) + "' (try 'help')"; }

// One command being executed: its words, the time, and the usage replies
// taken from the table.
struct Call {
  const Words& t;
  uint64_t now;
  std::string usage;       // "error: usage: " and the forms of the row's handler
  std::string verb_usage;  // the same for every form of the verb
};

using Handler = std::string (*)(Impl&, const Call&);

struct CommandRow {
  std::string syntax;  // the forms, " | " between them; the first word is the verb
  const char* select;  // the third word that picks this row (e.g. "limit"); nullptr: any
  const char* help;    // aligned after the forms; a text in parentheses follows them closely
  Handler handler;
};

const std::vector<CommandRow>& Table();

// ---------------------------------------------------------------------------
// Handlers

std::string Ping(Impl&, const Call& c) { return c.t.size() == 1 ? "ok pong" : UnknownCommand(c.t); }

std::string Help(Impl&, const Call&) { return CommandHelp(); }

std::string List(Impl& n, const Call& c) {
  if (c.t.size() != 1) return UnknownCommand(c.t);
  std::ostringstream o;
  o << "ok " << n.boards.size() << " boards";
  for (size_t k = 0; k < n.boards.size(); ++k) {
    Board& b = n.boards[k];
    b.esc->CheckWatchdog(c.now);
    const auto& sii = b.esc->settings().sii;
    o << "\nboard " << k + 1 << " " << (b.dcu ? "DCU" : sii.name);
    if (!b.dcu_name.empty()) o << " name=" << b.dcu_name;
    o << " state=" << StateName(static_cast<uint8_t>(b.esc->al_status()))
      << ((b.esc->al_status() & kAlErrorBit) ? "+ERROR" : "") << " out=" << sii.output_bytes
      << " in=" << sii.input_bytes << (b.silent ? " silent" : "");
  }
  for (const std::string& name : n.actuator_order) {
    const ActuatorRef& r = n.actuators[name];
    o << "\nactuator " << name << " " << r.model->type_name() << " board=" << n.boards[r.board].position
      << " channel=" << r.channel + 1 << " id=" << r.id;
  }
  return o.str();
}

std::string Cable(Impl& n, const Call& c) {
  const Words& t = c.t;
  const std::string what = t.size() > 1 ? Lower(t[1]) : "";
  if (t.size() == 2 && what == "pull") {
    n.SetCable(true, 0);
    return "ok cable pulled: frames are lost";
  }
  if (t.size() == 4 && what == "pull" && Lower(t[2]) == "after") {
    int k;
    std::string err;
    if (!BoardIndex(n, t[3], &k, &err)) return err;
    n.SetCable(true, k + 1);
    return "ok cable pulled after board " + std::to_string(k + 1);
  }
  if (t.size() == 2 && what == "restore") {
    n.SetCable(false, 0);
    return "ok cable restored";
  }
  return c.usage;
}

std::string BoardState(Impl& n, const Call& c, int k) {
  const Words& t = c.t;
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
      return c.usage;
    }
  }
  n.boards[k].esc->ForceState(s, error, static_cast<uint16_t>(code), c.now);
  return "ok board " + std::to_string(k + 1) + " state " + StateName(s) + (error ? " error" : "") + " code " +
         Hex(static_cast<unsigned>(code), 4);
}

// board K silent|answer|reset, board K state ...
std::string BoardCommand(Impl& n, const Call& c) {
  const Words& t = c.t;
  if (t.size() < 3) return c.usage;
  int k;
  std::string err;
  if (!BoardIndex(n, t[1], &k, &err)) return err;
  Board& b = n.boards[k];
  const std::string what = Lower(t[2]);
  const std::string name = "board " + std::to_string(k + 1);
  if (what == "silent" && t.size() == 3) {
    b.silent = true;
    return "ok " + name + " silent";
  }
  if (what == "answer" && t.size() == 3) {
    b.silent = false;
    return "ok " + name + " answers";
  }
  if (what == "reset" && t.size() == 3) {
    b.esc->PowerOn(c.now);
    return "ok " + name + " reset to INIT";
  }
  if (what == "state" && t.size() >= 4) return BoardState(n, c, k);
  return c.usage;
}

// The damaged frames travel on with an error mark: on the way out (port 0)
// through the boards behind, in at their port 0, and back through port 1 of
// every board before the end of the line; on the way back (port 1) through
// port 1 of the boards before.
void InjectRxErrors(Impl& n, int k, int port, unsigned count) {
  n.boards[k].esc->AddRxErrors(port, count);
  const size_t reach = n.Reach();
  const size_t here = static_cast<size_t>(k);
  if (port == 0) {
    for (size_t j = here + 1; j < reach; ++j) n.boards[j].esc->AddForwardedRxErrors(0, count);
    for (size_t j = 0; j + 1 < reach; ++j) n.boards[j].esc->AddForwardedRxErrors(1, count);
  } else if (port == 1) {
    for (size_t j = 0; j < here && j < reach; ++j) n.boards[j].esc->AddForwardedRxErrors(1, count);
  }
}

// board K port P link down|up, board K port P rx_errors N,
// board K [port P] lost_links N.
std::string PortCommand(Impl& n, const Call& c) {
  const Words& t = c.t;
  int k;
  std::string err;
  if (!BoardIndex(n, t[1], &k, &err)) return err;
  long long port = 0;
  size_t i = 2;
  if (Lower(t[i]) == "port") {
    if (t.size() < 5 || !ParseInt(t[3], 0, 3, &port)) return "error: ports are numbered 0..3";
    i = 4;
  }
  const std::string what = Lower(t[i]);
  const std::string where = "board " + std::to_string(k + 1) + " port " + std::to_string(port);
  if (t.size() != i + 2) return c.usage;
  if (what == "link" && i == 4) {
    const std::string v = Lower(t[i + 1]);
    if (v != "down" && v != "up") return c.usage;
    if (port > 1) return "error: a DCU has ports 0 and 1 only";
    Board& b = n.boards[k];
    const uint8_t bit = static_cast<uint8_t>(1u << port);
    b.ports_down = static_cast<uint8_t>(v == "down" ? b.ports_down | bit : b.ports_down & ~bit);
    n.UpdateLinks(true);
    return "ok " + where + " link " + v;
  }
  long long count = 0;
  if ((what != "rx_errors" || i != 4) && what != "lost_links") return c.usage;
  if (!ParseInt(t[i + 1], 0, 1000000, &count)) return "error: the count must be a number between 0 and 1000000";
  if (what == "lost_links") {
    n.boards[k].esc->AddLostLinks(static_cast<int>(port), static_cast<unsigned>(count));
    return "ok " + where + " lost_links +" + t[i + 1];
  }
  InjectRxErrors(n, k, static_cast<int>(port), static_cast<unsigned>(count));
  return "ok " + where + " rx_errors +" + t[i + 1];
}

std::string Loss(Impl& n, const Call& c) {
  double f;
  if (c.t.size() != 2 || !ParseDouble(c.t[1], &f) || f < 0 || f > 1) {
    return c.usage + ", with F a fraction between 0 and 1 (e.g. loss 0.01)";
  }
  n.loss = f;
  return "ok loss " + c.t[1];
}

// The actuator named by the second word; nullptr with the reply in *err.
ActuatorModel* FindActuator(Impl& n, const std::string& name, std::string* err) {
  auto it = n.actuators.find(name);
  if (it != n.actuators.end()) return it->second.model;
  *err = "error: no actuator named '" + name + "'";
  return nullptr;
}

std::string ActuatorFaultCommand(Impl& n, const Call& c) {
  const Words& t = c.t;
  if (t.size() != 4) return c.verb_usage;
  std::string err;
  ActuatorModel* m = FindActuator(n, t[1], &err);
  if (!m) return err;
  ActuatorFault f;
  if (!ParseFault(Lower(t[3]), &f)) return "error: unknown fault '" + t[3] + "' (" + FaultNames(", ") + ")";
  m->set_fault(f);
  return "ok actuator " + t[1] + " fault " + FaultName(f);
}

std::string ActuatorLimitCommand(Impl& n, const Call& c) {
  const Words& t = c.t;
  if (t.size() != 4) return c.verb_usage;
  std::string err;
  ActuatorModel* m = FindActuator(n, t[1], &err);
  if (!m) return err;
  double limit = std::numeric_limits<double>::infinity();
  if (Lower(t[3]) != "off" && (!ParseDouble(t[3], &limit) || !std::isfinite(limit))) {
    return c.usage + ", with X a position";
  }
  m->set_travel_limit(limit);
  return "ok actuator " + t[1] + " limit " + t[3];
}

std::string ImuCommand(Impl& n, const Call& c) {
  const Words& t = c.t;
  if (t.size() < 3) return c.usage;
  int k;
  std::string err;
  if (!BoardIndex(n, t[1], &k, &err)) return err;
  DcuDevice* d = n.boards[k].dcu;
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
    const char axis = a.empty() ? '?' : a.back();
    if ((a.size() != 1 && !neg) || (axis != 'x' && axis != 'y' && axis != 'z')) return c.usage;
    v[axis - 'x'] = neg ? -1 : 1;
    d->imu().axis = v;
    return "ok imu " + std::to_string(k + 1) + " axis " + a;
  }
  if ((what == "on" || what == "off") && t.size() == 3) {
    d->imu().present = what == "on";
    return "ok imu " + std::to_string(k + 1) + " " + what;
  }
  return c.usage;
}

std::string ActuatorReply(const Impl& n, const std::string& name, const ActuatorRef& r) {
  const ActuatorModel& m = *r.model;
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(6);
  o << "ok name=" << name << " type=" << m.type_name() << " board=" << n.boards[r.board].position
    << " channel=" << r.channel + 1 << " id=" << r.id << " enabled=" << (m.power_state() == 1 ? 1 : 0)
    << " power_state=" << m.power_state() << " position=" << m.position() << " velocity=" << m.velocity()
    << " effort=" << m.effort() << " fault=" << FaultName(m.fault()) << " handshake=" << (m.handshake() ? 1 : 0);
  return o.str();
}

std::string StateReply(const Board& b, uint64_t now) {
  b.esc->CheckWatchdog(now);
  const uint16_t s = b.esc->al_status();
  return std::string("ok state=") + StateName(static_cast<uint8_t>(s)) + " status=" + Hex(s, 4) +
         " code=" + Hex(b.esc->al_code(), 4) + " error=" + ((s & kAlErrorBit) ? "1" : "0") +
         " address=" + Hex(b.esc->station_address(), 4) + " silent=" + (b.silent ? "1" : "0");
}

std::string DcReply(const Esc& e, uint64_t now) {
  std::ostringstream o;
  o << "ok dc=" << (e.has_dc() ? 1 : 0) << " system_time=" << e.SystemTime(now)
    << " sync0=" << (e.sync0_running() ? 1 : 0) << " sync0_start=" << e.sync0_start()
    << " sync0_cycle=" << e.sync0_cycle() << " sync0_start_missed=" << (e.sync0_start_missed() ? 1 : 0);
  return o.str();
}

std::string PortsReply(const Esc& e) {
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

std::string ImuReply(const DcuDevice& d) {
  const ImuSettings& imu = d.imu();
  std::ostringstream o;
  o << "ok magnitude=" << imu.gravity << " axis=" << imu.axis[0] << "," << imu.axis[1] << "," << imu.axis[2]
    << " present=" << (imu.present ? 1 : 0) << " offset_applied=" << (d.imu_offset_applied() ? 1 : 0);
  return o.str();
}

std::string GetCommand(Impl& n, const Call& c) {
  const Words& t = c.t;
  if (t.size() != 3) return c.usage;
  if (Lower(t[1]) == "actuator") {
    auto it = n.actuators.find(t[2]);
    if (it == n.actuators.end()) return "error: no actuator named '" + t[2] + "'";
    return ActuatorReply(n, t[2], it->second);
  }
  int k;
  std::string err;
  if (!BoardIndex(n, t[1], &k, &err)) return err;
  const Board& b = n.boards[k];
  const std::string what = Lower(t[2]);
  if (what == "state") return StateReply(b, c.now);
  if (what == "dc") return DcReply(*b.esc, c.now);
  if (what == "ports") return PortsReply(*b.esc);
  if (what == "imu") {
    if (!b.dcu) return "error: board " + std::to_string(k + 1) + " is not a DCU and has no IMU";
    return ImuReply(*b.dcu);
  }
  return c.usage;
}

std::string Stats(Impl& n, const Call& c) {
  if (c.t.size() == 1) return "ok\n" + n.stats.Report();
  if (c.t.size() == 2 && Lower(c.t[1]) == "reset") {
    n.stats.Reset();
    return "ok stats reset";
  }
  return c.usage;
}

// ---------------------------------------------------------------------------
// The table

const std::vector<CommandRow>& Table() {
  static const std::vector<CommandRow> rows = {
      {"ping", nullptr, "answer 'ok pong'", Ping},
      {"help", nullptr, "this text", Help},
      {"list", nullptr, "boards and actuators", List},
      {"cable pull | cable pull after K | cable restore", nullptr, "", Cable},
      {"board K silent | board K answer", nullptr, "ESC of board K dead (frames pass untouched) or alive",
       BoardCommand},
      {"board K state INIT|PRE_OP|SAFE_OP|OP [error] [code 0xNNNN]", nullptr, "", BoardCommand},
      {"board K reset", nullptr, "power cycle board K's controller", BoardCommand},
      {"board K port P link down|up", "port", "the cable at port P (0 = in, 1 = out) unplugged or back",
       PortCommand},
      {"board K port P rx_errors N", "port", "N damaged frames arrive at port P", PortCommand},
      {"board K [port P] lost_links N", "lost_links", "port P's (default 0) lost-link counter rises by N",
       PortCommand},
      {"loss F", nullptr, "lose fraction F (0..1) of the frames", Loss},
      {"actuator NAME fault " + FaultNames("|"), "fault", "", ActuatorFaultCommand},
      {"actuator NAME limit X|off", "limit", "(end stop: position never above X)", ActuatorLimitCommand},
      {"imu K magnitude X | imu K axis x|y|z|-x|-y|-z | imu K on|off", nullptr, "", ImuCommand},
      {"get K state | get K dc | get K imu | get K ports | get actuator NAME", nullptr, "", GetCommand},
      {"stats | stats reset", nullptr, "", Stats},
  };
  return rows;
}

std::string Verb(const CommandRow& row) { return row.syntax.substr(0, row.syntax.find(' ')); }

// "error: usage: " and the forms of every row of `verb` that `pick` accepts.
template <class Pick>
std::string Usage(const std::string& verb, Pick pick) {
  std::string forms;
  for (const CommandRow& row : Table()) {
    if (Verb(row) == verb && pick(row)) forms += (forms.empty() ? "" : " | ") + row.syntax;
  }
  return "error: usage: " + forms;
}

// The row a command runs: of its verb, the one its third word selects, else
// the first that selects none.
const CommandRow* PickRow(const Words& t) {
  const std::string verb = Lower(t[0]);
  const std::string third = t.size() > 2 ? Lower(t[2]) : "";
  const CommandRow* fallback = nullptr;
  for (const CommandRow& row : Table()) {
    if (Verb(row) != verb) continue;
    if (row.select && third == row.select) return &row;
    if (!row.select && !fallback) fallback = &row;
  }
  return fallback;
}

}  // namespace

std::vector<CommandForm> CommandForms() {
  std::vector<CommandForm> forms;
  for (const CommandRow& row : Table()) forms.push_back({row.syntax, row.help});
  return forms;
}

std::string CommandHelp() {
  std::string text = "ok commands:";
  for (const CommandRow& row : Table()) {
    std::string line = "  " + row.syntax;
    const std::string help = row.help;
    if (!help.empty() && help[0] == '(') {
      line += "   " + help;
    } else if (!help.empty()) {
      line.resize(std::max<size_t>(line.size() + 1, 41), ' ');
      line += help;
    }
    text += "\n" + line;
  }
  return text;
}

std::string SimNetwork::Impl::Execute(const std::vector<std::string>& t, uint64_t now) {
  const std::string verb = Lower(t[0]);
  const CommandRow* row = PickRow(t);
  const bool known = std::any_of(Table().begin(), Table().end(), [&](const CommandRow& r) { return Verb(r) == verb; });
  if (!known) return UnknownCommand(t);
  const std::string verb_usage = Usage(verb, [](const CommandRow&) { return true; });
  if (!row) return verb_usage;
  const Call call{t, now, Usage(verb, [row](const CommandRow& r) { return r.handler == row->handler; }), verb_usage};
  return row->handler(*this, call);
}

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

}  // namespace dcusim
