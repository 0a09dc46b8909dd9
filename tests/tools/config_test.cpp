// The configuration records: their decoders, the top-level reading of both
// programs and the model texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ethercat_config.h"
#include "tools/selftest_config.h"

namespace {

using YAML::DcuConfig;
using YAML::EthercatConfig;

// Runs fn with standard output captured and returns what it printed.
template <typename Fn>
std::string Printed(Fn fn) {
  testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

const char* const kEthercat =
    "ifname: ecat0\n"
    "enable_dc: false\n"
    "bind_cpu: 2\n"
    "rt_priority: 90\n"
    "cycle_time_ns: 500000\n";

TEST(EthercatConfigDecoder, ReadsEveryField) {
  const auto cfg = YAML::Load(kEthercat).as<EthercatConfig>();
  EXPECT_EQ(cfg.ifname, "ecat0");
  EXPECT_FALSE(cfg.enable_dc);
  EXPECT_EQ(cfg.bind_cpu, 2);
  EXPECT_EQ(cfg.rt_priority, 90);
  EXPECT_EQ(cfg.cycle_time_ns, 500000u);
}

TEST(EthercatConfigDecoder, IntegerFormsAreTheLibrarys) {
  auto cfg = YAML::Load(
                 "{ifname: eth0, enable_dc: yes, bind_cpu: -1, rt_priority: -1, "
                 "cycle_time_ns: 0xF4240}")
                 .as<EthercatConfig>();
  EXPECT_TRUE(cfg.enable_dc);
  EXPECT_EQ(cfg.bind_cpu, -1);
  EXPECT_EQ(cfg.cycle_time_ns, 1000000u);
  // Beyond 32 bits still fits the 64-bit cycle time.
  cfg = YAML::Load(
            "{ifname: eth0, enable_dc: true, bind_cpu: 0, rt_priority: 0, "
            "cycle_time_ns: 5000000000}")
            .as<EthercatConfig>();
  EXPECT_EQ(cfg.cycle_time_ns, 5000000000u);
}

TEST(EthercatConfigDecoder, MissingKeyNamesItAndFails) {
  const YAML::Node node = YAML::Load(
      "ifname: eth0\nenable_dc: true\nrt_priority: -1\ncycle_time_ns: 1000000\n");
  std::string out = Printed([&] { EXPECT_THROW(node.as<EthercatConfig>(), YAML::BadConversion); });
  EXPECT_EQ(out, "Parse EtherConfig failed, invalid node; first invalid key: \"bind_cpu\"\n");
}

TEST(EthercatConfigDecoder, WrongFormsAreBadConversions) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      // Negative values are refused for the unsigned cycle time.
      {"ifname: eth0\nenable_dc: true\nbind_cpu: -1\nrt_priority: -1\ncycle_time_ns: -1000000\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 5, column 16: bad conversion\n"},
      {"ifname: eth0\nenable_dc: maybe\nbind_cpu: -1\nrt_priority: -1\ncycle_time_ns: 1\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 2, column 12: bad conversion\n"},
      // A number must fill the whole scalar.
      {"ifname: eth0\nenable_dc: true\nbind_cpu: 1x\nrt_priority: -1\ncycle_time_ns: 1\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 3, column 11: bad conversion\n"},
      // The interface name must be a scalar.
      {"ifname: [eth0]\nenable_dc: true\nbind_cpu: 1\nrt_priority: -1\ncycle_time_ns: 1\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 1, column 9: bad conversion\n"},
  };
  for (const auto& c : cases) {
    const YAML::Node node = YAML::Load(c.text);
    EXPECT_EQ(Printed([&] { EXPECT_THROW(node.as<EthercatConfig>(), YAML::BadConversion); }),
              c.message)
        << c.text;
  }
}

TEST(EthercatConfigDecoder, NotAMapFails) {
  const std::string out = Printed([] {
    EXPECT_THROW(YAML::Load("[1, 2]").as<EthercatConfig>(), YAML::BadConversion);
  });
  EXPECT_EQ(out.rfind("Parse EtherConfig failed, ", 0), 0u) << out;
}

const char* const kNetwork =
    "- name: dcu_a\n"
    "  ecat_id: 1\n"
    "  enable: true\n"
    "  imu_enable: true\n"
    "  channel_1:\n"
    "    - {name: joint_1, type: KINETRA_A90, can_id: 1}\n"
    "    - {name: joint_2, type: KINETRA_A50, can_id: 2}\n"
    "  channel_3:\n"
    "    - {name: gripper, type: CLAVIX, can_id: 1}\n"
    "  comment: keys not named are ignored\n"
    "- name: dcu_b\n"
    "  ecat_id: 010\n"
    "  enable: false\n"
    "  imu_enable: false\n";

