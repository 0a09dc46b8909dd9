// Whole runs of the self-tests and the bus survey on a simulated robot whose
// file or line is wrong the way a real one gets it wrong: a key written twice
// while editing, a slave that is not a DCU at a DCU's position, a DCU board
// that the file forgot. Each run must give the right verdict, name the board
// or key at fault, and the JSON report must agree with what was printed.
// Needs root (network namespaces).

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/sim_bus.h"
#include "tests/tools/program_runner.h"
#include "tests/tools/tool_output.h"
#include "tests/support/build_paths.h"

namespace {

using namespace tooltest;
using std::chrono::seconds;

constexpr seconds kRunLimit(90);

// A body board (1) and an arm board (2); the simulator may add more.
std::string Network(int arm_id = 2, const std::string& arm_extra = "") {
  return "    - name: dcu_body\n"
         "      ecat_id: 1\n"
         "      enable: true\n"
         "      imu_enable: true\n"
         "      channel_1:\n"
         "        - {name: waist_yaw, type: KINETRA_A90, can_id: 1}\n"
         "    - name: dcu_arm\n"
         "      ecat_id: " + std::to_string(arm_id) + "\n"
         "      enable: true\n"
         "      imu_enable: false\n"
         "      channel_1:\n"
         "        - {name: shoulder, type: KINETRA_A90, can_id: 1}\n" +
         arm_extra +
         "      channel_3:\n"
         "        - {name: gripper, type: CLAVIX, can_id: 1}\n";
}

std::string File(const std::string& ifname, const std::string& network, const std::string& simulator = "",
                 bool move = false) {
  return RobotFile(ifname, move ? "true" : "false", "dcu_body", network, simulator);
}

class FaultScenario : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!simtest::SimBus::Available(&why)) GTEST_SKIP() << "no simulated bus here: " << why;
  }
  void TearDown() override { unsetenv("SELFTEST_OUTPUT"); }

  bool StartSim(const std::string& text) {
    bus_ = std::make_unique<simtest::SimBus>(text);
    if (!bus_->ok()) ADD_FAILURE() << "simulator did not start: " << bus_->error();
    return bus_->ok();
  }

  // Runs program with its own file (which may differ from the simulator's);
  // a self-test also writes its JSON report, read back into report_.
  ProgramResult Run(const std::string& program, const std::string& network, std::vector<Trigger> triggers = {}) {
    const std::string path = dir_.Write("program.yaml", File(bus_->ifname(), network, "", move_));
    const std::string report_path = dir_.path() + "/report.json";
    std::remove(report_path.c_str());
    setenv("SELFTEST_OUTPUT", ("json:" + report_path).c_str(), 1);
    ProgramResult r = RunProgram({program, path}, kRunLimit, std::move(triggers));
    EXPECT_FALSE(r.timed_out) << r.output;
    if (std::getenv("SELFTEST_SHOW_OUTPUT") != nullptr) std::printf("%s", r.output.c_str());
    std::ifstream in(report_path);
    std::stringstream text;
    text << in.rdbuf();
    report_ = nlohmann::json::parse(text.str(), nullptr, false);
    std::remove(report_path.c_str());
    return r;
  }

  std::string ReportVerdict() const {
    return report_.is_object() && report_.contains("verdict") ? report_["verdict"].get<std::string>()
                                                              : "no report";
  }

  std::unique_ptr<simtest::SimBus> bus_;
  ScratchDir dir_;
  nlohmann::json report_;
  bool move_ = false;  // move_actuator of the programs' file
};

