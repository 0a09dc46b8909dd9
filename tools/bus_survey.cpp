#include "tools/bus_survey.h"

#include <algorithm>
#include <cstdarg>
#include <map>

namespace businfo {

namespace {

// Highest bus position: the master's records hold 199 slaves.
constexpr uint32_t kMaxPosition = 199;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
  return out;
}

unsigned Rise(uint8_t before, uint8_t after) {
  return after >= before ? static_cast<unsigned>(after - before) : after;
}

// "dcu_left_arm", else the SII name of the slave, else "board N".
std::string BoardLabel(const std::vector<BoardRecord>& records, const std::vector<SlaveInfo>* slaves,
                       int position) {
  const std::string name = NameAt(records, position);
  if (!name.empty()) return name;
  if (slaves && position >= 1 && position <= static_cast<int>(slaves->size()) &&
      !(*slaves)[position - 1].name.empty()) {
    return (*slaves)[position - 1].name;
  }
  return "board " + std::to_string(position);
}

// The two ends of the cable at a port: port 0 leads to the board before (or
// the master), port 1 to the board behind.
std::string CableAt(const std::vector<BoardRecord>& records, int position, int port) {
  const std::string here = BoardLabel(records, nullptr, position);
  if (port == 0) {
    const std::string before = position == 1 ? "the master" : BoardLabel(records, nullptr, position - 1);
    return "the cable from " + before + " to " + here;
  }
  if (port == 1) return "the cable from " + here + " to " + BoardLabel(records, nullptr, position + 1);
  return "the cable at port " + std::to_string(port) + " of " + here;
}

}  // namespace

Counters DecodeCounters(const uint8_t errors[20], uint8_t sm_watchdog) {
  Counters c;
  for (int n = 0; n < kPorts; ++n) {
    c.invalid_frames[n] = errors[2 * n];
    c.rx_errors[n] = errors[2 * n + 1];
    c.forwarded_rx_errors[n] = errors[8 + n];
    c.lost_links[n] = errors[16 + n];
  }
  c.processing_unit_errors = errors[12];
  c.pdi_errors = errors[13];
  c.sm_watchdog = sm_watchdog;
  return c;
}

std::array<PortLink, kPorts> DecodeDlStatus(uint16_t dl_status) {
  std::array<PortLink, kPorts> ports;
  for (int n = 0; n < kPorts; ++n) {
    ports[n].link = dl_status & (1u << (4 + n));
    ports[n].loop_closed = dl_status & (1u << (8 + 2 * n));
    ports[n].communication = dl_status & (1u << (9 + 2 * n));
  }
  return ports;
}

std::string StateText(uint16_t al_status) {
  std::string text;
  switch (al_status & 0x0F) {
    case 0x01: text = "INIT"; break;
    case 0x02: text = "PRE_OP"; break;
    case 0x03: text = "BOOT"; break;
    case 0x04: text = "SAFE_OP"; break;
    case 0x08: text = "OP"; break;
    default: text = "NONE"; break;
  }
  if (al_status & 0x10) text += "+ERROR";
  return text;
}

const char* KindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::kMissing: return "missing";
    case FindingKind::kUnexpected: return "unexpected";
    case FindingKind::kWrongIdentity: return "wrong_identity";
    case FindingKind::kWrongSize: return "wrong_size";
    case FindingKind::kDuplicatePosition: return "duplicate_position";
    case FindingKind::kChainEnd: return "chain_end";
    case FindingKind::kErrorsRising: return "errors_rising";
    case FindingKind::kNotOperational: return "not_operational";
  }
  return "unknown";
}

std::vector<BoardRecord> RecordsOf(const std::vector<YAML::DcuConfig>& network) {
  std::vector<BoardRecord> records;
  for (const auto& dcu : network) records.push_back({dcu.name, dcu.ecat_id, dcu.enable});
  return records;
}

std::string NameAt(const std::vector<BoardRecord>& records, int position) {
  const BoardRecord* first = nullptr;
  for (const auto& r : records) {
    if (position <= 0 || r.position != static_cast<uint32_t>(position)) continue;
    if (r.enable) return r.name;
    if (first == nullptr) first = &r;
  }
  return first ? first->name : "";
}

