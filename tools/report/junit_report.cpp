// The run record as JUnit XML (tinyxml2), as CI servers read it: one
// testsuite, one testcase per check, the bus figures as properties.
#include <cstdio>
#include <string>

#include <tinyxml2.h>

#include "tools/report/report_output.h"

namespace selftest {
namespace report {

namespace {

std::string Num(double value, int decimals = 3) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::string Readings(const Check& c) {
  std::string text;
  if (c.has_imu) {
    text += "acc " + Num(c.acc[0], 4) + ", " + Num(c.acc[1], 4) + ", " + Num(c.acc[2], 4) +
            "; gyro " + Num(c.gyro[0], 4) + ", " + Num(c.gyro[1], 4) + ", " + Num(c.gyro[2], 4) +
            "; magnitude " + Num(c.magnitude, 4) + " (expected 9.8 +/- 0.1)\n";
  }
  if (c.has_handshake) {
    char info[16];
    std::snprintf(info, sizeof(info), "0x%06X", c.info);
    text += "type code " + std::to_string(c.type_code) + ", information word " + info + "\n";
  }
  if (c.has_motion) {
    text += c.quantity + " target " + Num(c.target) + ", must be " + c.comparison + " " +
            Num(c.threshold) + "; " + std::to_string(c.polls.size()) + " readings";
    text += c.crossed ? ", crossed at " + Num(c.crossed_ms) + " ms\n" : ", never crossed\n";
    for (const auto& p : c.polls) text += "  " + Num(p.t_ms) + " ms: " + Num(p.value, 6) + "\n";
  }
  return text;
}

void Property(tinyxml2::XMLElement* properties, const std::string& name, const std::string& value) {
  tinyxml2::XMLElement* p = properties->InsertNewChildElement("property");
  p->SetAttribute("name", name.c_str());
  p->SetAttribute("value", value.c_str());
}

// The bus figures of the run as suite properties.
void BusProperties(tinyxml2::XMLElement* properties, const ethercat_manager::BusFigures& b) {
  Property(properties, "bus.interface", b.ifname);
  Property(properties, "bus.cycle_time_ns", std::to_string(b.cycle_time_ns));
  Property(properties, "bus.dc", b.enable_dc ? "on" : "off");
  Property(properties, "bus.slaves_found", std::to_string(b.slaves_found));
  for (const auto& s : b.slaves) {
    char identity[96];
    std::snprintf(identity, sizeof(identity), "vendor 0x%08X product 0x%08X revision 0x%08X state 0x%02X",
                  s.vendor_id, s.product_code, s.revision, s.state);
    std::string text = s.name + " " + identity;
    if ((s.state & 0x1F) != 0x08) {
      char code[16];
      std::snprintf(code, sizeof(code), "0x%04X", s.al_status_code);
      text += std::string(" AL status ") + code + " " + s.al_status_text;
    }
    Property(properties, "bus.slave." + std::to_string(s.position), text);
  }
  Property(properties, "bus.process_data_bytes", std::to_string(b.process_data_bytes));
  Property(properties, "bus.expected_wkc", std::to_string(b.expected_wkc));
  Property(properties, "bus.start_to_op_ms", b.reached_op ? Num(b.start_to_op_ms, 1) : "");
  Property(properties, "cycle.frames", std::to_string(b.frames));
  Property(properties, "cycle.short_wkc_frames", std::to_string(b.short_wkc_frames));
  Property(properties, "cycle.short_wkc_runs", std::to_string(b.short_wkc_runs));
  Property(properties, "cycle.short_wkc_single_runs", std::to_string(b.short_wkc_single_runs));
  Property(properties, "cycle.period_p50_us", Num(b.period_p50_ns / 1e3, 1));
  Property(properties, "cycle.period_p99_us", Num(b.period_p99_ns / 1e3, 1));
  Property(properties, "cycle.period_max_us", Num(static_cast<double>(b.period_max_ns) / 1e3, 1));
  Property(properties, "cycle.dc_phase_mean_ns", Num(b.dc_phase_mean_ns, 1));
  Property(properties, "cycle.dc_phase_std_ns", Num(b.dc_phase_std_ns, 1));
  Property(properties, "supervision.events", std::to_string(b.supervision.size()));
}

// One testcase per check: a failure with the readings, or skipped, or the
// readings as system-out.
void Testcase(tinyxml2::XMLElement* suite, const std::string& tool, const Check& c) {
  tinyxml2::XMLElement* tc = suite->InsertNewChildElement("testcase");
  tc->SetAttribute("name", c.id.c_str());
  tc->SetAttribute("classname", tool.c_str());
  tc->SetAttribute("time", Num(c.duration_ms / 1e3).c_str());
  const std::string readings = Readings(c);
  if (c.verdict == "fail") {
    tinyxml2::XMLElement* f = tc->InsertNewChildElement("failure");
    f->SetAttribute("message", (c.message.empty() ? c.name + " failed" : c.message).c_str());
    f->SetAttribute("type", "check");
    if (!readings.empty()) f->SetText(readings.c_str());
  } else if (c.verdict == "skipped") {
    tinyxml2::XMLElement* s = tc->InsertNewChildElement("skipped");
    if (!c.message.empty()) s->SetAttribute("message", c.message.c_str());
  }
  if (c.verdict != "fail" && !readings.empty()) {
    tc->InsertNewChildElement("system-out")->SetText(readings.c_str());
  }
}

}  // namespace

std::string ToJunit(const RunRecord& r) {
  tinyxml2::XMLDocument doc;
  doc.InsertEndChild(doc.NewDeclaration());
  tinyxml2::XMLElement* suites = doc.NewElement("testsuites");
  doc.InsertEndChild(suites);
  tinyxml2::XMLElement* suite = suites->InsertNewChildElement("testsuite");

  int failures = 0, skipped = 0, errors = 0;
  for (const auto& c : r.checks) {
    failures += c.verdict == "fail";
    skipped += c.verdict == "skipped";
  }
  const bool interrupted = r.verdict == "interrupted";
  errors = interrupted ? 1 : 0;
  const int tests = static_cast<int>(r.checks.size()) + errors;

  suite->SetAttribute("name", r.tool.c_str());
  suite->SetAttribute("tests", tests);
  suite->SetAttribute("failures", failures);
  suite->SetAttribute("errors", errors);
  suite->SetAttribute("skipped", skipped);
  suite->SetAttribute("time", Num(r.duration_s).c_str());
  // JUnit timestamps carry no zone; the value is UTC.
  std::string timestamp = r.started;
  if (!timestamp.empty() && timestamp.back() == 'Z') timestamp.pop_back();
  suite->SetAttribute("timestamp", timestamp.c_str());
  suites->SetAttribute("name", r.tool.c_str());
  suites->SetAttribute("tests", tests);
  suites->SetAttribute("failures", failures);
  suites->SetAttribute("errors", errors);
  suites->SetAttribute("time", Num(r.duration_s).c_str());

  tinyxml2::XMLElement* properties = suite->InsertNewChildElement("properties");
  Property(properties, "version", r.version);
  Property(properties, "verdict", r.verdict);
  Property(properties, "config", r.config_path);
  Property(properties, "config_sha256", r.config_sha256);
  if (r.has_bus) BusProperties(properties, r.bus);
  for (const auto& name : r.maybe_enabled) Property(properties, "maybe_enabled", name);

  for (const auto& c : r.checks) Testcase(suite, r.tool, c);
  if (interrupted) {
    tinyxml2::XMLElement* tc = suite->InsertNewChildElement("testcase");
    tc->SetAttribute("name", "run");
    tc->SetAttribute("classname", r.tool.c_str());
    tinyxml2::XMLElement* e = tc->InsertNewChildElement("error");
    e->SetAttribute("message", "interrupted by Ctrl-C or SIGTERM");
    e->SetAttribute("type", "interrupted");
  }

  tinyxml2::XMLPrinter printer;
  doc.Print(&printer);
  return printer.CStr();
}

}  // namespace report
}  // namespace selftest
