// The bus survey's reasoning without a bus: what it concludes from the
// slaves found and the file, how it counts rising errors and what its JSON
// document holds. No bus, no root.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/bus_survey.h"

namespace {

using businfo::BoardRecord;
using businfo::Finding;
using businfo::FindingKind;
using businfo::SlaveInfo;

// A healthy DCU at a position; `last` sets the DL status of a line's end.
SlaveInfo Dcu(int position, bool last = false) {
  SlaveInfo s;
  s.position = position;
  s.station_address = static_cast<uint16_t>(0x1000 + position);
  s.name = "DCU";
  s.vendor = businfo::kDcuVendorId;
  s.product = businfo::kDcuProductCode;
  s.revision = 0x00010000;
  s.sizes_known = true;
  s.output_bytes = s.input_bytes = 240;
  s.al_status = 0x02;
  s.registers_read = true;
  s.dl_status = last ? 0x5613 : 0x5A33;
  return s;
}

std::vector<BoardRecord> Arms() {
  return {{"dcu_left_arm", 1, true}, {"dcu_right_arm", 2, true}, {"dcu_legs", 3, false}};
}

// The same line with the legs board enabled.
std::vector<BoardRecord> ArmsAndLegs() {
  std::vector<BoardRecord> records = Arms();
  records.back().enable = true;
  return records;
}

std::vector<std::string> Kinds(const std::vector<Finding>& findings) {
  std::vector<std::string> kinds;
  for (const auto& f : findings) kinds.push_back(businfo::KindName(f.kind));
  return kinds;
}

TEST(BusCompare, MatchingLineHasNoFinding) {
  EXPECT_TRUE(businfo::CompareWithFile(Arms(), {Dcu(1), Dcu(2), Dcu(3, true)}, "eth0").empty());
}

TEST(BusCompare, LineEndingEarlyNamesTheCableAndEveryMissingBoard) {
  const auto f = businfo::CompareWithFile(ArmsAndLegs(), {Dcu(1), Dcu(2, true)}, "eth0");
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"chain_end", "missing"}));
  EXPECT_EQ(f[0].position, 2);
  EXPECT_EQ(f[0].dcu, "dcu_right_arm");
  EXPECT_EQ(f[0].message,
            "The bus ends after board 2 (dcu_right_arm): port 1 has no link; check the cable from dcu_right_arm "
            "to dcu_legs.");
  EXPECT_EQ(f[1].message, "DCU dcu_legs (position 3) does not answer.");

  // A link behind the last board that answers: the next board is dead, not the cable.
  SlaveInfo linked = Dcu(2);
  const auto g = businfo::CompareWithFile(ArmsAndLegs(), {Dcu(1), linked}, "eth0");
  EXPECT_NE(g[0].message.find("port 1 has a link but nothing answers behind it; check that dcu_legs has power"),
            std::string::npos)
      << g[0].message;

  // Registers unreadable: say so rather than guess the port.
  linked.registers_read = false;
  const auto h = businfo::CompareWithFile(ArmsAndLegs(), {Dcu(1), linked}, "eth0");
  EXPECT_NE(h[0].message.find("its link status cannot be read"), std::string::npos) << h[0].message;
}