std::vector<Finding> CompareWithFile(const std::vector<BoardRecord>& records,
                                     const std::vector<SlaveInfo>& slaves,
                                     const std::string& ifname) {
  std::vector<Finding> findings;
  const int found = static_cast<int>(slaves.size());

  // The file itself: two records for one position, positions that cannot be.
  std::map<uint32_t, std::string> first_at;
  for (const auto& r : records) {
    if (r.position == 0 || r.position > kMaxPosition) {
      findings.push_back({FindingKind::kMissing, 0, r.name,
                          Format("DCU %s has ecat_id %u, which is no bus position (1..%u).", r.name.c_str(),
                                 r.position, kMaxPosition)});
      continue;
    }
    if (!r.enable) continue;
    auto it = first_at.find(r.position);
    if (it == first_at.end()) {
      first_at[r.position] = r.name;
    } else {
      findings.push_back({FindingKind::kDuplicatePosition, static_cast<int>(r.position), r.name,
                          Format("DCU %s and DCU %s are both configured at position %u; one board cannot be both.",
                                 it->second.c_str(), r.name.c_str(), r.position)});
    }
  }
  // Positions only disabled records name: their boards may answer or not.
  std::map<uint32_t, std::string> optional_at;
  for (const auto& r : records) {
    if (!r.enable && r.position != 0 && r.position <= kMaxPosition && !first_at.count(r.position)) {
      optional_at.emplace(r.position, r.name);
    }
  }

  // The slaves that answer.
  for (const SlaveInfo& s : slaves) {
    const uint32_t position = static_cast<uint32_t>(s.position);
    const auto required = first_at.find(position);
    const auto optional = optional_at.find(position);
    if (required == first_at.end() && optional == optional_at.end()) {
      findings.push_back({FindingKind::kUnexpected, s.position, "",
                          Format("Slave %d (%s, vendor 0x%08x, product 0x%08x) is not named in the file.",
                                 s.position, s.name.c_str(), s.vendor, s.product)});
      continue;
    }
    const std::string& dcu = required != first_at.end() ? required->second : optional->second;
    if (s.vendor != kDcuVendorId || s.product != kDcuProductCode) {
      findings.push_back({FindingKind::kWrongIdentity, s.position, dcu,
                          Format("DCU %s (position %d) is not a DCU: it reports %s, vendor 0x%08x, product "
                                 "0x%08x; a DCU reports vendor 0x%08x, product 0x%08x.",
                                 dcu.c_str(), s.position, s.name.c_str(), s.vendor, s.product, kDcuVendorId,
                                 kDcuProductCode)});
    } else if (!s.sizes_known) {
      findings.push_back({FindingKind::kWrongSize, s.position, dcu,
                          Format("DCU %s (position %d): its process-data sizes cannot be read from its EEPROM.",
                                 dcu.c_str(), s.position)});
    } else if (s.output_bytes != kDcuProcessDataBytes || s.input_bytes != kDcuProcessDataBytes) {
      findings.push_back({FindingKind::kWrongSize, s.position, dcu,
                          Format("DCU %s (position %d) announces %u output bytes and %u input bytes; a DCU maps "
                                 "%u each way.",
                                 dcu.c_str(), s.position, s.output_bytes, s.input_bytes, kDcuProcessDataBytes)});
    }
  }

  // Configured boards behind the last one that answers: where the line ends.
  std::vector<std::pair<uint32_t, std::string>> missing;
  for (const auto& entry : first_at) {
    if (entry.first > static_cast<uint32_t>(found)) missing.push_back(entry);
  }
  if (missing.empty()) return findings;
  if (found == 0) {
    const std::string first = BoardLabel(records, nullptr, 1);
    findings.push_back({FindingKind::kChainEnd, 0, "",
                        Format("No slave answers on %s: check the cable from the master to %s and its power.",
                               ifname.c_str(), first.c_str())});
  } else {
    const SlaveInfo& last = slaves.back();
    const std::string here = BoardLabel(records, &slaves, found);
    const std::string next = BoardLabel(records, &slaves, found + 1);
    std::string text;
    if (!last.registers_read) {
      text = Format("The bus ends after board %d (%s): its link status cannot be read; check the cable from %s "
                    "to %s.",
                    found, here.c_str(), here.c_str(), next.c_str());
    } else if (!DecodeDlStatus(last.dl_status)[1].link) {
      text = Format("The bus ends after board %d (%s): port 1 has no link; check the cable from %s to %s.", found,
                    here.c_str(), here.c_str(), next.c_str());
    } else {
      text = Format("The bus ends after board %d (%s): port 1 has a link but nothing answers behind it; check "
                    "that %s has power, and the cable from %s to %s.",
                    found, here.c_str(), next.c_str(), here.c_str(), next.c_str());
    }
    Finding end{FindingKind::kChainEnd, found, NameAt(records, found), text};
    // Without a link behind the last slave, a cut cable and a board that
    // passes frames without answering look the same: list both.
    if (!last.registers_read || !DecodeDlStatus(last.dl_status)[1].link) {
      for (const auto& entry : missing) {
        end.candidates.push_back({static_cast<int>(entry.first), entry.second, true});
      }
      for (const auto& entry : first_at) {
        if (entry.first <= static_cast<uint32_t>(found)) {
          end.candidates.push_back({static_cast<int>(entry.first), entry.second, false});
        }
      }
      if (end.candidates.size() == missing.size()) end.candidates.clear();  // nothing to tell apart
    }
    findings.push_back(std::move(end));
  }
  for (const auto& entry : missing) {
    findings.push_back({FindingKind::kMissing, static_cast<int>(entry.first), entry.second,
                        Format("DCU %s (position %u) does not answer.", entry.second.c_str(), entry.first)});
  }
  return findings;
}