// A key written twice in one map: yaml-cpp reads the first and the second's
// actuators or value would be dropped. Every program refuses the file and
// names the key; the survey cannot compare and says so with status 1.
TEST_F(FaultScenario, KeyWrittenTwiceIsRefused) {
  ASSERT_TRUE(StartSim(File("eth0", Network(2, "      channel_2:\n"
                                                 "        - {name: wrist, type: KINETRA_B30, can_id: 1}\n"))));
  struct Case {
    const char* what;
    std::string network;
    std::string error;
  };
  const Case cases[] = {
      {"a second channel_1 holding the wrist",
       Network(2, "      channel_1:\n        - {name: wrist, type: KINETRA_B30, can_id: 1}\n"),
       "line 23, column 7: key \"channel_1\" is written twice in one map, first at line 21; only one may "
       "stay (key path: ZorvikController.dcu_network[1].channel_1)"},
      {"an ecat_id edited by adding a line",
       Network(2, "      ecat_id: 3\n"),
       "line 23, column 7: key \"ecat_id\" is written twice in one map, first at line 18; only one may "
       "stay (key path: ZorvikController.dcu_network[1].ecat_id)"},
      {"an actuator entry with two names",
       Network(2, "      channel_2:\n        - {name: wrist, type: KINETRA_B30, can_id: 1, name: hand}\n"),
       "line 24, column 55: key \"name\" is written twice in one map, first at line 24; only one may stay "
       "(key path: ZorvikController.dcu_network[1].channel_2[0].name)"},
  };
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " / " + t.program);
      const auto lines = Run(t.program, c.network).Lines();
      ExpectInOrder(lines, {Red("[ERROR] Config parse failed. " + c.error), t.start, t.ethercat_fail,
                            t.fail_verdict});
      EXPECT_EQ(CountLinesContaining(lines, "ZorvikController start"), 0);
      EXPECT_EQ(ReportVerdict(), "setup_failed");
    }
  }
  const ProgramResult survey = Run(DCU_BUSINFO_PATH, cases[0].network);
  EXPECT_EQ(survey.exit_status, 1) << survey.output;
  EXPECT_NE(survey.output.find("Config parse failed. " + cases[0].error), std::string::npos) << survey.output;

  // The same robot described once per key passes.
  const ToolLines t = DcuTool();
  ExpectInOrder(Run(t.program, Network(2, "      channel_2:\n"
                                          "        - {name: wrist, type: KINETRA_B30, can_id: 1}\n"))
                    .Lines(),
                {t.ethercat_pass, t.ActuatorPass("wrist"), t.pass_verdict});
  EXPECT_EQ(ReportVerdict(), "pass");
}

// An I/O slave sits at position 2, the file (copied from a robot without
// it) puts the arm there. The start fails, and the line after the size
// mismatch names the DCU record and the slave it met.
TEST_F(FaultScenario, NonDcuSlaveAtADcusPositionIsNamed) {
  ASSERT_TRUE(StartSim(File("eth0", Network(3),
                            "  extra_slaves: [{kind: generic, name: IO16, output_bytes: 2, input_bytes: 4, "
                            "position: 2}]\n")));
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    SCOPED_TRACE(t.program);
    const auto lines = Run(t.program, Network(2)).Lines();
    ExpectInOrder(lines, {Red("[ERROR] CmdType DCU output image size does not match. target 240, actual 2"),
                          Red("[ERROR] Slave node dcu_arm (2) does not fit the slave found there: IO16 with 2 output "
                              "and 4 input bytes. Check its ecat_id, or run dcu_businfo."),
                          Red("[ERROR] ZorvikController start failed."), t.ethercat_fail, t.fail_verdict});
    EXPECT_EQ(ReportVerdict(), "setup_failed");
  }
  const ProgramResult survey = Run(DCU_BUSINFO_PATH, Network(2));
  EXPECT_EQ(survey.exit_status, 1);
  EXPECT_NE(survey.output.find("DCU dcu_arm (position 2) is not a DCU: it reports IO16"), std::string::npos)
      << survey.output;

  // With the arm's real position the run passes; the I/O slave is not a DCU
  // and draws no warning.
  const ToolLines t = DcuTool();
  const auto lines = Run(t.program, Network(3)).Lines();
  ExpectInOrder(lines, {t.ethercat_pass, t.ActuatorPass("gripper"), t.pass_verdict});
  EXPECT_EQ(CountLinesContaining(lines, "[WARN]"), 0);
}

