// DcuSimulator.scenario: timed control commands, refused with their key path
// when the file is read, played on the frames from the first process-data
// frame on.
#include <gtest/gtest.h>

#include "simulator/sim_network.h"
#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

std::string File(const std::string& scenario) {
  return "ZorvikController:\n"
         "  ethercat: {ifname: eth0, enable_dc: true, bind_cpu: -1, rt_priority: -1, cycle_time_ns: 1000000}\n"
         "  dcu_network:\n"
         "    - {name: a, ecat_id: 1, enable: true, imu_enable: true}\n"
         "    - name: b\n"
         "      ecat_id: 2\n"
         "      enable: true\n"
         "      imu_enable: false\n"
         "      channel_1:\n"
         "        - {name: j1, type: KINETRA_A90, can_id: 1}\n"
         "DcuSimulator:\n"
         "  scenario:\n" +
         scenario;
}

std::string Refusal(const std::string& scenario) {
  std::string error;
  auto sim = dcusim::SimNetwork::FromYaml(File(scenario), &error);
  return sim ? "accepted" : error;
}

TEST(Scenario, BadEntriesAreRefusedWithTheirKeyPath) {
  EXPECT_EQ(Refusal("    - {at_ms: 10, command: board 3 silent}\n"),
            "DcuSimulator.scenario[0].command: 'board 3 silent' is refused: no board '3' (boards are numbered 1..2)");
  EXPECT_EQ(Refusal("    - {at_ms: 10, command: board 2 silent}\n    - {at_ms: 20, command: actuator j9 fault "
                    "no_enable}\n"),
            "DcuSimulator.scenario[1].command: 'actuator j9 fault no_enable' is refused: no actuator named 'j9'");
  EXPECT_EQ(Refusal("    - {at_ms: 10, command: reboot}\n"),
            "DcuSimulator.scenario[0].command: 'reboot' is refused: unknown command 'reboot' (try 'help')");
  EXPECT_EQ(Refusal("    - {at_ms: 10, command: \"\"}\n"),
            "DcuSimulator.scenario[0].command: '' is refused: empty command (try 'help')");
  EXPECT_EQ(Refusal("    - {at_ms: 20, command: board 1 silent}\n    - {at_ms: 10, command: board 1 answer}\n"),
            "DcuSimulator.scenario[1].at_ms: at 10 ms comes before the entry above it (20 ms); the entries are "
            "played in the order written");
  EXPECT_EQ(Refusal("    - {at_ms: -1, command: board 1 silent}\n"),
            "DcuSimulator.scenario[0].at_ms: value -1 out of range [0, 8.64e+07]");
  EXPECT_EQ(Refusal("    - {command: board 1 silent}\n"),
            "DcuSimulator.scenario[0].at_ms: missing (ms since the first process-data frame)");
  EXPECT_EQ(Refusal("    - {at_ms: 5, command: board 1 silent, when: now}\n"),
            "DcuSimulator.scenario[0].when: unknown setting (known: at_ms, command)");
  EXPECT_EQ(Refusal("    - {at_ms: 5, command: [board, 1]}\n"),
            "DcuSimulator.scenario[0].command: expected text, got a list");
  EXPECT_EQ(Refusal("    board 1 silent\n"), "DcuSimulator.scenario: expected a list, got 'board 1 silent'");
  // Every command of the control socket may appear, read-only ones too.
  EXPECT_EQ(Refusal("    - {at_ms: 0, command: stats reset}\n    - {at_ms: 0, command: cable pull after 1}\n"
                    "    - {at_ms: 5, command: board 2 state SAFE_OP error code 0x001B}\n"
                    "    - {at_ms: 5, command: board 2 port 1 rx_errors 3}\n    - {at_ms: 9, command: list}\n"),
            "accepted");
}

// The clock starts at the first process-data frame, not at the first frame:
// a bring-up of any length before it does not move the faults.
TEST(Scenario, PlaysFromTheFirstProcessDataFrame) {
  auto sim = dcusim::SimNetwork::FromYaml(
      File("    - {at_ms: 5, command: board 2 silent}\n    - {at_ms: 5, command: loss 0}\n"
           "    - {at_ms: 12.5, command: board 2 answer}\n"),
      nullptr);
  ASSERT_TRUE(sim);
  const uint64_t ms = 1000000;
  auto silent = [&]() {
    dcusim::BoardStatus b;
    EXPECT_TRUE(sim->GetBoard(2, &b, 0));
    return b.silent;
  };
  uint64_t now = 1000 * ms;
  // A long bring-up of register reads: nothing is played.
  for (int i = 0; i < 50; ++i, now += ms) {
    auto f = BuildFrame({Dg{BRD, 0, 0x0130, {0, 0}}});
    sim->ProcessFrame(f.data(), f.size(), now);
  }
  EXPECT_FALSE(silent());
  const uint64_t start = now;
  auto cycle = [&](uint64_t t) {
    auto f = BuildFrame({Dg{LRW, 0, 0, std::vector<uint8_t>(16, 0)}});
    sim->ProcessFrame(f.data(), f.size(), t);
  };
  cycle(start);
  cycle(start + 4 * ms);
  EXPECT_FALSE(silent());
  cycle(start + 5 * ms);
  EXPECT_TRUE(silent());
  cycle(start + 12 * ms);
  EXPECT_TRUE(silent());
  // Any frame moves the clock once it started.
  auto f = BuildFrame({Dg{BRD, 0, 0x0130, {0, 0}}});
  sim->ProcessFrame(f.data(), f.size(), start + 13 * ms);
  EXPECT_FALSE(silent());
}

}  // namespace
}  // namespace simtest