std::string DescribeCandidates(const Finding& finding, int found) {
  std::vector<std::string> cut, silent;
  for (const Candidate& c : finding.candidates) {
    (c.cut_off ? cut : silent).push_back(Format("%s (%d)", c.dcu.c_str(), c.position));
  }
  if (cut.empty() || silent.empty()) return "";
  std::string first_cut;
  for (const Candidate& c : finding.candidates) {
    if (c.cut_off) {
      first_cut = c.dcu;
      break;
    }
  }
  auto list = [](const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
      out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    }
    return out;
  };
  std::string text = Format("Only %d %s: either ", found, found == 1 ? "slave answers" : "slaves answer") +
                     list(cut) + (cut.size() == 1 ? " is" : " are") + " cut off (check the cable to " + first_cut +
                     " and its power), or " + (silent.size() == 1 ? "" : "one of ") + Join(silent, ", ") +
                     " passes frames without answering and every board behind it answers one position early, "
                     "so the slaves from its position on are the boards behind it.";
  return text;
}

// --- Watching ----------------------------------------------------------------

Counters Increase(const Counters& before, const Counters& after) {
  Counters c;
  for (int n = 0; n < kPorts; ++n) {
    c.invalid_frames[n] = static_cast<uint8_t>(Rise(before.invalid_frames[n], after.invalid_frames[n]));
    c.rx_errors[n] = static_cast<uint8_t>(Rise(before.rx_errors[n], after.rx_errors[n]));
    c.forwarded_rx_errors[n] =
        static_cast<uint8_t>(Rise(before.forwarded_rx_errors[n], after.forwarded_rx_errors[n]));
    c.lost_links[n] = static_cast<uint8_t>(Rise(before.lost_links[n], after.lost_links[n]));
  }
  c.processing_unit_errors =
      static_cast<uint8_t>(Rise(before.processing_unit_errors, after.processing_unit_errors));
  c.pdi_errors = static_cast<uint8_t>(Rise(before.pdi_errors, after.pdi_errors));
  c.sm_watchdog = static_cast<uint8_t>(Rise(before.sm_watchdog, after.sm_watchdog));
  return c;
}