// A third board is on the line but the file forgot it (or gave the arm the
// third board's ecat_id): the boards of the file pass, and the DCU left out
// is named, so nobody takes its actuators for tested. A board filed with
// enable: false is left out on purpose and not warned about.
TEST_F(FaultScenario, DcuBoardThatNoRecordNamesIsWarned) {
  ASSERT_TRUE(StartSim(File("eth0", Network(2) +
                                        "    - name: dcu_leg\n"
                                        "      ecat_id: 3\n"
                                        "      enable: true\n"
                                        "      imu_enable: false\n"
                                        "      channel_1:\n"
                                        "        - {name: knee, type: KINETRA_A50, can_id: 1}\n")));
  const std::string spare_leg =
      "    - {name: dcu_leg, ecat_id: 3, enable: false, imu_enable: false,\n"
      "       channel_1: [{name: knee, type: KINETRA_A50, can_id: 1}]}\n";
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    SCOPED_TRACE(t.program);
    auto lines = Run(t.program, Network(2)).Lines();
    const std::string warning =
        Yellow("[WARN] Slave 3 is a DCU that no dcu_network record names; its actuators are not tested.");
    ExpectInOrder(lines, {"[INFO] ZorvikController start successfully.", warning, t.start, t.ethercat_pass,
                          t.ActuatorPass("gripper"), t.pass_verdict});
    EXPECT_EQ(ReportVerdict(), "pass");

    // The arm filed at the leg's position: the arm's board is the one named.
    lines = Run(t.program, Network(3)).Lines();
    ExpectInOrder(lines, {Yellow("[WARN] Slave 2 is a DCU that no dcu_network record names; its actuators are "
                                 "not tested."),
                          t.ethercat_pass});

    // (A loaded machine may add a supervision warning of a late frame; the
    // board filed as disabled is never the subject of one.)
    const ProgramResult spare = Run(t.program, Network(2) + spare_leg);
    ExpectInOrder(spare.Lines(), {t.ethercat_pass, t.pass_verdict});
    EXPECT_EQ(CountLinesContaining(spare.Lines(), "no dcu_network record names"), 0) << spare.output;
    EXPECT_EQ(CountLinesContaining(spare.Lines(), "Slave 3"), 0) << spare.output;
  }
  const ProgramResult survey = Run(DCU_BUSINFO_PATH, Network(2));
  EXPECT_EQ(survey.exit_status, 1);
  EXPECT_NE(survey.output.find("Slave 3 (DCU, vendor 0x005a5256, product 0x0000dc01) is not named in the file."),
            std::string::npos)
      << survey.output;
}

}  // namespace

namespace {

// A board whose controller is dead while its ports still pass frames: the
// boards behind it answer one position early, so the position that is
// missing is the last one although that board is sound. The start fails,
// and the line after "Can`t find" names every board that may be at fault,
// the dead one included; the report's EtherCAT message carries both lines.
// A dead last board is told apart by the link on the port before it.
TEST_F(FaultScenario, BoardThatPassesFramesButDoesNotAnswerIsAmongTheNamed) {
  const std::string leg =
      "    - {name: dcu_leg, ecat_id: 3, enable: true, imu_enable: false,\n"
      "       channel_1: [{name: knee, type: KINETRA_A50, can_id: 1}]}\n";
  ASSERT_TRUE(StartSim(File("eth0", Network(2) + leg, "  boards:\n    - {position: 2, silent: true}\n")));
  const std::string cause =
      "[ERROR] Only 2 slaves answer and slave 2 has no link on port 1. Either dcu_leg (3) is cut off (check the "
      "cable to dcu_leg and its power), or one of dcu_body (1), dcu_arm (2) passes frames without answering and "
      "every board behind it answers one position early. dcu_businfo shows each board's ports.";
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    SCOPED_TRACE(t.program);
    const auto lines = Run(t.program, Network(2) + leg).Lines();
    ExpectInOrder(lines, {Red("[ERROR] Can`t find Registered slave node dcu_leg (3)."), Red(cause),
                          Red("[ERROR] ZorvikController start failed."), t.ethercat_fail, t.fail_verdict});
    EXPECT_EQ(ReportVerdict(), "setup_failed");
    ASSERT_TRUE(report_.is_object());
    EXPECT_EQ(report_["checks"][0]["message"],
              "[ERROR] Can`t find Registered slave node dcu_leg (3).\n" + cause +
                  "\n[ERROR] ZorvikController start failed.\n[ERROR] DCU 初始化失败 !!!");
  }

  ASSERT_EQ(bus_->Control("board 2 answer"), "ok board 2 answers");
  ASSERT_EQ(bus_->Control("board 3 silent").substr(0, 2), "ok");
  const ToolLines t = DcuTool();
  ExpectInOrder(Run(t.program, Network(2) + leg).Lines(),
                {Red("[ERROR] Can`t find Registered slave node dcu_leg (3)."),
                 Red("[ERROR] Only 2 slaves answer, and slave 2 has a link on port 1: the board behind it is "
                     "connected but does not answer; check dcu_leg (3)."),
                 t.ethercat_fail});
}

}  // namespace

