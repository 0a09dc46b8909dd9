// The mistakes a person makes when copying a robot's file, refused while the
// configuration is read, and the key path every refusal names. Whole runs
// of the programs with such files are in config_mistake_bus_test.cpp.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
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
}

// Every key of a record or an actuator entry that the programs do not read is
// refused, with its path: a mistyped channel leaves actuators untested, and a
// record has nothing else to say (simulation settings live under DcuSimulator).
TEST(ConfigMistakes, KeysTheProgramsDoNotReadAreRefused) {
  for (const std::string key : {"chanel_2", "chan_2", "actuators", "comment"}) {
    const Outcome o = Read(Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
                                    "       " + key + ": [{name: j, type: CLAVIX, can_id: 1}]}\n"));
    ASSERT_TRUE(o.refused) << key;
    EXPECT_EQ(o.key_path, "ZorvikController.dcu_network[0]." + key);
    EXPECT_EQ(o.reason, "line 12, column 8: DCU d has a key \"" + key +
                            "\" that the programs do not read; a record holds name, ecat_id, enable, "
                            "imu_enable, channel_1, channel_2 and channel_3");
  }
  // In an actuator entry, on a disabled record too.
  const Outcome entry = Read(Document("\n    - {name: d, ecat_id: 1, enable: false, imu_enable: true,\n"
                                      "       channel_3: [{name: j, type: CLAVIX, can_id: 1, speed: 2}]}\n"));
  ASSERT_TRUE(entry.refused);
  EXPECT_EQ(entry.key_path, "ZorvikController.dcu_network[0].channel_3[0].speed");
  EXPECT_NE(entry.reason.find("actuator j has a key \"speed\" that the programs do not read; an actuator "
                              "holds name, type and can_id"),
            std::string::npos)
      << entry.reason;
  // A key that is itself a list.
  const Outcome list_key = Read(Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: true,\n"
                                         "       [a, b]: 1}\n"));
  ASSERT_TRUE(list_key.refused);
  EXPECT_EQ(list_key.key_path, "ZorvikController.dcu_network[0].[...]");
  // Settings of the simulator beside the robot's keys are not the programs' business.
  EXPECT_FALSE(Read(Document(TwoBoards("dcu_hand", "2", "true")) + "DcuSimulator: {frame_loss: 0.01}\n").refused);
}

// Values no bus can run with are refused while the file is read, by all
// three programs alike.
TEST(ConfigMistakes, CycleTimeAndEnabledDcusBeyondTheBus) {
  for (const std::string cycle : {"0", "4294967296"}) {
    std::string text = Document(TwoBoards("dcu_hand", "2", "true"));
    text.replace(text.find("cycle_time_ns: 1000000"), 22, "cycle_time_ns: " + cycle);
    const Outcome o = Read(text);
    ASSERT_TRUE(o.refused) << cycle;
    EXPECT_EQ(o.key_path, "ZorvikController.ethercat.cycle_time_ns");
    EXPECT_NE(o.reason.find("cycle_time_ns " + cycle + " is outside 1 to 4294967295 ns"), std::string::npos)
        << o.reason;
  }
  std::string text = Document(TwoBoards("dcu_hand", "2", "true"));
  text.replace(text.find("cycle_time_ns: 1000000"), 22, "cycle_time_ns: 4294967295");
  EXPECT_FALSE(Read(text).refused);

  // Eight enabled DCUs fit, a ninth does not; a disabled ninth is fine.
  auto boards = [](int enabled, int disabled) {
    std::string network = "\n";
    for (int i = 1; i <= enabled + disabled; ++i) {
      network += "    - {name: d" + std::to_string(i) + ", ecat_id: " + std::to_string(i) +
                 ", enable: " + (i <= enabled ? "true" : "false") + ", imu_enable: false}\n";
    }
    return Document(network);
  };
  EXPECT_FALSE(Read(boards(8, 1)).refused);
  const Outcome nine = Read(boards(9, 0));
  ASSERT_TRUE(nine.refused);
  EXPECT_EQ(nine.key_path, "ZorvikController.dcu_network[8].enable");
  EXPECT_NE(nine.reason.find("DCU d9 is enabled DCU number 9; the process image of 4096 bytes holds 8 DCUs "
                             "of 480 bytes each"),
            std::string::npos)
      << nine.reason;
}