void Totals::Add(const Counters& c) {
  for (int n = 0; n < kPorts; ++n) {
    invalid_frames[n] += c.invalid_frames[n];
    rx_errors[n] += c.rx_errors[n];
    forwarded_rx_errors[n] += c.forwarded_rx_errors[n];
    lost_links[n] += c.lost_links[n];
  }
  processing_unit_errors += c.processing_unit_errors;
  pdi_errors += c.pdi_errors;
  sm_watchdog += c.sm_watchdog;
}

bool Totals::Any() const {
  for (int n = 0; n < kPorts; ++n) {
    if (invalid_frames[n] || rx_errors[n] || forwarded_rx_errors[n] || lost_links[n]) return true;
  }
  return processing_unit_errors || pdi_errors || sm_watchdog;
}

std::string DescribeChange(const Counters& c) {
  std::vector<std::string> parts;
  for (int n = 0; n < kPorts; ++n) {
    std::vector<std::string> port;
    if (c.rx_errors[n]) port.push_back(Format("rx errors +%u", c.rx_errors[n]));
    if (c.invalid_frames[n]) port.push_back(Format("invalid frames +%u", c.invalid_frames[n]));
    if (c.forwarded_rx_errors[n]) port.push_back(Format("forwarded rx errors +%u", c.forwarded_rx_errors[n]));
    if (c.lost_links[n]) port.push_back(Format("lost links +%u", c.lost_links[n]));
    if (!port.empty()) parts.push_back(Format("port %d: ", n) + Join(port, ", "));
  }
  if (c.processing_unit_errors) parts.push_back(Format("processing-unit errors +%u", c.processing_unit_errors));
  if (c.pdi_errors) parts.push_back(Format("PDI errors +%u", c.pdi_errors));
  if (c.sm_watchdog) parts.push_back(Format("SM watchdog +%u", c.sm_watchdog));
  return Join(parts, "; ");
}

std::vector<Finding> WatchFindings(const WatchResult& watch, const std::vector<BoardRecord>& records) {
  std::vector<Finding> findings;
  if (!watch.ran) return findings;
  for (const WatchedBoard& b : watch.boards) {
    const std::string label = BoardLabel(records, nullptr, b.position);
    if (!b.op_failure.empty()) {
      findings.push_back({FindingKind::kNotOperational, b.position, b.dcu,
                          Format("Board %d (%s) did not reach OP: %s.", b.position, label.c_str(),
                                 b.op_failure.c_str())});
    } else if (!b.left_op.empty()) {
      findings.push_back({FindingKind::kNotOperational, b.position, b.dcu,
                          Format("Board %d (%s) left OP during the watch (second %d of %d): %s.", b.position,
                                 label.c_str(), b.left_op_second, watch.seconds, b.left_op.c_str())});
    }
    const Totals& t = b.total;
    for (int n = 0; n < kPorts; ++n) {
      std::vector<std::string> parts;
      if (t.rx_errors[n]) parts.push_back(Format("RX errors +%u", t.rx_errors[n]));
      if (t.invalid_frames[n]) parts.push_back(Format("invalid frames +%u", t.invalid_frames[n]));
      if (t.lost_links[n]) parts.push_back(Format("lost links +%u", t.lost_links[n]));
      if (parts.empty()) continue;  // forwarded errors alone point elsewhere
      findings.push_back({FindingKind::kErrorsRising, b.position, b.dcu,
                          Format("Errors rising on board %d (%s) port %d in %d s: ", b.position, label.c_str(), n,
                                 watch.seconds) +
                              Join(parts, ", ") + "; check " + CableAt(records, b.position, n) + "."});
    }
    std::vector<std::string> parts;
    if (t.processing_unit_errors) parts.push_back(Format("processing-unit errors +%u", t.processing_unit_errors));
    if (t.pdi_errors) parts.push_back(Format("PDI errors +%u", t.pdi_errors));
    if (t.sm_watchdog) parts.push_back(Format("SM watchdog expiries +%u", t.sm_watchdog));
    if (!parts.empty()) {
      findings.push_back({FindingKind::kErrorsRising, b.position, b.dcu,
                          Format("Errors rising on board %d (%s) in %d s: ", b.position, label.c_str(),
                                 watch.seconds) +
                              Join(parts, ", ") + "."});
    }
  }
  if (watch.wkc_misses > 0) {
    findings.push_back({FindingKind::kErrorsRising, 0, "",
                        Format("%llu of %llu cycles missed the working counter (expected %d) in %d s.",
                               static_cast<unsigned long long>(watch.wkc_misses),
                               static_cast<unsigned long long>(watch.cycles), watch.expected_wkc,
                               watch.seconds)});
  }
  return findings;
}