TEST(DcuNetworkDecoder, ReadsRecordsInFileOrder) {
  const auto network = YAML::Load(kNetwork).as<std::vector<DcuConfig>>();
  ASSERT_EQ(network.size(), 2u);
  const DcuConfig& a = network[0];
  EXPECT_EQ(a.name, "dcu_a");
  EXPECT_EQ(a.ecat_id, 1u);
  EXPECT_TRUE(a.enable);
  EXPECT_TRUE(a.imu_enable);
  ASSERT_EQ(a.channels[0].size(), 2u);
  EXPECT_EQ(a.channels[0][0].name, "joint_1");
  EXPECT_EQ(a.channels[0][0].type, "KINETRA_A90");
  EXPECT_EQ(a.channels[0][0].can_id, 1u);
  EXPECT_EQ(a.channels[0][1].name, "joint_2");
  EXPECT_TRUE(a.channels[1].empty());
  ASSERT_EQ(a.channels[2].size(), 1u);
  EXPECT_EQ(a.channels[2][0].name, "gripper");

  const DcuConfig& b = network[1];
  EXPECT_EQ(b.ecat_id, 8u);  // leading 0: octal
  EXPECT_FALSE(b.enable);
  for (const auto& channel : b.channels) EXPECT_TRUE(channel.empty());
}

TEST(DcuNetworkDecoder, LibraryScalarRules) {
  const auto network = YAML::Load(
                           "- name: ~\n  ecat_id: 0x10\n  enable: on\n  imu_enable: off\n"
                           "  channel_2:\n    - {name: ~, type: kinetra_a90, can_id: 300}\n"
                           "  channel_3:\n")
                           .as<std::vector<DcuConfig>>();
  ASSERT_EQ(network.size(), 1u);
  EXPECT_EQ(network[0].name, "null");
  EXPECT_EQ(network[0].ecat_id, 16u);
  EXPECT_TRUE(network[0].enable);
  EXPECT_FALSE(network[0].imu_enable);
  ASSERT_EQ(network[0].channels[1].size(), 1u);
  EXPECT_EQ(network[0].channels[1][0].name, "null");
  EXPECT_EQ(network[0].channels[1][0].type, "kinetra_a90");  // decoded as it stands
  EXPECT_EQ(network[0].channels[1][0].can_id, 300u);        // range is checked at set-up
  EXPECT_TRUE(network[0].channels[2].empty());               // present but empty
}

TEST(DcuNetworkDecoder, MissingKeyFailsTheWholeList) {
  const YAML::Node node = YAML::Load(
      "- name: dcu_a\n  ecat_id: 1\n  enable: true\n  imu_enable: false\n"
      "  channel_1:\n    - {name: joint_1, type: KINETRA_A90}\n");
  EXPECT_EQ(Printed([&] {
              EXPECT_THROW(node.as<std::vector<DcuConfig>>(), YAML::BadConversion);
            }),
            "Parse DcuNetworkConfig failed, invalid node; first invalid key: \"can_id\"\n");

  const YAML::Node no_imu = YAML::Load("- {name: a, ecat_id: 1, enable: true}\n");
  EXPECT_EQ(Printed([&] {
              EXPECT_THROW(no_imu.as<std::vector<DcuConfig>>(), YAML::BadConversion);
            }),
            "Parse DcuNetworkConfig failed, invalid node; first invalid key: \"imu_enable\"\n");
}

TEST(DcuNetworkDecoder, NegativeIdIsBadConversion) {
  const YAML::Node node =
      YAML::Load("- name: a\n  ecat_id: -1\n  enable: true\n  imu_enable: true\n");
  EXPECT_EQ(Printed([&] {
              EXPECT_THROW(node.as<std::vector<DcuConfig>>(), YAML::BadConversion);
            }),
            "Parse DcuNetworkConfig failed, yaml-cpp: error at line 2, column 12: bad conversion\n");
}

TEST(DcuNetworkDecoder, AppendsAndKeepsWhatWasReadBeforeAFailure) {
  std::vector<DcuConfig> out(1);
  out[0].name = "earlier";
  const YAML::Node node = YAML::Load(
      "- {name: a, ecat_id: 1, enable: true, imu_enable: true}\n"
      "- {name: b, ecat_id: 2, enable: true}\n");
  bool ok = true;
  Printed([&] { ok = YAML::convert<std::vector<DcuConfig>>::decode(node, out); });
  EXPECT_FALSE(ok);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, "earlier");
  EXPECT_EQ(out[1].name, "a");
}

TEST(DcuNetworkDecoder, EmptyOrNullListIsEmpty) {
  EXPECT_TRUE(YAML::Load("[]").as<std::vector<DcuConfig>>().empty());
  EXPECT_TRUE(YAML::Load("~").as<std::vector<DcuConfig>>().empty());
}

TEST(DcuNetworkDecoder, MapInsteadOfListFails) {
  const YAML::Node node = YAML::Load("dcu_a: {ecat_id: 1}\n");
  const std::string out = Printed([&] {
    EXPECT_THROW(node.as<std::vector<DcuConfig>>(), YAML::BadConversion);
  });
  EXPECT_EQ(out.rfind("Parse DcuNetworkConfig failed, ", 0), 0u) << out;
}

// A whole file as the programs read it.
std::string Document(const std::string& robot_keys, const std::string& ethercat_body,
                     const std::string& network_body) {
  return "ZorvikController:\n" + robot_keys + "  ethercat:\n" + ethercat_body +
         "  dcu_network:\n" + network_body;
}

