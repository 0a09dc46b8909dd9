// The mistakes a person makes when copying a robot's file, refused while the
// configuration is read, and the key path every refusal names. Whole runs
// of the programs with such files are in config_mistake_bus_test.cpp.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ethercat_config.h"
#include "tools/selftest_config.h"

namespace {

template <typename Fn>
std::string Printed(Fn fn) {
  testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// A whole file around the given dcu_network body and robot keys.
std::string Document(const std::string& network, const std::string& imu_dcu_name = "none",
                     const std::string& ifname = "eth0") {
  return "ZorvikController:\n"
         "  move_actuator: false\n"
         "  imu_dcu_name: \"" + imu_dcu_name + "\"\n"
         "  ethercat:\n"
         "    ifname: \"" + ifname + "\"\n"
         "    enable_dc: true\n"
         "    bind_cpu: -1\n"
         "    rt_priority: -1\n"
         "    cycle_time_ns: 1000000\n"
         "  dcu_network:" + network;
}

struct Outcome {
  bool refused = false;
  std::string reason, key_path, printed;
};

// Reads text as both programs do; both must agree.
Outcome Read(const std::string& text) {
  Outcome dcu, robot;
  for (bool is_robot : {false, true}) {
    Outcome& o = is_robot ? robot : dcu;
    o.printed = Printed([&] {
      try {
        const YAML::Node doc = YAML::Load(text);
        is_robot ? (void)selftest::ReadRobotToolConfig(doc) : (void)selftest::ReadDcuToolConfig(doc);
      } catch (const selftest::ConfigKeyError& e) {
        o.refused = true;
        o.reason = e.reason();
        o.key_path = e.key_path();
        EXPECT_EQ(std::string(e.what()), e.reason() + " (key path: " + e.key_path() + ")");
      }
    });
  }
  EXPECT_EQ(dcu.refused, robot.refused) << text;
  EXPECT_EQ(dcu.key_path, robot.key_path) << text;
  return robot;
}

const char* const kTwoBoards =
    "\n"
    "    - name: dcu_arm\n"
    "      ecat_id: 1\n"
    "      enable: true\n"
    "      imu_enable: true\n"
    "      channel_1:\n"
    "        - {name: shoulder, type: KINETRA_A90, can_id: 1}\n"
    "    - name: \"dcu_hand\"\n"
    "      ecat_id: %ID\n"
    "      enable: %EN\n"
    "      imu_enable: false\n"
    "      channel_2:\n"
    "        - {name: wrist, type: KINETRA_B30, can_id: 1}\n"
    "        - {name: gripper, type: CLAVIX, can_id: 2}\n";

std::string TwoBoards(const std::string& second_name, const std::string& id, const std::string& enable) {
  std::string text = kTwoBoards;
  text.replace(text.find("dcu_hand"), 8, second_name);
  text.replace(text.find("%ID"), 3, id);
  text.replace(text.find("%EN"), 3, enable);
  return text;
}

// Only enabled records are compared: two alternative boards at one
// position, or under one name, with one of them enabled, are fine.
TEST(ConfigMistakes, TwoEnabledDcusAtOnePositionOrUnderOneName) {
  Outcome o = Read(Document(TwoBoards("dcu_hand", "1", "true")));
  ASSERT_TRUE(o.refused);
  EXPECT_EQ(o.key_path, "ZorvikController.dcu_network[1].ecat_id");
  EXPECT_EQ(o.reason,
            "line 18, column 16: enabled DCUs dcu_arm and dcu_hand both have ecat_id 1; each bus "
            "position holds one DCU");

  o = Read(Document(TwoBoards("dcu_arm", "2", "true")));
  ASSERT_TRUE(o.refused);
  EXPECT_EQ(o.key_path, "ZorvikController.dcu_network[1].name");
  EXPECT_NE(o.reason.find("two enabled DCUs are named dcu_arm, the other is "
                          "ZorvikController.dcu_network[0]"),
            std::string::npos)
      << o.reason;

  // 1 and 0x1 and 01 are one position.
  EXPECT_TRUE(Read(Document(TwoBoards("dcu_hand", "0x1", "true"))).refused);

  for (const auto& name : {"dcu_hand", "dcu_arm"}) {
    o = Read(Document(TwoBoards(name, "1", "false")));
    EXPECT_FALSE(o.refused) << name << ": " << o.reason;
    EXPECT_EQ(o.printed, "");
  }
}

// A channel key present must hold a list; null stays an empty list. The
// decoder prints its line with yaml-cpp's text, the error adds the path.
TEST(ConfigMistakes, IllTypedListsAreRefused) {
  struct Case {
    std::string network, key_path, printed;
  } cases[] = {
      {"\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true, channel_2: 7}\n",
       "ZorvikController.dcu_network[0].channel_2",
       "Parse DcuNetworkConfig failed, yaml-cpp: error at line 11, column 72: bad conversion, "
       "expected a list\n"},
      {"\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
       "       channel_1: {name: j, type: CLAVIX, can_id: 1}}\n",
       "ZorvikController.dcu_network[0].channel_1",
       "Parse DcuNetworkConfig failed, yaml-cpp: error at line 12, column 19: bad conversion, "
       "expected a list\n"},
      {" 5\n", "ZorvikController.dcu_network",
       "Parse DcuNetworkConfig failed, yaml-cpp: error at line 10, column 16: bad conversion, "
       "expected a list\n"},
      {" {dcu_a: {ecat_id: 1}}\n", "ZorvikController.dcu_network",
       "Parse DcuNetworkConfig failed, yaml-cpp: error at line 10, column 16: bad conversion, "
       "expected a list\n"},
  };
  for (const auto& c : cases) {
    const Outcome o = Read(Document(c.network));
    ASSERT_TRUE(o.refused) << c.network;
    EXPECT_EQ(o.key_path, c.key_path);
    // Printed by both programs' reading, once each.
    EXPECT_EQ(o.printed, c.printed);
  }
  // Null values are empty lists.
  for (const std::string network :
       {" ~\n", "\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true, channel_2: ~}\n",
        "\n    - name: d\n      ecat_id: 1\n      enable: true\n      imu_enable: true\n"
        "      channel_3:\n"}) {
    const Outcome o = Read(Document(network));
    EXPECT_FALSE(o.refused) << network << o.reason;
  }
}

// Every value yaml-cpp refuses is named by its path; yaml-cpp's own text
// leads the reason unchanged, and the decoders' lines stay as they were.
TEST(ConfigMistakes, RefusedValuesNameTheirKeyPath) {
  struct Case {
    std::string text, reason, key_path, printed;
  } cases[] = {
      {Document(TwoBoards("dcu_hand", "two", "true")),
       "yaml-cpp: error at line 18, column 16: bad conversion",
       "ZorvikController.dcu_network[1].ecat_id",
       "Parse DcuNetworkConfig failed, yaml-cpp: error at line 18, column 16: bad conversion\n"},
      {Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
                "       channel_3: [{name: a, type: CLAVIX, can_id: 1}, {name: b, type: CLAVIX}]}\n"),
       "invalid node; first invalid key: \"can_id\"",
       "ZorvikController.dcu_network[0].channel_3[1].can_id",
       "Parse DcuNetworkConfig failed, invalid node; first invalid key: \"can_id\"\n"},
      {"ZorvikController:\n  move_actuator: yes please\n", "yaml-cpp: error at line 2, column 18: bad conversion",
       "ZorvikController.move_actuator", ""},
      {"ZorvikController:\n  move_actuator: true\n  imu_dcu_name: none\n  ethercat:\n"
       "    ifname: eth0\n    enable_dc: true\n    bind_cpu: one\n",
       "yaml-cpp: error at line 7, column 15: bad conversion", "ZorvikController.ethercat.bind_cpu",
       "Parse EtherConfig failed, yaml-cpp: error at line 7, column 15: bad conversion\n"},
  };
  for (const auto& c : cases) {
    Outcome robot;
    robot.printed = Printed([&] {
      try {
        selftest::ReadRobotToolConfig(YAML::Load(c.text));
      } catch (const selftest::ConfigKeyError& e) {
        robot.refused = true;
        robot.reason = e.reason();
        robot.key_path = e.key_path();
      }
    });
    ASSERT_TRUE(robot.refused) << c.text;
    EXPECT_EQ(robot.reason, c.reason);
    EXPECT_EQ(robot.key_path, c.key_path);
    EXPECT_EQ(robot.printed, c.printed);
  }
}

// A control character in any name would reach the terminal as it stands:
// refused, and shown escaped in the reason.
TEST(ConfigMistakes, NamesWithControlCharactersAreRefused) {
  const std::string escape = "\\e[2J";    // YAML escape for ESC: clears the screen
  const std::string newline = "\\n";
  const std::string csi = "\\x9b31m";     // the one-character CSI, U+009B
  struct Case {
    std::string text, key_path, shown;
  } cases[] = {
      {Document(TwoBoards("dcu" + escape, "2", "true")), "ZorvikController.dcu_network[1].name",
       "DCU name \"dcu\\x1B[2J\""},
      {Document(TwoBoards("dcu" + escape, "2", "false")), "ZorvikController.dcu_network[1].name",
       "DCU name \"dcu\\x1B[2J\""},
      {Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
                "       channel_2: [{name: \"joint" + newline + "x\", type: CLAVIX, can_id: 1}]}\n"),
       "ZorvikController.dcu_network[0].channel_2[0].name", "actuator name \"joint\\x0Ax\""},
      {Document(" []\n", "dcu" + csi), "ZorvikController.imu_dcu_name",
       "imu_dcu_name \"dcu\\xC2\\x9B31m\""},
      {Document(" []\n", "none", "eth0" + escape), "ZorvikController.ethercat.ifname",
       "interface name \"eth0\\x1B[2J\""},
  };
  for (const auto& c : cases) {
    Outcome robot;
    Printed([&] {
      try {
        selftest::ReadRobotToolConfig(YAML::Load(c.text));
      } catch (const selftest::ConfigKeyError& e) {
        robot.refused = true;
        robot.reason = e.what();
        robot.key_path = e.key_path();
      }
    });
    ASSERT_TRUE(robot.refused) << c.text;
    EXPECT_EQ(robot.key_path, c.key_path);
    EXPECT_NE(robot.reason.find(c.shown + " holds a control character"), std::string::npos)
        << robot.reason;
    EXPECT_FALSE(selftest::HasControlCharacter(robot.reason)) << robot.reason;
  }
  // Other non-ASCII text is a fair name.
  EXPECT_FALSE(selftest::HasControlCharacter("关节_1 µ"));
  EXPECT_FALSE(Read(Document(TwoBoards("手部", "2", "true"))).refused);
}

// A channel key spelt otherwise would leave its actuators untested.
TEST(ConfigMistakes, MisspeltChannelKeysAreRefused) {
  for (const std::string key : {"channel_4", "Channel_1", "channel1", "channel_"}) {
    const Outcome o = Read(Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
                                    "       " + key + ": [{name: j, type: CLAVIX, can_id: 1}]}\n"));
    ASSERT_TRUE(o.refused) << key;
    EXPECT_EQ(o.key_path, "ZorvikController.dcu_network[0]." + key);
    EXPECT_NE(o.reason.find("but its channels are channel_1, channel_2 and channel_3"),
              std::string::npos);
  }
  // Other unknown keys are still ignored.
  EXPECT_FALSE(Read(Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
                             "       comment: spare board, chan: 2}\n"))
                   .refused);
}

}  // namespace