// --- Output ---------------------------------------------------------------

void Printer::Line(const char* before, const std::string& text, const char* after) const {
  std::fprintf(out_, "%s%s%s\n", before, text.c_str(), after);
  std::fflush(out_);
}
void Printer::Info(const std::string& text) const { Line("", "[INFO] " + text, ""); }
void Printer::Warn(const std::string& text) const { Line("\033[33m", "[WARN] " + text, "\033[0m"); }
void Printer::Error(const std::string& text) const { Line("\033[31m", "[ERROR] " + text, "\033[0m"); }
void Printer::Debug(const std::string& text) const { Line("\033[32m", "[DEBUG] " + text, "\033[0m"); }
void Printer::Plain(const std::string& text) const { Line("", text, ""); }

std::vector<std::string> DescribeSlave(const SlaveInfo& s, const std::string& dcu) {
  std::vector<std::string> lines;
  std::string sizes = s.sizes_known ? Format("outputs %u bytes, inputs %u bytes", s.output_bytes, s.input_bytes)
                                    : std::string("process-data sizes unknown");
  std::string dc = s.has_dc ? Format("DC delay %d ns", s.dc_delay_ns) : std::string("no DC");
  lines.push_back(Format("Slave %d (%s): %s, vendor 0x%08x, product 0x%08x, revision 0x%08x, serial %u, station "
                         "0x%04x, %s, AL status code 0x%04x (%s), ",
                         s.position, dcu.empty() ? "not in the file" : dcu.c_str(), s.name.c_str(), s.vendor,
                         s.product, s.revision, s.serial, s.station_address, StateText(s.al_status).c_str(),
                         s.al_status_code, s.al_status_text.c_str()) +
                  sizes + ", " + dc);
  if (!s.registers_read) {
    lines.push_back(Format("Slave %d ports: link status and error counters cannot be read", s.position));
    return lines;
  }
  const auto ports = DecodeDlStatus(s.dl_status);
  const Counters& c = s.counters;
  std::vector<std::string> parts;
  for (int n = 0; n < kPorts; ++n) {
    const bool counted = c.invalid_frames[n] || c.rx_errors[n] || c.forwarded_rx_errors[n] || c.lost_links[n];
    std::string p = Format("%d %s", n, ports[n].link ? "link" : "no link");
    if (n < 2 || counted) {
      p += Format(" (rx errors %u, invalid frames %u, forwarded %u, lost links %u)", c.rx_errors[n],
                  c.invalid_frames[n], c.forwarded_rx_errors[n], c.lost_links[n]);
    }
    parts.push_back(p);
  }
  lines.push_back(Format("Slave %d ports: ", s.position) + Join(parts, ", ") +
                  Format("; processing-unit errors %u, PDI errors %u, SM watchdog %u", c.processing_unit_errors,
                         c.pdi_errors, c.sm_watchdog));
  return lines;
}

namespace {

nlohmann::json NameOrNull(const std::string& name) {
  return name.empty() ? nlohmann::json(nullptr) : nlohmann::json(name);
}

nlohmann::json CountersJson(const Counters& c) {
  nlohmann::json ports = nlohmann::json::array();
  for (int n = 0; n < kPorts; ++n) {
    ports.push_back({{"port", n},
                     {"invalid_frames", c.invalid_frames[n]},
                     {"rx_errors", c.rx_errors[n]},
                     {"forwarded_rx_errors", c.forwarded_rx_errors[n]},
                     {"lost_links", c.lost_links[n]}});
  }
  return ports;
}

}  // namespace