// Anchors and aliases stay allowed (one actuator list shared by two
// alternative boards), but the work of walking them is bounded: a chain of
// aliases that multiplies at every step is refused at once, naming where.
TEST(ConfigMistakes, AliasesAreReadButTheirWalkIsBounded) {
  const std::string shared =
      "shared: &arm [{name: j1, type: CLAVIX, can_id: 1}, {name: j2, type: CLAVIX, can_id: 2}]\n" +
      Document("\n    - {name: left, ecat_id: 1, enable: true, imu_enable: false, channel_1: *arm}\n"
               "    - {name: right, ecat_id: 1, enable: false, imu_enable: false, channel_1: *arm}\n");
  const Outcome ok = Read(shared);
  EXPECT_FALSE(ok.refused) << ok.reason;

  std::string laughs = "l0: &l0 {name: j, type: CLAVIX, can_id: 1}\n";
  for (int i = 1; i <= 12; ++i) {
    laughs += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
    for (int k = 0; k < 10; ++k) laughs += std::string(k ? ", " : "") + "*l" + std::to_string(i - 1);
    laughs += "]\n";
  }
  laughs += Document("\n    - {name: d, ecat_id: 1, enable: true, imu_enable: false, channel_1: *l12}\n");
  const auto begin = std::chrono::steady_clock::now();
  const Outcome bomb = Read(laughs);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  ASSERT_TRUE(bomb.refused);
  EXPECT_NE(bomb.reason.find("the file holds more than 10000 nodes under ZorvikController (an alias counts "
                             "each time it is used)"),
            std::string::npos)
      << bomb.reason;
  EXPECT_EQ(bomb.key_path.rfind("ZorvikController.dcu_network[0].channel_1[0]", 0), 0u) << bomb.key_path;

  // Nesting past any robot's file.
  const Outcome deep = Read(Document(" " + std::string(40, '[') + std::string(40, ']') + "\n"));
  ASSERT_TRUE(deep.refused);
  EXPECT_NE(deep.reason.find("nests deeper than 32 levels"), std::string::npos) << deep.reason;
}

}  // namespace

namespace {

// A folder of its own for files the reading is handed.
class ScratchFolder {
 public:
  ScratchFolder() {
    char tmpl[] = "/tmp/config_file_test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string Refusal(const std::string& path) {
  try {
    selftest::ReadConfigFile(path);
  } catch (const selftest::ConfigFileError& e) {
    return e.what();
  }
  return "";
}

bool stop_now = false;
bool StopNow() { return stop_now; }

}  // namespace

// Only a regular file of at most 1 MiB is read; nothing else is waited on or
// read without end.
TEST(ConfigFile, OnlyRegularFilesOfBoundedSize) {
  ScratchFolder dir;
  const std::string& d = dir.path();
  EXPECT_EQ(Refusal(d + "/absent.yaml"), "bad file: " + d + "/absent.yaml");
  EXPECT_EQ(Refusal(d), "bad file: " + d + ": a directory, not a regular file");

  const std::string fifo = d + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Refusal(fifo), "bad file: " + fifo + ": a FIFO, not a regular file");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));

  // A zero device of our own (never the real /dev), where root may make one.
  const std::string zero = d + "/zero";
  if (mknod(zero.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0) {
    EXPECT_EQ(Refusal(zero), "bad file: " + zero + ": a character device, not a regular file");
  }

  const std::string exact = d + "/exact.yaml";
  const std::string over = d + "/over.yaml";
  { std::ofstream(exact) << std::string(selftest::kMaxConfigBytes, '#'); }
  { std::ofstream(over) << std::string(selftest::kMaxConfigBytes + 1, '#'); }
  EXPECT_EQ(selftest::ReadConfigFile(exact).size(), selftest::kMaxConfigBytes);
  EXPECT_EQ(Refusal(over), "bad file: " + over +
                               ": larger than 1048576 bytes, the most a configuration file may hold");
}

// An interrupt stops the reading between blocks: of the file, of the parse,
// and of the walk.
TEST(ConfigFile, InterruptStopsTheReading) {
  ScratchFolder dir;
  const std::string path = dir.path() + "/robot.yaml";
  { std::ofstream(path) << Document(TwoBoards("dcu_hand", "2", "true")); }
  selftest::SetConfigReadInterruptCheck(StopNow);
  stop_now = false;
  const std::string bytes = selftest::ReadConfigFile(path);
  EXPECT_NO_THROW(selftest::ReadRobotToolConfig(selftest::LoadConfig(bytes)));
  stop_now = true;
  EXPECT_THROW(selftest::ReadConfigFile(path), selftest::ConfigReadInterrupted);
  EXPECT_THROW(selftest::LoadConfig(bytes), selftest::ConfigReadInterrupted);
  selftest::SetConfigReadInterruptCheck(nullptr);
  stop_now = false;
}