// Five boards configured, four answer and the last has no link behind it:
// the fifth may be cut off, or any of the first four may pass frames without
// answering (then the boards behind it answer one position early). The
// survey lists them all, as text and in the JSON document.
TEST(BusCompare, ShortLineWithoutLinkListsEveryCandidate) {
  const std::vector<BoardRecord> legs = {{"dcu_torso", 1, true},     {"dcu_left_arm", 2, true},
                                         {"dcu_right_arm", 3, true}, {"dcu_left_leg", 4, true},
                                         {"dcu_right_leg", 5, true}};
  const std::vector<SlaveInfo> four = {Dcu(1), Dcu(2), Dcu(3), Dcu(4, true)};
  const auto f = businfo::CompareWithFile(legs, four, "eth0");
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"chain_end", "missing"}));
  // The existing lines stay as they were.
  EXPECT_EQ(f[0].message,
            "The bus ends after board 4 (dcu_left_leg): port 1 has no link; check the cable from dcu_left_leg to "
            "dcu_right_leg.");
  ASSERT_EQ(f[0].candidates.size(), 5u);
  EXPECT_EQ(f[0].candidates[0].dcu, "dcu_right_leg");
  EXPECT_TRUE(f[0].candidates[0].cut_off);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(f[0].candidates[k].position, k);
    EXPECT_FALSE(f[0].candidates[k].cut_off);
  }
  EXPECT_EQ(businfo::DescribeCandidates(f[0], 4),
            "Only 4 slaves answer: either dcu_right_leg (5) is cut off (check the cable to dcu_right_leg and its "
            "power), or one of dcu_torso (1), dcu_left_arm (2), dcu_right_arm (3), dcu_left_leg (4) passes frames "
            "without answering and every board behind it answers one position early, so the slaves from its "
            "position on are the boards behind it.");
  EXPECT_EQ(businfo::DescribeCandidates(f[1], 4), "");

  businfo::Report report;
  report.bus_opened = true;
  report.slaves = four;
  report.findings = f;
  const nlohmann::json doc = businfo::ToJson(report, legs);
  const auto& c = doc["findings"][0]["candidates"];
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0], (nlohmann::json{{"position", 5}, {"dcu", "dcu_right_leg"}, {"fault", "cut_off"}}));
  EXPECT_EQ(c[3], (nlohmann::json{{"position", 3}, {"dcu", "dcu_right_arm"},
                                  {"fault", "passes_frames_without_answering"}}));
  EXPECT_FALSE(doc["findings"][1].contains("candidates"));

  // Unreadable registers cannot rule out a silent board either; one board
  // alone: "is", no "one of".
  SlaveInfo unread = Dcu(1);
  unread.registers_read = false;
  const auto g = businfo::CompareWithFile(ArmsAndLegs(), {unread}, "eth0");
  EXPECT_EQ(businfo::DescribeCandidates(g[0], 1),
            "Only 1 slave answers: either dcu_right_arm (2) and dcu_legs (3) are cut off (check the cable to "
            "dcu_right_arm and its power), or dcu_left_arm (1) passes frames without answering and every board "
            "behind it answers one position early, so the slaves from its position on are the boards behind it.");
  // A link behind the last slave: something is connected there and does not
  // answer; nothing to list.
  EXPECT_TRUE(businfo::CompareWithFile(legs, {Dcu(1), Dcu(2), Dcu(3), Dcu(4)}, "eth0")[0].candidates.empty());
}

// A record with enable: false names its board when it answers but does not
// require it, and may share its position with the enabled alternative.
TEST(BusCompare, DisabledRecordsAreOptional) {
  EXPECT_TRUE(businfo::CompareWithFile(Arms(), {Dcu(1), Dcu(2, true)}, "eth0").empty());
  std::vector<BoardRecord> records = Arms();
  records.push_back({"dcu_legs_v2", 3, true});
  EXPECT_TRUE(businfo::CompareWithFile(records, {Dcu(1), Dcu(2), Dcu(3, true)}, "eth0").empty());
  EXPECT_EQ(businfo::NameAt(records, 3), "dcu_legs_v2");
  SlaveInfo small = Dcu(3, true);
  small.output_bytes = 200;
  const auto f = businfo::CompareWithFile(Arms(), {Dcu(1), Dcu(2), small}, "eth0");
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"wrong_size"}));
  EXPECT_EQ(f[0].dcu, "dcu_legs");
}

TEST(BusCompare, NoSlaveAtAllPointsAtTheMastersCable) {
  const auto f = businfo::CompareWithFile(ArmsAndLegs(), {}, "enp3s0");
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"chain_end", "missing", "missing", "missing"}));
  EXPECT_EQ(f[0].position, 0);
  EXPECT_EQ(f[0].dcu, "");
  EXPECT_EQ(f[0].message,
            "No slave answers on enp3s0: check the cable from the master to dcu_left_arm and its power.");
}

TEST(BusCompare, WrongBoardsAndUnnamedSlaves) {
  SlaveInfo io = Dcu(2);
  io.name = "IO16";
  io.vendor = 0x00000002;
  io.product = 0x0000DC02;
  SlaveInfo small = Dcu(3);
  small.output_bytes = 200;
  SlaveInfo unreadable = Dcu(4);
  unreadable.sizes_known = false;
  std::vector<BoardRecord> records = Arms();
  records.push_back({"dcu_tail", 4, true});
  const auto f = businfo::CompareWithFile(records, {Dcu(1), io, small, unreadable, Dcu(5, true)}, "eth0");
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"wrong_identity", "wrong_size", "wrong_size", "unexpected"}));
  EXPECT_EQ(f[0].message,
            "DCU dcu_right_arm (position 2) is not a DCU: it reports IO16, vendor 0x00000002, product 0x0000dc02; "
            "a DCU reports vendor 0x005a5256, product 0x0000dc01.");
  EXPECT_EQ(f[1].message,
            "DCU dcu_legs (position 3) announces 200 output bytes and 240 input bytes; a DCU maps 240 each way.");
  EXPECT_EQ(f[2].dcu, "dcu_tail");
  EXPECT_EQ(f[3].position, 5);
  EXPECT_EQ(f[3].dcu, "");
  EXPECT_EQ(f[3].message, "Slave 5 (DCU, vendor 0x005a5256, product 0x0000dc01) is not named in the file.");
}

