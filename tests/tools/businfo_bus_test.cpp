// dcu_businfo against the simulated DCU network: the healthy line, each
// fault it must point at (a dead board, a pulled cable, a slave nobody
// configured, a board announcing the wrong sizes, a noisy cable found by
// --watch), Ctrl-C while watching, and its JSON document field by field.
// Every run must leave the boards in INIT. Needs root (network namespaces).
//
// The same cases run against SOEM 1.4 when the project is built with
// -DZORVIK_WITH_SOEM=ON; the SoemBuild case says whether that is so here.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/support/build_paths.h"

namespace {

using tooltest::ProgramResult;
using tooltest::Red;
using tooltest::RunProgram;
using tooltest::Trigger;
using std::chrono::seconds;

constexpr seconds kRunLimit(60);

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BusinfoOnBus : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
  }

  // DCUs dcu_1..dcu_N (three by default); `simulator` is the body of DcuSimulator.
  void StartBus(const std::string& simulator = "", int dcus = 3) {
    simtest::ConfigOptions o;
    o.dcus = dcus;
    o.simulator = simulator;
    bus_ = std::make_unique<simtest::SimBus>(simtest::MakeConfig(o));
    ASSERT_TRUE(bus_->ok()) << bus_->error();
  }

  ProgramResult Run(std::vector<std::string> args, std::vector<Trigger> triggers = {}) {
    std::vector<std::string> argv{DCU_BUSINFO_PATH, bus_->config_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(argv, kRunLimit, std::move(triggers));
    EXPECT_FALSE(r.timed_out) << r.output;
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    return r;
  }

  nlohmann::json RunJson(std::vector<std::string> args, int expected_status) {
    args.push_back("--json");
    const ProgramResult r = Run(args);
    EXPECT_EQ(r.exit_status, expected_status) << r.output;
    // Standard output holds the document and nothing else.
    nlohmann::json doc = nlohmann::json::parse(r.output, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << r.output;
    return doc;
  }

  // Every board the simulator has, in INIT.
  void ExpectAllInit(int boards) {
    for (int k = 1; k <= boards; ++k) {
      EXPECT_TRUE(Contains(bus_->Control("get " + std::to_string(k) + " state"), "state=INIT")) << k;
    }
  }

  std::unique_ptr<simtest::SimBus> bus_;
};

void ExpectDcuSlave(const nlohmann::json& s, int position, const std::string& dcu) {
  SCOPED_TRACE(position);
  EXPECT_EQ(s["position"], position);
  EXPECT_EQ(s["station_address"], 0x1000 + position);
  EXPECT_EQ(s["name"], "DCU");
  EXPECT_EQ(s["dcu"], dcu);
  EXPECT_EQ(s["vendor"], 0x005A5256);
  EXPECT_EQ(s["product"], 0x0000DC01);
  EXPECT_EQ(s["revision"], 0x00010000);
  EXPECT_EQ(s["serial"], position);  // the simulator's serial numbers
  EXPECT_EQ(s["state"], "PRE_OP");
  EXPECT_EQ(s["al_status_code"], 0);
  EXPECT_EQ(s["output_bytes"], 240);
  EXPECT_EQ(s["input_bytes"], 240);
  EXPECT_EQ(s["dc"], true);
  EXPECT_EQ(s["dc_delay_ns"], 800 * (position - 1));  // 800 ns per hop
  ASSERT_EQ(s["ports"].size(), 4u);
  EXPECT_EQ(s["ports"][0]["link"], true);
  EXPECT_EQ(s["ports"][2]["link"], false);
  EXPECT_EQ(s["ports"][3]["link"], false);
  for (const auto& p : s["ports"]) {
    EXPECT_EQ(p["rx_errors"], 0);
    EXPECT_EQ(p["forwarded_rx_errors"], 0);
  }
}

void ExpectFinding(const nlohmann::json& f, const std::string& kind, int position, const nlohmann::json& dcu,
                   const std::string& message) {
  EXPECT_EQ(f["kind"], kind);
  EXPECT_EQ(f["position"], position);
  EXPECT_EQ(f["dcu"], dcu);
  EXPECT_EQ(f["message"], message);
}

TEST_F(BusinfoOnBus, MatchingLine) {
  StartBus();
  const ProgramResult text = Run({});
  EXPECT_EQ(text.exit_status, 0) << text.output;
  const auto lines = text.Lines();
  EXPECT_EQ(lines.front(), "DCU bus info powered by selftest@zorvik.dev.");
  EXPECT_TRUE(Contains(text.output, "[INFO] 3 slaves found on " + bus_->ifname() + ".\n"));
  EXPECT_TRUE(Contains(text.output,
                       "[INFO] Slave 2 (dcu_2): DCU, vendor 0x005a5256, product 0x0000dc01, revision 0x00010000, "
                       "serial 2, station 0x1002, PRE_OP, AL status code 0x0000 (No error), outputs 240 bytes, "
                       "inputs 240 bytes, DC delay 800 ns\n"));
  EXPECT_FALSE(Contains(text.output, "[ERROR]"));
  EXPECT_EQ(lines.back(), "[INFO] The bus matches " + bus_->config_path() + ": 3 slaves answer as configured.");
  ExpectAllInit(3);

  const nlohmann::json doc = RunJson({}, 0);
  EXPECT_EQ(doc["matches"], true);
  EXPECT_EQ(doc["interface"], bus_->ifname());
  EXPECT_TRUE(doc["findings"].empty());
  ASSERT_EQ(doc["slaves"].size(), 3u);
  for (int k = 1; k <= 3; ++k) ExpectDcuSlave(doc["slaves"][k - 1], k, "dcu_" + std::to_string(k));
  EXPECT_EQ(doc["slaves"][0]["ports"][1]["link"], true);
  EXPECT_EQ(doc["slaves"][2]["ports"][1]["link"], false);  // the end of the line
  ExpectAllInit(3);
}

TEST_F(BusinfoOnBus, CablePulledAfterBoardTwo) {
  StartBus();
  ASSERT_TRUE(Contains(bus_->Control("cable pull after 2"), "ok"));
  const ProgramResult text = Run({});
  EXPECT_EQ(text.exit_status, 1);
  const std::string chain_end =
      "The bus ends after board 2 (dcu_2): port 1 has no link; check the cable from dcu_2 to dcu_3.";
  EXPECT_TRUE(Contains(text.output, Red("[ERROR] " + chain_end) + "\n" +
                                        Red("[ERROR] DCU dcu_3 (position 3) does not answer.")))
      << text.output;
  EXPECT_EQ(text.Lines().back(), Red("[ERROR] The bus does not match " + bus_->config_path() + ": 2 findings."));

  const nlohmann::json doc = RunJson({}, 1);
  EXPECT_EQ(doc["matches"], false);
  ASSERT_EQ(doc["slaves"].size(), 2u);
  ExpectDcuSlave(doc["slaves"][0], 1, "dcu_1");
  const auto& last = doc["slaves"][1];
  EXPECT_EQ(last["ports"][1]["link"], false);
  // The link went down once on both sides of the cable; discovery does not
  // clear lost-link counters.
  EXPECT_EQ(last["ports"][1]["lost_links"], 1);
  EXPECT_TRUE(Contains(bus_->Control("get 3 ports"), "links=0,0,0,0"));
  EXPECT_TRUE(Contains(bus_->Control("get 3 ports"), "lost_links=1,0,0,0"));
  ASSERT_EQ(doc["findings"].size(), 2u);
  ExpectFinding(doc["findings"][0], "chain_end", 2, "dcu_2", chain_end);
  ExpectFinding(doc["findings"][1], "missing", 3, "dcu_3", "DCU dcu_3 (position 3) does not answer.");
  ExpectAllInit(2);
}

TEST_F(BusinfoOnBus, DeadBoardAndWrongSizesAtOnce) {
  // Board 2 announces 200 output bytes; board 3's controller is dead (frames
  // pass it untouched), so the line seems to end after board 2 with its
  // port 1 still linked.
  StartBus("boards:\n  - {position: 2, output_bytes: 200}\n");
  ASSERT_TRUE(Contains(bus_->Control("board 3 silent"), "ok"));
  const nlohmann::json doc = RunJson({}, 1);
  ASSERT_EQ(doc["slaves"].size(), 2u);
  EXPECT_EQ(doc["slaves"][1]["output_bytes"], 200);
  EXPECT_EQ(doc["slaves"][1]["input_bytes"], 240);
  EXPECT_EQ(doc["slaves"][1]["ports"][1]["link"], true);
  ASSERT_EQ(doc["findings"].size(), 3u);
  ExpectFinding(doc["findings"][0], "wrong_size", 2, "dcu_2",
                "DCU dcu_2 (position 2) announces 200 output bytes and 240 input bytes; a DCU maps 240 each way.");
  ExpectFinding(doc["findings"][1], "chain_end", 2, "dcu_2",
                "The bus ends after board 2 (dcu_2): port 1 has a link but nothing answers behind it; check that "
                "dcu_3 has power, and the cable from dcu_2 to dcu_3.");
  ExpectFinding(doc["findings"][2], "missing", 3, "dcu_3", "DCU dcu_3 (position 3) does not answer.");
  ExpectAllInit(2);
}

TEST_F(BusinfoOnBus, GenericSlaveWithoutRecord) {
  StartBus("extra_slaves:\n  - {kind: generic, name: IO16, output_bytes: 2, input_bytes: 4}\n");
  const nlohmann::json doc = RunJson({}, 1);
  ASSERT_EQ(doc["slaves"].size(), 4u);
  const auto& io = doc["slaves"][3];
  EXPECT_EQ(io["name"], "IO16");
  EXPECT_TRUE(io["dcu"].is_null());
  EXPECT_EQ(io["output_bytes"], 2);
  EXPECT_EQ(io["input_bytes"], 4);
  EXPECT_EQ(doc["slaves"][2]["ports"][1]["link"], true);  // dcu_3 is no longer the end
  ASSERT_EQ(doc["findings"].size(), 1u);
  EXPECT_EQ(doc["findings"][0]["kind"], "unexpected");
  EXPECT_EQ(doc["findings"][0]["position"], 4);
  EXPECT_TRUE(doc["findings"][0]["dcu"].is_null());
  EXPECT_TRUE(Contains(doc["findings"][0]["message"].get<std::string>(), "Slave 4 (IO16, vendor 0x"));
  ExpectAllInit(4);
}

TEST_F(BusinfoOnBus, WatchFindsRisingRxErrors) {
  StartBus();
  // Text: the noise arrives after the first second of the watch.
  const ProgramResult text =
      Run({"--watch", "3"}, {Trigger{"Watch 1/3 s:", [this](pid_t) { bus_->Control("board 2 port 0 rx_errors 7"); }}});
  EXPECT_EQ(text.exit_status, 1) << text.output;
  EXPECT_TRUE(Contains(text.output, "[WARN] Watch 2/3 s: board 2 (dcu_2) port 0: rx errors +7, invalid frames +7"))
      << text.output;
  EXPECT_TRUE(Contains(text.output,
                       Red("[ERROR] Errors rising on board 2 (dcu_2) port 0 in 3 s: RX errors +7, invalid frames "
                           "+7; check the cable from dcu_1 to dcu_2.")))
      << text.output;
  ExpectAllInit(3);

  // JSON: the noise arrives once the boards are in OP, i.e. while watching.
  std::thread noise([this] {
    for (int i = 0; i < 200; ++i) {
      if (Contains(bus_->Control("get 3 state"), "state=OP ")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    bus_->Control("board 3 port 0 rx_errors 4");
    bus_->Control("board 3 lost_links 1");
  });
  const nlohmann::json doc = RunJson({"--watch", "3"}, 1);
  noise.join();
  ASSERT_TRUE(doc.contains("watch"));
  const auto& w = doc["watch"];
  EXPECT_EQ(w["seconds"], 3);
  EXPECT_EQ(w["expected_wkc"], 9);
  EXPECT_GT(w["cycles"].get<int>(), 0);
  ASSERT_EQ(w["boards"].size(), 3u);
  EXPECT_EQ(w["boards"][2]["in_op"], true);
  EXPECT_EQ(w["boards"][2]["ports"][0]["rx_errors"], 4);
  EXPECT_EQ(w["boards"][2]["ports"][0]["lost_links"], 1);
  EXPECT_EQ(w["boards"][1]["ports"][0]["rx_errors"], 0);
  EXPECT_EQ(w["boards"][1]["ports"][1]["forwarded_rx_errors"], 4);  // back through board 2
  bool found = false;
  for (const auto& f : doc["findings"]) {
    if (f["kind"] != "errors_rising" || f["position"] != 3) continue;
    found = true;
    EXPECT_EQ(f["dcu"], "dcu_3");
    EXPECT_EQ(f["message"],
              "Errors rising on board 3 (dcu_3) port 0 in 3 s: RX errors +4, invalid frames +4, lost links +1; "
              "check the cable from dcu_2 to dcu_3.");
  }
  EXPECT_TRUE(found) << doc.dump(2);
  EXPECT_EQ(doc["matches"], false);
  ExpectAllInit(3);
}

// A board whose controller passes frames without answering looks like a
// line cut behind the last board that answers: the survey keeps its lines
// about the cable and adds every candidate, the answering boards included,
// as text and in the JSON document.
TEST_F(BusinfoOnBus, SilentBoardIsListedAmongTheCandidates) {
  StartBus("", 5);
  const std::string candidates =
      "Only 4 slaves answer: either dcu_5 (5) is cut off (check the cable to dcu_5 and its power), or one of "
      "dcu_1 (1), dcu_2 (2), dcu_3 (3), dcu_4 (4) passes frames without answering and every board behind it "
      "answers one position early, so the slaves from its position on are the boards behind it.";
  ASSERT_TRUE(Contains(bus_->Control("board 3 silent"), "ok"));
  const ProgramResult text = Run({});
  EXPECT_EQ(text.exit_status, 1) << text.output;
  EXPECT_TRUE(Contains(text.output,
                       Red("[ERROR] The bus ends after board 4 (dcu_4): port 1 has no link; check the cable from "
                           "dcu_4 to dcu_5.") +
                           "\n" + Red("[ERROR] DCU dcu_5 (position 5) does not answer.") + "\n" +
                           tooltest::Yellow("[WARN] " + candidates) + "\n"))
      << text.output;
  EXPECT_EQ(text.Lines().back(), Red("[ERROR] The bus does not match " + bus_->config_path() + ": 2 findings."));

  // The first board silent: the same four answer, the same candidates.
  ASSERT_TRUE(Contains(bus_->Control("board 3 answer"), "ok"));
  ASSERT_TRUE(Contains(bus_->Control("board 1 silent"), "ok"));
  const nlohmann::json doc = RunJson({}, 1);
  ASSERT_EQ(doc["slaves"].size(), 4u);
  EXPECT_EQ(doc["slaves"][0]["serial"], 2) << "the second board answers first";
  ASSERT_EQ(doc["findings"].size(), 2u);
  const auto& end = doc["findings"][0];
  EXPECT_EQ(end["kind"], "chain_end");
  ASSERT_EQ(end["candidates"].size(), 5u) << end.dump(2);
  EXPECT_EQ(end["candidates"][0], (nlohmann::json{{"position", 5}, {"dcu", "dcu_5"}, {"fault", "cut_off"}}));
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(end["candidates"][k],
              (nlohmann::json{{"position", k}, {"dcu", "dcu_" + std::to_string(k)},
                              {"fault", "passes_frames_without_answering"}}));
  }
  ASSERT_TRUE(Contains(bus_->Control("board 1 answer"), "ok"));
}

// A board that leaves OP during the watch is named with its DCU, whether
// its controller reports an error, falls silent or is reset, and the watch
// fails. The fault comes after the first second, while every board is in OP.
TEST_F(BusinfoOnBus, WatchNamesABoardThatLeavesOp) {
  StartBus();
  auto after_first_second = [this](const std::string& command) {
    return std::vector<Trigger>{Trigger{"Watch 1/4 s:", [this, command](pid_t) { bus_->Control(command); }}};
  };
  // Forced to SAFE_OP with the watchdog error: its outputs still count, so
  // the working counter stays complete; only its state shows it.
  ProgramResult r = Run({"--watch", "4"}, after_first_second("board 2 state SAFE_OP error code 0x001B"));
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "s: board 2 (dcu_2) left OP: SAFE_OP+ERROR, AL status code 0x001b (Sync manager "
                                 "watchdog).\033[0m\n"))
      << r.output;
  EXPECT_TRUE(Contains(r.output, "[ERROR] Board 2 (dcu_2) left OP during the watch (second ")) << r.output;
  EXPECT_TRUE(Contains(r.output, " of 4): SAFE_OP+ERROR, AL status code 0x001b (Sync manager watchdog).")) << r.output;
  EXPECT_TRUE(Contains(r.Lines().back(), "[ERROR] The bus does not match " + bus_->config_path() + ": "));
  ExpectAllInit(3);

  // Reset: INIT with station address 0 at its position.
  r = Run({"--watch", "4"}, after_first_second("board 2 reset"));
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "s: board 2 (dcu_2) does not answer.")) << r.output;
  EXPECT_TRUE(Contains(r.output, "s: board 2 (dcu_2) was reset: it answers at its position in INIT with station "
                                 "address 0."))
      << r.output;
  EXPECT_TRUE(Contains(r.output, " of 4): it was reset (INIT, station address 0).")) << r.output;
  ExpectAllInit(3);

  // Silent: the JSON document names the board, not only the short
  // working counter.
  std::thread fault([this] {
    for (int i = 0; i < 200; ++i) {
      if (Contains(bus_->Control("get 3 state"), "state=OP ")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bus_->Control("board 3 silent");
  });
  const nlohmann::json doc = RunJson({"--watch", "4"}, 1);
  fault.join();
  EXPECT_EQ(doc["matches"], false);
  ASSERT_EQ(doc["watch"]["boards"].size(), 3u);
  EXPECT_EQ(doc["watch"]["boards"][2]["in_op"], false);
  EXPECT_EQ(doc["watch"]["boards"][2]["left_op"], "it does not answer");
  bool named = false;
  for (const auto& f : doc["findings"]) {
    if (f["kind"] != "not_operational" || f["position"] != 3) continue;
    named = true;
    EXPECT_EQ(f["position"], 3);
    EXPECT_EQ(f["dcu"], "dcu_3");
    EXPECT_TRUE(Contains(f["message"].get<std::string>(), "): it does not answer.")) << f["message"];
  }
  EXPECT_TRUE(named) << doc.dump(2);
  ASSERT_TRUE(Contains(bus_->Control("board 3 answer"), "ok"));
}

// The watch runs the boards on the bus manager: a board that refuses OP is
// named and the others are watched in OP without it; a slave nobody
// configured stays out of OP and adds only its inputs to the working
// counter. Every slave ends in INIT.
TEST_F(BusinfoOnBus, WatchRunsTheOtherBoardsWhenOneRefusesOp) {
  StartBus("require_dc_for_op: true\nboards:\n  - {position: 2, dc: false}\n"
           "extra_slaves:\n  - {kind: generic, name: IO16, output_bytes: 2, input_bytes: 4}\n");
  const ProgramResult r = Run({"--watch", "2"});
  EXPECT_EQ(r.exit_status, 1) << r.output;
  // Boards 1 and 3 count 3 each, board 2 and IO16 their inputs.
  EXPECT_TRUE(Contains(r.output, "[INFO] Watching the error counters for 2 s: 2 boards in OP, outputs all zero, "
                                 "process data 1446 bytes, expected working counter 8.\n"))
      << r.output;
  EXPECT_TRUE(Contains(r.output, "[INFO] Watch 1/2 s: ") || Contains(r.output, "[WARN] Watch 1/2 s: ")) << r.output;
  EXPECT_TRUE(Contains(r.output, Red("[ERROR] Board 2 (dcu_2) did not reach OP: SAFE_OP+ERROR, AL status code "
                                     "0x0030 (Invalid DC SYNC configuration).")))
      << r.output;
  EXPECT_FALSE(Contains(r.output, "Board 1 (dcu_1) did not reach OP")) << r.output;
  EXPECT_FALSE(Contains(r.output, "Board 3 (dcu_3) did not reach OP")) << r.output;
  EXPECT_TRUE(Contains(r.Lines().back(), "[ERROR] The bus does not match " + bus_->config_path() + ": ")) << r.output;
  ExpectAllInit(4);
}

// With no board of the file enabled there is nothing to run: the watch
// reads the counters on the survey's own interface, without a cycle, and
// still finds a noisy cable.
TEST_F(BusinfoOnBus, WatchWithoutABoardToRunStillReadsTheCounters) {
  simtest::ConfigOptions o;
  o.dcus = 3;
  std::string yaml = simtest::MakeConfig(o);
  for (size_t at = yaml.find("      enable: true"); at != std::string::npos; at = yaml.find("      enable: true")) {
    yaml.replace(at, 18, "      enable: false");
  }
  bus_ = std::make_unique<simtest::SimBus>(yaml);
  ASSERT_TRUE(bus_->ok()) << bus_->error();
  const ProgramResult r =
      Run({"--watch", "2"}, {Trigger{"Watch 1/2 s:", [this](pid_t) { bus_->Control("board 2 port 0 rx_errors 5"); }}});
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_TRUE(Contains(r.output, "[INFO] Watching the error counters for 2 s: 0 boards in OP, outputs all zero, "
                                 "process data 0 bytes, expected working counter 0.\n"))
      << r.output;
  EXPECT_TRUE(Contains(r.output, "[WARN] Watch 2/2 s: board 2 (dcu_2) port 0: rx errors +5, invalid frames +5"))
      << r.output;
  EXPECT_TRUE(Contains(r.output, Red("[ERROR] Errors rising on board 2 (dcu_2) port 0 in 2 s: RX errors +5, invalid "
                                     "frames +5; check the cable from dcu_1 to dcu_2.")))
      << r.output;
  EXPECT_FALSE(Contains(r.output, "ZorvikController start")) << "no bus manager without a board to run";
  ExpectAllInit(3);
}

TEST_F(BusinfoOnBus, CtrlCWhileWatchingReturnsTheBusToInit) {
  StartBus();
  const ProgramResult r = Run({"--watch", "30"}, {Trigger{"Watch 1/30 s:", tooltest::SendSignal(SIGINT)}});
  EXPECT_EQ(r.exit_status, 130) << r.output;
  EXPECT_EQ(r.Lines().back(), tooltest::Yellow("[WARN] Interrupted; the bus is back in INIT."));
  ExpectAllInit(3);
}

TEST(BusinfoSoem, SoemBuild) {
#ifdef BUSINFO_WITH_SOEM
  SUCCEED() << "built against SOEM 1.4: every BusinfoOnBus case ran on it";
#else
  struct stat st;
  if (stat(SOEM_HEADER_PATH, &st) != 0) GTEST_SKIP() << "no installed SOEM 1.4 (" << SOEM_HEADER_PATH << ")";
  GTEST_SKIP() << "SOEM 1.4 is installed; configure with -DZORVIK_WITH_SOEM=ON to run these cases on it";
#endif
}

}  // namespace