namespace {

// A line that loses one frame in five: the checks pass (a lost command is
// sent again next cycle), yet the robot is not sound. The run fails with a
// line that gives the share of frames lost and points at the cables; the
// report carries it as a check of its own.
TEST_F(FaultScenario, LossyLineFailsARunWhoseChecksPass) {
  ASSERT_TRUE(StartSim(File("eth0", Network(2))));
  move_ = true;  // a robot run long enough to judge the line
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    SCOPED_TRACE(t.program);
    // The line turns bad once every board is in OP (a start-up on it fails
    // in other ways). The program is held while the simulator takes the
    // setting: dcu_selftest's whole run after that is only a hundred or two
    // frames, which a loaded machine could otherwise let pass first.
    ASSERT_EQ(bus_->Control("loss 0").substr(0, 2), "ok");
    std::string loss_reply;
    auto lines = Run(t.program, Network(2),
                     {{"[INFO] Operational state reached for all slaves.", [&](pid_t pid) {
                         kill(pid, SIGSTOP);
                         loss_reply = bus_->Control("loss 0.2");
                         kill(pid, SIGCONT);
                       }}})
                     .Lines();
    EXPECT_EQ(loss_reply.substr(0, 2), "ok") << loss_reply;
    // The checks themselves pass (a lost frame is sent again next cycle);
    // a board the supervision took for lost on the way may be named too.
    EXPECT_GE(CountLinesContaining(lines, "[TEST] gripper"), 1);
    ASSERT_EQ(CountLinesContaining(lines, "frames ("), 1);
    EXPECT_EQ(CountLinesContaining(lines, "separate losses; check the cables and connectors (dcu_businfo --watch "
                                          "shows the errors per port)."),
              1);
    ExpectInOrder(lines, {t.ethercat_pass, t.ethercat_fail, t.fail_verdict});
    EXPECT_EQ(ReportVerdict(), "fail");
    ASSERT_TRUE(report_.is_object());
    const auto& last = report_["checks"].back();
    EXPECT_EQ(last["id"], "bus");
    EXPECT_EQ(last["verdict"], "fail");
    EXPECT_NE(last["message"].get<std::string>().find("frames ("), std::string::npos);

    ASSERT_EQ(bus_->Control("loss 0").substr(0, 2), "ok");
    lines = Run(t.program, Network(2)).Lines();
    ExpectInOrder(lines, {t.ethercat_pass, t.ActuatorPass("gripper"), t.pass_verdict});
    EXPECT_EQ(CountLinesContaining(lines, "frames ("), 0);
    EXPECT_EQ(ReportVerdict(), "pass");
  }
}

}  // namespace

namespace {

// Damaged frames arrive at the arm board's port 0 during the run: the frames
// stay usable, so every check passes, but the board counts the errors. The
// run names the board and the port and fails; a run after it, on a line
// that counts nothing new, passes.
TEST_F(FaultScenario, LineErrorsCountedDuringTheRunAreNamed) {
  ASSERT_TRUE(StartSim(File("eth0", Network(2))));
  for (const ToolLines& t : {DcuTool(), RobotTool()}) {
    SCOPED_TRACE(t.program);
    auto lines = Run(t.program, Network(2),
                     {{t.ethercat_pass, [this](pid_t) { bus_->Control("board 2 port 0 rx_errors 30"); }}})
                     .Lines();
    ExpectInOrder(lines, {t.ethercat_pass, t.ActuatorPass("gripper"),
                          Red("[ERROR] DCU dcu_arm (2) counted errors during the test: port 0: rx errors +30, "
                              "invalid frames +30; check the cable and connector at that port (port 0 comes from "
                              "the computer's side)."),
                          t.ethercat_fail, t.fail_verdict});
    EXPECT_EQ(ReportVerdict(), "fail");

    lines = Run(t.program, Network(2)).Lines();
    ExpectInOrder(lines, {t.ethercat_pass, t.ActuatorPass("gripper"), t.pass_verdict});
    EXPECT_EQ(CountLinesContaining(lines, "counted errors"), 0);
  }
}

}  // namespace

namespace {

// count enabled DCU boards at positions 1..count, one actuator each.
std::string Boards(int count) {
  std::string network;
  for (int i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    network += "    - {name: dcu_" + n + ", ecat_id: " + n + ", enable: true, imu_enable: " +
               (i == 1 ? "true" : "false") + ", channel_1: [{name: joint_" + n + ", type: CLAVIX, can_id: 1}]}\n";
  }
  return network;
}

}  // namespace

// Eight DCUs in the file and a ninth board on the line that the file does not
// name: the process image overflows, and the line after the overflow names
// the board that is not in the file.
TEST_F(FaultScenario, ExtraBoardThatOverflowsTheImageIsNamed) {
  ASSERT_TRUE(StartSim(File("eth0", Boards(9))));
  const std::string path = dir_.Write("eight.yaml", File(bus_->ifname(), Boards(8)));
  const ProgramResult r = RunProgram({DcuTool().program, path}, kRunLimit);
  const auto lines = r.Lines();
  ExpectInOrder(lines, {Red("[ERROR] PDO data buf too small ! current 4096 need 4320"),
                        Red("[ERROR] Slave 9 (DCU) is on the bus but no enabled DCU record has ecat_id 9; its "
                            "240 output and 240 input bytes take room in the process image too."),
                        DcuTool().ethercat_fail});
}