TEST(BusCompare, FileErrorsAreFindingsToo) {
  const std::vector<BoardRecord> records = {
      {"dcu_a", 1, true}, {"dcu_b", 1, true}, {"dcu_zero", 0, true}, {"dcu_far", 300, true}};
  const auto f = businfo::CompareWithFile(records, {Dcu(1, true)}, "eth0");
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"duplicate_position", "missing", "missing"}));
  EXPECT_EQ(f[0].dcu, "dcu_b");
  EXPECT_EQ(f[0].message, "DCU dcu_a and DCU dcu_b are both configured at position 1; one board cannot be both.");
  EXPECT_EQ(f[1].message, "DCU dcu_zero has ecat_id 0, which is no bus position (1..199).");
  EXPECT_EQ(f[2].dcu, "dcu_far");
}

TEST(BusRegisters, DlStatusAndCounterLayout) {
  const auto middle = businfo::DecodeDlStatus(0x5A33);
  EXPECT_TRUE(middle[0].link && middle[0].communication && !middle[0].loop_closed);
  EXPECT_TRUE(middle[1].link && middle[1].communication);
  EXPECT_TRUE(!middle[2].link && middle[2].loop_closed);
  const auto end = businfo::DecodeDlStatus(0x5613);
  EXPECT_TRUE(end[0].link);
  EXPECT_TRUE(!end[1].link && end[1].loop_closed && !end[1].communication);

  uint8_t regs[20];
  for (int i = 0; i < 20; ++i) regs[i] = static_cast<uint8_t>(i + 1);
  const businfo::Counters c = businfo::DecodeCounters(regs, 77);
  EXPECT_EQ(c.invalid_frames[1], 3);       // 0x0302
  EXPECT_EQ(c.rx_errors[1], 4);            // 0x0303
  EXPECT_EQ(c.forwarded_rx_errors[3], 12); // 0x030B
  EXPECT_EQ(c.processing_unit_errors, 13); // 0x030C
  EXPECT_EQ(c.pdi_errors, 14);             // 0x030D
  EXPECT_EQ(c.lost_links[0], 17);          // 0x0310
  EXPECT_EQ(c.sm_watchdog, 77);

  EXPECT_EQ(businfo::StateText(0x14), "SAFE_OP+ERROR");
  EXPECT_EQ(businfo::StateText(0x08), "OP");
  EXPECT_EQ(businfo::StateText(0x00), "NONE");
}

