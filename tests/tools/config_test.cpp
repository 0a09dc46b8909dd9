// The configuration decoders and the model texts. What the programs print
// for a configuration they cannot read is checked in program_test.cpp.

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

// Integers take the library's forms: base from the prefix, whole scalar,
// no sign for the unsigned fields, 64 bits for the cycle time.
TEST(EthercatConfigDecoder, ReadsTheLibrarysIntegerForms) {
  auto cfg = YAML::Load(
                 "{ifname: ecat0, enable_dc: no, bind_cpu: 2, rt_priority: -1, "
                 "cycle_time_ns: 0xF4240}")
                 .as<EthercatConfig>();
  EXPECT_EQ(cfg.ifname, "ecat0");
  EXPECT_FALSE(cfg.enable_dc);
  EXPECT_EQ(cfg.bind_cpu, 2);
  EXPECT_EQ(cfg.rt_priority, -1);
  EXPECT_EQ(cfg.cycle_time_ns, 1000000u);
  cfg = YAML::Load(
            "{ifname: eth0, enable_dc: true, bind_cpu: 0, rt_priority: 0, "
            "cycle_time_ns: 5000000000}")
            .as<EthercatConfig>();
  EXPECT_EQ(cfg.cycle_time_ns, 5000000000u);
}

TEST(EthercatConfigDecoder, FailuresPrintTheLibrarysText) {
  struct Case {
    const char* text;
    const char* printed;
  } cases[] = {
      {"ifname: eth0\nenable_dc: true\nrt_priority: -1\ncycle_time_ns: 1000000\n",
       "Parse EtherConfig failed, invalid node; first invalid key: \"bind_cpu\"\n"},
      {"ifname: eth0\nenable_dc: true\nbind_cpu: -1\nrt_priority: -1\ncycle_time_ns: -1000000\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 5, column 16: bad conversion\n"},
      {"ifname: eth0\nenable_dc: maybe\nbind_cpu: -1\nrt_priority: -1\ncycle_time_ns: 1\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 2, column 12: bad conversion\n"},
      {"ifname: eth0\nenable_dc: true\nbind_cpu: 1x\nrt_priority: -1\ncycle_time_ns: 1\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 3, column 11: bad conversion\n"},
      {"ifname: [eth0]\nenable_dc: true\nbind_cpu: 1\nrt_priority: -1\ncycle_time_ns: 1\n",
       "Parse EtherConfig failed, yaml-cpp: error at line 1, column 9: bad conversion\n"},
  };
  for (const auto& c : cases) {
    const YAML::Node node = YAML::Load(c.text);
    EXPECT_EQ(Printed([&] { EXPECT_THROW(node.as<EthercatConfig>(), YAML::BadConversion); }),
              c.printed)
        << c.text;
  }
}

TEST(DcuNetworkDecoder, ReadsRecordsInFileOrder) {
  const auto network = YAML::Load(
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
                           "- {name: dcu_b, ecat_id: 010, enable: false, imu_enable: false}\n")
                           .as<std::vector<DcuConfig>>();
  ASSERT_EQ(network.size(), 2u);
  const DcuConfig& a = network[0];
  EXPECT_EQ(a.name, "dcu_a");
  EXPECT_EQ(a.ecat_id, 1u);
  EXPECT_TRUE(a.enable);
  EXPECT_TRUE(a.imu_enable);
  ASSERT_EQ(a.channels[0].size(), 2u);
  EXPECT_EQ(a.channels[0][1].name, "joint_2");
  EXPECT_EQ(a.channels[0][1].type, "KINETRA_A50");
  EXPECT_EQ(a.channels[0][1].can_id, 2u);
  EXPECT_TRUE(a.channels[1].empty());
  ASSERT_EQ(a.channels[2].size(), 1u);
  EXPECT_EQ(a.channels[2][0].name, "gripper");

  EXPECT_EQ(network[1].ecat_id, 8u);  // leading 0: octal
  EXPECT_FALSE(network[1].enable);
  for (const auto& channel : network[1].channels) EXPECT_TRUE(channel.empty());
}