nlohmann::json ToJson(const Report& report, const std::vector<BoardRecord>& records) {
  nlohmann::json doc;
  doc["config"] = report.config_path;
  doc["interface"] = report.ifname;
  doc["matches"] = report.Matches();
  doc["interrupted"] = report.interrupted;
  doc["slaves"] = nlohmann::json::array();
  for (const SlaveInfo& s : report.slaves) {
    nlohmann::json j;
    j["position"] = s.position;
    j["station_address"] = s.station_address;
    j["name"] = s.name;
    j["dcu"] = NameOrNull(NameAt(records, s.position));
    j["vendor"] = s.vendor;
    j["product"] = s.product;
    j["revision"] = s.revision;
    j["serial"] = s.serial;
    j["state"] = StateText(s.al_status);
    j["al_status_code"] = s.al_status_code;
    j["al_status_text"] = s.al_status_text;
    j["output_bytes"] = s.sizes_known ? nlohmann::json(s.output_bytes) : nlohmann::json(nullptr);
    j["input_bytes"] = s.sizes_known ? nlohmann::json(s.input_bytes) : nlohmann::json(nullptr);
    j["dc"] = s.has_dc;
    j["dc_delay_ns"] = s.dc_delay_ns;
    j["registers_read"] = s.registers_read;
    j["dl_status"] = s.dl_status;
    nlohmann::json ports = CountersJson(s.counters);
    const auto links = DecodeDlStatus(s.dl_status);
    for (int n = 0; n < kPorts; ++n) {
      ports[n]["link"] = s.registers_read && links[n].link;
      ports[n]["loop_closed"] = links[n].loop_closed;
      ports[n]["communication"] = links[n].communication;
    }
    j["ports"] = ports;
    j["processing_unit_errors"] = s.counters.processing_unit_errors;
    j["pdi_errors"] = s.counters.pdi_errors;
    j["sm_watchdog"] = s.counters.sm_watchdog;
    doc["slaves"].push_back(j);
  }
  doc["findings"] = nlohmann::json::array();
  for (const Finding& f : report.findings) {
    nlohmann::json j = {
        {"kind", KindName(f.kind)}, {"position", f.position}, {"dcu", NameOrNull(f.dcu)}, {"message", f.message}};
    if (!f.candidates.empty()) {
      nlohmann::json candidates = nlohmann::json::array();
      for (const Candidate& c : f.candidates) {
        candidates.push_back({{"position", c.position},
                              {"dcu", NameOrNull(c.dcu)},
                              {"fault", c.cut_off ? "cut_off" : "passes_frames_without_answering"}});
      }
      j["candidates"] = candidates;
    }
    doc["findings"].push_back(j);
  }
  if (report.watch.ran) {
    const WatchResult& w = report.watch;
    nlohmann::json watch;
    watch["seconds"] = w.seconds;
    watch["cycles"] = w.cycles;
    watch["expected_wkc"] = w.expected_wkc;
    watch["wkc_misses"] = w.wkc_misses;
    watch["boards"] = nlohmann::json::array();
    for (const WatchedBoard& b : w.boards) {
      nlohmann::json ports = nlohmann::json::array();
      for (int n = 0; n < kPorts; ++n) {
        ports.push_back({{"port", n},
                         {"invalid_frames", b.total.invalid_frames[n]},
                         {"rx_errors", b.total.rx_errors[n]},
                         {"forwarded_rx_errors", b.total.forwarded_rx_errors[n]},
                         {"lost_links", b.total.lost_links[n]}});
      }
      watch["boards"].push_back({{"position", b.position},
                                 {"dcu", NameOrNull(b.dcu)},
                                 {"in_op", b.in_op},
                                 {"left_op", NameOrNull(b.left_op)},
                                 {"ports", ports},
                                 {"processing_unit_errors", b.total.processing_unit_errors},
                                 {"pdi_errors", b.total.pdi_errors},
                                 {"sm_watchdog", b.total.sm_watchdog}});
    }
    doc["watch"] = watch;
  }
  return doc;
}

}  // namespace businfo