TEST(BusWatch, RisesAcrossAClearAndTheFindingsTheyGive) {
  businfo::Counters before, after;
  before.rx_errors[0] = 250;
  after.rx_errors[0] = 255;          // stopped at the limit
  before.invalid_frames[1] = 40;
  after.invalid_frames[1] = 3;       // cleared in between: 3 new ones
  after.forwarded_rx_errors[0] = 9;  // damaged before this board
  after.sm_watchdog = 1;
  const businfo::Counters rise = businfo::Increase(before, after);
  EXPECT_EQ(rise.rx_errors[0], 5);
  EXPECT_EQ(rise.invalid_frames[1], 3);
  EXPECT_EQ(businfo::DescribeChange(rise),
            "port 0: rx errors +5, forwarded rx errors +9; port 1: invalid frames +3; SM watchdog +1");
  EXPECT_EQ(businfo::DescribeChange(businfo::Counters{}), "");

  businfo::WatchResult watch;
  watch.ran = true;
  watch.seconds = 10;
  watch.cycles = 10000;
  watch.expected_wkc = 9;
  watch.wkc_misses = 4;
  businfo::WatchedBoard first;
  first.position = 1;
  first.dcu = "dcu_left_arm";
  first.total.Add(rise);
  first.total.Add(rise);
  businfo::WatchedBoard stuck;
  stuck.position = 3;
  stuck.dcu = "dcu_legs";
  stuck.op_failure = "SAFE_OP+ERROR, AL status code 0x001b (Sync manager watchdog)";
  businfo::WatchedBoard forwarded_only;
  forwarded_only.position = 2;
  forwarded_only.total.forwarded_rx_errors[0] = 5;
  watch.boards = {first, forwarded_only, stuck};

  const auto f = businfo::WatchFindings(watch, Arms());
  ASSERT_EQ(Kinds(f), (std::vector<std::string>{"errors_rising", "errors_rising", "errors_rising",
                                                 "not_operational", "errors_rising"}));
  // A board that reached OP and dropped out of it later is named too.
  businfo::WatchResult left = watch;
  left.wkc_misses = 0;
  left.boards = {forwarded_only};
  left.boards[0].dcu = "dcu_right_arm";
  left.boards[0].left_op = "it does not answer";
  left.boards[0].left_op_second = 2;
  const auto g = businfo::WatchFindings(left, Arms());
  ASSERT_EQ(Kinds(g), (std::vector<std::string>{"not_operational"}));
  EXPECT_EQ(g[0].position, 2);
  EXPECT_EQ(g[0].dcu, "dcu_right_arm");
  EXPECT_EQ(g[0].message, "Board 2 (dcu_right_arm) left OP during the watch (second 2 of 10): it does not answer.");
  businfo::Report report;
  report.watch = left;
  const nlohmann::json doc = businfo::ToJson(report, Arms());
  EXPECT_EQ(doc["watch"]["boards"][0]["in_op"], false);
  EXPECT_EQ(doc["watch"]["boards"][0]["left_op"], "it does not answer");

  EXPECT_EQ(f[0].message,
            "Errors rising on board 1 (dcu_left_arm) port 0 in 10 s: RX errors +10; check the cable from the "
            "master to dcu_left_arm.");
  EXPECT_EQ(f[1].message,
            "Errors rising on board 1 (dcu_left_arm) port 1 in 10 s: invalid frames +6; check the cable from "
            "dcu_left_arm to dcu_right_arm.");
  EXPECT_EQ(f[2].message, "Errors rising on board 1 (dcu_left_arm) in 10 s: SM watchdog expiries +2.");
  EXPECT_EQ(f[3].message,
            "Board 3 (dcu_legs) did not reach OP: SAFE_OP+ERROR, AL status code 0x001b (Sync manager watchdog).");
  EXPECT_EQ(f[4].position, 0);
  EXPECT_EQ(f[4].message, "4 of 10000 cycles missed the working counter (expected 9) in 10 s.");

  watch.ran = false;
  EXPECT_TRUE(businfo::WatchFindings(watch, Arms()).empty());
}

TEST(BusJson, DocumentCarriesEverySlaveAndFinding) {
  businfo::Report report;
  report.config_path = "robot.yaml";
  report.ifname = "eth0";
  report.bus_opened = true;
  SlaveInfo io = Dcu(2, true);
  io.name = "IO16";
  io.al_status = 0x14;
  io.al_status_code = 0x001B;
  io.counters.lost_links[1] = 2;
  io.dc_delay_ns = 800;
  report.slaves = {Dcu(1), io};
  const auto records = std::vector<BoardRecord>{{"dcu_left_arm", 1, true}};
  report.findings = businfo::CompareWithFile(records, report.slaves, "eth0");
  const nlohmann::json doc = businfo::ToJson(report, records);
  EXPECT_EQ(doc["matches"], false);
  ASSERT_EQ(doc["slaves"].size(), 2u);
  const auto& s = doc["slaves"][1];
  EXPECT_EQ(s["position"], 2);
  EXPECT_EQ(s["name"], "IO16");
  EXPECT_TRUE(s["dcu"].is_null());
  EXPECT_EQ(s["vendor"], businfo::kDcuVendorId);
  EXPECT_EQ(s["state"], "SAFE_OP+ERROR");
  EXPECT_EQ(s["al_status_code"], 0x001B);
  EXPECT_EQ(s["output_bytes"], 240);
  EXPECT_EQ(s["dc_delay_ns"], 800);
  ASSERT_EQ(s["ports"].size(), 4u);
  EXPECT_EQ(s["ports"][0]["link"], true);
  EXPECT_EQ(s["ports"][1]["link"], false);
  EXPECT_EQ(s["ports"][1]["lost_links"], 2);
  EXPECT_EQ(doc["slaves"][0]["dcu"], "dcu_left_arm");
  ASSERT_EQ(doc["findings"].size(), 1u);
  EXPECT_EQ(doc["findings"][0]["kind"], "unexpected");
  EXPECT_EQ(doc["findings"][0]["position"], 2);
  EXPECT_TRUE(doc["findings"][0]["dcu"].is_null());
  EXPECT_FALSE(doc.contains("watch"));

  report.findings.clear();
  EXPECT_TRUE(report.Matches());
  report.slaves.clear();  // an empty bus never matches, even an empty file
  EXPECT_FALSE(report.Matches());
}

}  // namespace