// Values the decoder takes as they stand; the programs judge them later.
TEST(DcuNetworkDecoder, TakesValuesAsTheyStand) {
  const auto network = YAML::Load(
                           "- {name: ~, ecat_id: 0x10, enable: on, imu_enable: off,\n"
                           "   channel_2: [{name: ~, type: kinetra_a90, can_id: 300}],\n"
                           "   channel_3: }\n")
                           .as<std::vector<DcuConfig>>();
  ASSERT_EQ(network.size(), 1u);
  EXPECT_EQ(network[0].name, "null");
  EXPECT_EQ(network[0].ecat_id, 16u);
  ASSERT_EQ(network[0].channels[1].size(), 1u);
  EXPECT_EQ(network[0].channels[1][0].name, "null");
  EXPECT_EQ(network[0].channels[1][0].type, "kinetra_a90");
  EXPECT_EQ(network[0].channels[1][0].can_id, 300u);
  EXPECT_TRUE(network[0].channels[2].empty());  // present but empty

  EXPECT_TRUE(YAML::Load("[]").as<std::vector<DcuConfig>>().empty());
  EXPECT_TRUE(YAML::Load("~").as<std::vector<DcuConfig>>().empty());
}

TEST(DcuNetworkDecoder, FailuresPrintTheLibrarysText) {
  struct Case {
    const char* text;
    const char* printed;
  } cases[] = {
      {"- {name: a, ecat_id: 1, enable: true, imu_enable: false,\n"
       "   channel_1: [{name: joint_1, type: KINETRA_A90}]}\n",
       "Parse DcuNetworkConfig failed, invalid node; first invalid key: \"can_id\"\n"},
      {"- {name: a, ecat_id: 1, enable: true}\n",
       "Parse DcuNetworkConfig failed, invalid node; first invalid key: \"imu_enable\"\n"},
      {"- name: a\n  ecat_id: -1\n  enable: true\n  imu_enable: true\n",
       "Parse DcuNetworkConfig failed, yaml-cpp: error at line 2, column 12: bad conversion\n"},
  };
  for (const auto& c : cases) {
    const YAML::Node node = YAML::Load(c.text);
    EXPECT_EQ(Printed([&] {
                EXPECT_THROW(node.as<std::vector<DcuConfig>>(), YAML::BadConversion);
              }),
              c.printed)
        << c.text;
  }
  // A map where the list belongs fails too.
  const YAML::Node map = YAML::Load("dcu_a: {ecat_id: 1}\n");
  const std::string out = Printed([&] {
    EXPECT_THROW(map.as<std::vector<DcuConfig>>(), YAML::BadConversion);
  });
  EXPECT_EQ(out.rfind("Parse DcuNetworkConfig failed, ", 0), 0u) << out;
}

// Called directly, the decoder appends, and what it read before a failure
// stays (the typed conversion of the programs discards it).
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

// The top-level reading names the first missing key, in reading order.
TEST(ToolConfigReading, MissingKeysAreNamedInReadingOrder) {
  auto error = [](bool robot, const std::string& text) -> std::string {
    try {
      const YAML::Node doc = YAML::Load(text);
      robot ? (void)selftest::ReadRobotToolConfig(doc) : (void)selftest::ReadDcuToolConfig(doc);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(error(false, ""),
            "invalid node; first invalid key: \"ZorvikController\" (key path: ZorvikController)");
  EXPECT_EQ(error(false, "ZorvikController:\n  dcu_network: []\n"),
            "invalid node; first invalid key: \"ethercat\" (key path: ZorvikController.ethercat)");
  EXPECT_EQ(error(true, "ZorvikController:\n  dcu_network: []\n"),
            "invalid node; first invalid key: \"move_actuator\" "
            "(key path: ZorvikController.move_actuator)");
  EXPECT_EQ(error(false, "ZorvikController: 5\n"),
            "yaml-cpp: error at line 1, column 19: operator[] call on a scalar (key: \"ethercat\") "
            "(key path: ZorvikController.ethercat)");
}

TEST(ActuatorTypeText, ExactMatchOnly) {
  EXPECT_EQ(selftest::ActuatorTypeFromText("KINETRA_A90"), zorvik::KINETRA_A90);
  EXPECT_EQ(selftest::ActuatorTypeFromText("KINETRA_A50"), zorvik::KINETRA_A50);
  EXPECT_EQ(selftest::ActuatorTypeFromText("KINETRA_B30"), zorvik::KINETRA_B30);
  EXPECT_EQ(selftest::ActuatorTypeFromText("CLAVIX"), zorvik::CLAVIX);
  for (const char* text : {"kinetra_a90", "Clavix", "KINETRA_A90 ", "KINETRA_A", "", "null"}) {
    EXPECT_EQ(selftest::ActuatorTypeFromText(text), zorvik::TYPE_NONE) << '"' << text << '"';
  }
}

}  // namespace
