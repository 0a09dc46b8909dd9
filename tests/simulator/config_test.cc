// Building the simulated network from a configuration file.
#include <gtest/gtest.h>

#include "simulator/sim_network.h"
#include "tests/simulator/frame_util.h"

namespace simtest {
namespace {

std::unique_ptr<dcusim::SimNetwork> Build(const std::string& yaml, std::string* error = nullptr) {
  std::string e;
  auto sim = dcusim::SimNetwork::FromYaml(yaml, &e);
  if (error) *error = e;
  return sim;
}

const char* kBase =
    "ZorvikController:\n"
    "  ethercat: {ifname: enp3s0, enable_dc: true, bind_cpu: -1, rt_priority: -1, cycle_time_ns: 0x7A120}\n"
    "  dcu_network:\n"
    "    - name: front\n"
    "      ecat_id: 3\n"
    "      enable: false\n"
    "      imu_enable: false\n"
    "      channel_2:\n"
    "        - {name: j1, type: KINETRA_A90, can_id: 4}\n"
    "        - {name: j2, type: kinetra_a90, can_id: 5}\n"
    "        - {name: j3, type: CLAVIX, can_id: 300}\n"
    "    - {name: back, ecat_id: 1, enable: true, imu_enable: true}\n";

TEST(Config, BoardsAtTheirPositionsGapsFilledAndProgramsSettingsRead) {
  auto sim = Build(kBase);
  ASSERT_TRUE(sim);
  EXPECT_EQ(sim->MasterIfname(), "enp3s0");
  EXPECT_EQ(sim->CycleHintNs(), 500000u);
  ASSERT_EQ(sim->BoardCount(), 3);  // disabled DCU still on the bus, gap at 2
  dcusim::BoardStatus b;
  ASSERT_TRUE(sim->GetBoard(3, &b, 0));
  EXPECT_EQ(b.dcu_name, "front");
  ASSERT_TRUE(sim->GetBoard(2, &b, 0));
  EXPECT_EQ(b.kind, "DCU");
  EXPECT_EQ(b.dcu_name, "");
  // Only the actuator of a known type and id is built; the others are reported.
  EXPECT_EQ(sim->ActuatorNames(), std::vector<std::string>{"j1"});
  dcusim::ActuatorStatus a;
  ASSERT_TRUE(sim->GetActuator("j1", &a));
  EXPECT_EQ(a.board, 3);
  EXPECT_EQ(a.channel, 2);
  EXPECT_EQ(a.id, 4);
  EXPECT_EQ(sim->Warnings().size(), 2u);
}

TEST(Config, ExtraSlavesAppendedOrPlaced) {
  std::string yaml = std::string(kBase) +
                     "DcuSimulator:\n"
                     "  extra_slaves:\n"
                     "    - {name: IO16, output_bytes: 2, input_bytes: 4, count: 2}\n"
                     "    - {kind: dcu, position: 2}\n";
  auto sim = Build(yaml);
  ASSERT_TRUE(sim);
  ASSERT_EQ(sim->BoardCount(), 5);
  dcusim::BoardStatus b;
  ASSERT_TRUE(sim->GetBoard(4, &b, 0));
  EXPECT_EQ(b.kind, "IO16");
  ASSERT_TRUE(sim->GetBoard(2, &b, 0));
  EXPECT_EQ(b.kind, "DCU");
  // The extra slave maps its own sizes: 2 output and 4 input bytes.
  Net net(yaml);
  net.Configure(5);
  net.Write(FPWR, Station(4), 0x0800, {0x00, 0x10, 2, 0, 0x64, 0, 1, 0});
  net.Write(FPWR, Station(4), 0x0808, {0x00, 0x14, 4, 0, 0x20, 0, 1, 0});
  net.RequestState(4, 0x04);
  EXPECT_EQ(net.AlStatus(4), 0x0004);
}

TEST(Config, BadSettingsAreRefusedWithTheKeyNamed) {
  struct Case {
    std::string sim;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {"  frame_loss: 2\n", "DcuSimulator.frame_loss"},
      {"  frame_loss: lots\n", "expected a number"},
      {"  fram_loss: 0.1\n", "DcuSimulator.fram_loss: unknown setting"},
      {"  boards:\n    - {position: 9, drift_ppm: 1}\n", "no board at position 9"},
      {"  boards:\n    - {drift_ppm: 1}\n", "position: missing"},
      {"  boards:\n    - {position: 1, output_bytes: 4096}\n", "output_bytes"},
      {"  extra_slaves:\n    - {position: 1}\n", "already taken by DCU back"},
      {"  extra_slaves:\n    - {kind: robot}\n", "expected generic or dcu"},
      {"  actuator_faults: {nobody: slow}\n", "no actuator of that name"},
      {"  actuator_faults: {j1: broken}\n", "unknown fault 'broken'"},
      {"  imu: {axis: up}\n", "DcuSimulator.imu.axis"},
      {"  imu: {axis: [0, 0, 0]}\n", "must not be zero"},
      {"  seed: -1\n", "non-negative integer"},
      {"  dynamics: {kinetra_a_inertia: 0}\n", "kinetra_a_inertia"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(Build(std::string(kBase) + "DcuSimulator:\n" + c.sim, &error)) << c.sim;
    EXPECT_NE(error.find(c.expect), std::string::npos) << c.sim << " -> " << error;
  }
  std::string error;
  EXPECT_FALSE(Build("ZorvikController: [1, 2\n", &error));
  EXPECT_NE(error.find("not valid YAML"), std::string::npos);
  EXPECT_FALSE(Build("something: else\n", &error));
  EXPECT_NE(error.find("ZorvikController"), std::string::npos);
  EXPECT_FALSE(Build("ZorvikController:\n  dcu_network: {a: 1}\n", &error));
}

TEST(Config, FileThatTheProgramsRejectStillGivesANetwork) {
  // Missing ethercat keys, a record without can_id, a null name: the
  // programs fail on these; the simulator still builds the boards.
  auto sim = Build(
      "ZorvikController:\n"
      "  ethercat: {ifname: eth0}\n"
      "  dcu_network:\n"
      "    - name: ~\n"
      "      ecat_id: 010\n"
      "      channel_1:\n"
      "        - {name: x, type: CLAVIX}\n");
  ASSERT_TRUE(sim);
  EXPECT_EQ(sim->BoardCount(), 8);  // octal, as the programs read it
  EXPECT_TRUE(sim->ActuatorNames().empty());
}

}  // namespace
}  // namespace simtest
