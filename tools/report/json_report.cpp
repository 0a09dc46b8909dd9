// The run record as JSON (nlohmann-json).
#include <cstdio>

#include <nlohmann/json.hpp>

#include "tools/report/report_output.h"

namespace selftest {
namespace report {

namespace {

using nlohmann::json;

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

const char* StateName(uint16_t state) {
  switch (state & 0x0F) {
    case 0x00: return "NONE";
    case 0x01: return "INIT";
    case 0x02: return "PRE_OP";
    case 0x03: return "BOOT";
    case 0x04: return "SAFE_OP";
    case 0x08: return "OP";
    default: return "UNKNOWN";
  }
}

json StateJson(uint16_t state) {
  std::string text = StateName(state);
  if (state & 0x10) text += "+ERROR";
  return {{"code", state}, {"text", text}};
}

json BusJson(const RunRecord& r) {
  const ethercat_manager::BusFigures& b = r.bus;
  json slaves = json::array();
  for (const auto& s : b.slaves) {
    json j = {{"position", s.position},
              {"name", s.name},
              {"vendor", Hex(s.vendor_id, 8)},
              {"product", Hex(s.product_code, 8)},
              {"revision", Hex(s.revision, 8)},
              {"state", StateJson(s.state)},
              {"output_bytes", s.output_bytes},
              {"input_bytes", s.input_bytes}};
    if ((s.state & 0x1F) != 0x08) {
      j["al_status"] = {{"code", Hex(s.al_status_code, 4)}, {"text", s.al_status_text}};
    }
    slaves.push_back(j);
  }
  return {{"interface", b.ifname},
          {"cycle_time_ns", b.cycle_time_ns},
          {"dc", b.enable_dc},
          {"slaves_found", b.slaves_found},
          {"slaves", slaves},
          {"process_data_bytes", b.process_data_bytes},
          {"expected_wkc", b.expected_wkc},
          {"reached_op", b.reached_op},
          {"start_to_op_ms", b.reached_op ? json(b.start_to_op_ms) : json(nullptr)},
          {"first_process_data_ms", b.first_process_data_ms >= 0 ? json(b.first_process_data_ms) : json(nullptr)}};
}

json CycleJson(const ethercat_manager::BusFigures& b) {
  // The histogram up to its last non-empty bin.
  size_t used = b.period_histogram.size();
  while (used > 0 && b.period_histogram[used - 1] == 0) --used;
  json counts = json::array();
  for (size_t i = 0; i < used; ++i) counts.push_back(b.period_histogram[i]);
  return {{"frames", b.frames},
          {"short_wkc_frames", b.short_wkc_frames},
          {"short_wkc_runs", b.short_wkc_runs},
          {"short_wkc_single_runs", b.short_wkc_single_runs},
          {"period_us",
           {{"p50", b.period_p50_ns / 1e3}, {"p99", b.period_p99_ns / 1e3},
            {"max", static_cast<double>(b.period_max_ns) / 1e3}}},
          {"period_histogram",
           {{"bin_us", b.period_bin_ns / 1e3}, {"last_bin_open", true}, {"counts", counts}}},
          {"dc_phase_ns",
           {{"samples", b.dc_samples}, {"mean", b.dc_phase_mean_ns}, {"std", b.dc_phase_std_ns}}}};
}

json SupervisionJson(const ethercat_manager::BusFigures& b) {
  json events = json::array();
  for (const auto& e : b.supervision) {
    json j = {{"t_ms", e.offset_ms}, {"event", e.kind}};
    if (e.board.empty()) {
      j["wkc"] = e.wkc;
      j["expected_wkc"] = e.expected_wkc;
    } else {
      j["board"] = e.board;
      j["position"] = e.position;
      j["state"] = StateJson(e.state);
      j["al_status_code"] = Hex(e.al_status_code, 4);
    }
    events.push_back(j);
  }
  return events;
}

json CountersJson(const RunRecord& r) {
  if (r.counters_from_ms < 0 || r.counters_to_ms < 0) return nullptr;
  auto ports = [](const uint32_t (&v)[4]) { return json::array({v[0], v[1], v[2], v[3]}); };
  json boards = json::array();
  for (const CounterRise& c : r.counter_rises) {
    boards.push_back({{"position", c.position},
                      {"dcu", c.dcu},
                      {"rx_errors", ports(c.rx_errors)},
                      {"invalid_frames", ports(c.invalid_frames)},
                      {"forwarded_rx_errors", ports(c.forwarded_rx_errors)},
                      {"lost_links", ports(c.lost_links)},
                      {"processing_unit_errors", c.processing_unit_errors},
                      {"pdi_errors", c.pdi_errors}});
  }
  return {{"from_ms", r.counters_from_ms}, {"to_ms", r.counters_to_ms}, {"rises", boards}};
}

json CaptureJson(const RunRecord& r) {
  if (!r.has_capture) return nullptr;
  const CaptureRecord& c = r.capture;
  json j = {{"path", c.path}, {"written", c.written}};
  if (c.written) {
    j["frames"] = c.frames;
    j["left_out"] = c.left_out;
    j["kernel_dropped"] = c.kernel_dropped;
  } else {
    j["error"] = c.error;
  }
  return j;
}

json CheckJson(const Check& c) {
  json j = {{"id", c.id}, {"name", c.name}, {"verdict", c.verdict}, {"duration_ms", c.duration_ms}};
  if (!c.message.empty()) j["message"] = c.message;
  json readings = json::object();
  if (c.has_imu) {
    readings["acc"] = {c.acc[0], c.acc[1], c.acc[2]};
    readings["gyro"] = {c.gyro[0], c.gyro[1], c.gyro[2]};
    readings["magnitude"] = c.magnitude;
    readings["expected"] = 9.8;
    readings["tolerance"] = 0.1;
  }
  if (c.has_handshake) {
    readings["type_code"] = c.type_code;
    readings["info"] = c.info;
    readings["info_hex"] = Hex(c.info, 6);
  }
  if (c.has_motion) {
    json polls = json::array();
    for (const auto& p : c.polls) polls.push_back({{"t_ms", p.t_ms}, {"value", p.value}});
    readings["quantity"] = c.quantity;
    readings["target"] = c.target;
    readings["threshold"] = c.threshold;
    readings["comparison"] = c.comparison;
    readings["polls"] = polls;
    readings["crossed_ms"] = c.crossed ? json(c.crossed_ms) : json(nullptr);
  }
  if (!readings.empty()) j["readings"] = readings;
  return j;
}

}  // namespace

std::string ToJson(const RunRecord& r) {
  json checks = json::array();
  for (const auto& c : r.checks) checks.push_back(CheckJson(c));
  json j = {{"tool", r.tool},
            {"version", r.version},
            {"config", {{"path", r.config_path},
                        {"sha256", r.config_sha256.empty() ? json(nullptr) : json(r.config_sha256)}}},
            {"started", r.started},
            {"duration_s", r.duration_s},
            {"verdict", r.verdict},
            {"failures", r.failures},
            {"bus", r.has_bus ? BusJson(r) : json(nullptr)},
            {"cycle", r.has_bus ? CycleJson(r.bus) : json(nullptr)},
            {"supervision", r.has_bus ? SupervisionJson(r.bus) : json::array()},
            {"counters", CountersJson(r)},
            {"capture", CaptureJson(r)},
            {"checks", checks},
            {"maybe_enabled", r.maybe_enabled}};
  // Invalid UTF-8 (a configuration path, an exception text) is replaced
  // rather than failing the report.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace report
}  // namespace selftest