const char* const kEthercatBody =
    "    ifname: eth0\n    enable_dc: true\n    bind_cpu: -1\n    rt_priority: -1\n"
    "    cycle_time_ns: 1000000\n";
const char* const kNetworkBody =
    "    - name: dcu_a\n      ecat_id: 1\n      enable: true\n      imu_enable: true\n"
    "      channel_1:\n        - {name: j1, type: KINETRA_B30, can_id: 1}\n";

TEST(ToolConfigReading, DcuToolTakesEthercatAndNetwork) {
  const auto cfg = selftest::ReadDcuToolConfig(
      YAML::Load(Document("", kEthercatBody, kNetworkBody)));
  EXPECT_EQ(cfg.ethercat.ifname, "eth0");
  EXPECT_EQ(cfg.ethercat.cycle_time_ns, 1000000u);
  ASSERT_EQ(cfg.dcu_network.size(), 1u);
  EXPECT_EQ(cfg.dcu_network[0].channels[0][0].type, "KINETRA_B30");
}

TEST(ToolConfigReading, RobotToolTakesItsTwoKeys) {
  const auto cfg = selftest::ReadRobotToolConfig(YAML::Load(Document(
      "  move_actuator: true\n  imu_dcu_name: dcu_a\n", kEthercatBody, kNetworkBody)));
  EXPECT_TRUE(cfg.move_actuator);
  EXPECT_EQ(cfg.imu_dcu_name, "dcu_a");
  EXPECT_EQ(cfg.dcu_network.size(), 1u);
}

// The exception's text is what the programs print after "Config parse failed.".
std::string ReadError(bool robot, const std::string& text) {
  try {
    const YAML::Node doc = YAML::Load(text);
    testing::internal::CaptureStdout();
    try {
      if (robot) {
        selftest::ReadRobotToolConfig(doc);
      } else {
        selftest::ReadDcuToolConfig(doc);
      }
    } catch (...) {
      testing::internal::GetCapturedStdout();
      throw;
    }
    testing::internal::GetCapturedStdout();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(ToolConfigReading, MissingKeysAreNamed) {
  EXPECT_EQ(ReadError(false, "Other: 1\n"),
            "invalid node; first invalid key: \"ZorvikController\"");
  EXPECT_EQ(ReadError(false, ""), "invalid node; first invalid key: \"ZorvikController\"");
  EXPECT_EQ(ReadError(false, "ZorvikController:\n  dcu_network: []\n"),
            "invalid node; first invalid key: \"ethercat\"");
  // The robot tool reads its own keys first.
  EXPECT_EQ(ReadError(true, Document("", kEthercatBody, kNetworkBody)),
            "invalid node; first invalid key: \"move_actuator\"");
  EXPECT_EQ(ReadError(true, Document("  move_actuator: false\n", kEthercatBody, kNetworkBody)),
            "invalid node; first invalid key: \"imu_dcu_name\"");
  // The DCU tool does not need them.
  EXPECT_EQ(ReadError(false, Document("", kEthercatBody, kNetworkBody)), "");
}

TEST(ToolConfigReading, WrongFormsAndDecoderFailures) {
  EXPECT_EQ(ReadError(true, Document("  move_actuator: sometimes\n  imu_dcu_name: x\n",
                                     kEthercatBody, kNetworkBody)),
            "yaml-cpp: error at line 2, column 18: bad conversion");
  // A decoder failure surfaces as the bad conversion of the whole map.
  EXPECT_EQ(ReadError(false, Document("", "    ifname: eth0\n", kNetworkBody)),
            "yaml-cpp: error at line 3, column 5: bad conversion");
  EXPECT_EQ(ReadError(false, "ZorvikController: 5\n"),
            "yaml-cpp: error at line 1, column 19: operator[] call on a scalar (key: \"ethercat\")");
}

TEST(ToolConfigReading, NullImuNameReadsAsText) {
  const auto cfg = selftest::ReadRobotToolConfig(YAML::Load(
      Document("  move_actuator: false\n  imu_dcu_name: ~\n", kEthercatBody, kNetworkBody)));
  EXPECT_EQ(cfg.imu_dcu_name, "null");
}

TEST(ActuatorTypeText, ExactMatchOnly) {
  EXPECT_EQ(selftest::ActuatorTypeFromText("KINETRA_A90"), zorvik::KINETRA_A90);
  EXPECT_EQ(selftest::ActuatorTypeFromText("KINETRA_A50"), zorvik::KINETRA_A50);
  EXPECT_EQ(selftest::ActuatorTypeFromText("KINETRA_B30"), zorvik::KINETRA_B30);
  EXPECT_EQ(selftest::ActuatorTypeFromText("CLAVIX"), zorvik::CLAVIX);
  for (const char* text : {"kinetra_a90", "Clavix", "KINETRA_A90 ", "KINETRA_A", "", "null",
                           "KINETRA_B30\n"}) {
    EXPECT_EQ(selftest::ActuatorTypeFromText(text), zorvik::TYPE_NONE) << '"' << text << '"';
  }
}

}  // namespace
