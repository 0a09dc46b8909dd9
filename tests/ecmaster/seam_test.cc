// The transport seam under ec_init and the in-process bus fixture built on
// it: what ec_init opens, on which names, how often, and that the simulated
// network outlives the fixture while the core still holds its transport.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ecmaster/context.h"
#include "ethercat.h"
#include "simulator/sim_network.h"
#include "tests/ecmaster/sim_transport.h"
#include "tests/support/inproc_bus.h"
#include "tests/support/sim_bus.h"

namespace {

// An interface that exists nowhere: a raw socket on it cannot be opened,
// with or without root.
constexpr const char* kAbsent = "zvk-absent9";

class TransportSeam : public ::testing::Test {
 protected:
  void TearDown() override {
    ecmaster::UseTransportForNextInit(nullptr);
    ecmaster::SetTransportOpener(nullptr);
    ec_close();
  }
};

TEST_F(TransportSeam, HandedTransportServesExactlyTheNextInit) {
  std::string err;
  auto net = dcusim::SimNetwork::FromYaml(simtest::MakeConfig(2, "unused"), &err);
  ASSERT_TRUE(net) << err;
  ecmaster::UseTransportForNextInit(std::make_unique<ecmaster_test::SimTransport>(net.get()));
  // Whatever the name: the handed transport is taken.
  ASSERT_EQ(ec_init(kAbsent), 1);
  EXPECT_EQ(ec_config_init(FALSE), 2);
  EXPECT_EQ(ec_slavecount, 2);
  // Used up: the next init opens a raw socket again, which fails here.
  EXPECT_EQ(ec_init(kAbsent), 0);
  // A cancelled hand-over leaves raw sockets in place.
  ecmaster::UseTransportForNextInit(std::make_unique<ecmaster_test::SimTransport>(net.get()));
  ecmaster::UseTransportForNextInit(nullptr);
  EXPECT_EQ(ec_init(kAbsent), 0);
}

TEST_F(TransportSeam, OpenerAnswersEveryInitAndMayRefuseANameUntilRemoved) {
  std::string err;
  auto net = dcusim::SimNetwork::FromYaml(simtest::MakeConfig(1, "unused"), &err);
  ASSERT_TRUE(net) << err;
  int opened = 0;
  ecmaster::SetTransportOpener([&](const std::string& ifname) -> std::unique_ptr<ecmaster::Transport> {
    if (ifname != "sim0") return nullptr;
    ++opened;
    return std::make_unique<ecmaster_test::SimTransport>(net.get());
  });
  EXPECT_EQ(ec_init("other0"), 0);
  for (int start = 0; start < 2; ++start) {  // a restart opens again
    ASSERT_EQ(ec_init("sim0"), 1) << start;
    EXPECT_EQ(ec_config_init(FALSE), 1) << start;
  }
  EXPECT_EQ(opened, 2);
  ecmaster::SetTransportOpener(nullptr);
  EXPECT_EQ(ec_init("sim0"), 0);
  EXPECT_EQ(opened, 2);
}

TEST_F(TransportSeam, InprocBusIsOneAtATimeAndAnswersLikeTheControlSocket) {
  {
    simtest::InprocBus bus(simtest::MakeConfig(2, "unused"));
    ASSERT_TRUE(bus.ok()) << bus.error();
    simtest::InprocBus second(simtest::MakeConfig(1, "unused"));
    EXPECT_FALSE(second.ok());
    EXPECT_NE(second.error().find("another InprocBus"), std::string::npos) << second.error();

    EXPECT_EQ(ec_init("not-the-bus"), 0);
    ASSERT_EQ(ec_init(bus.ifname().c_str()), 1);
    EXPECT_EQ(ec_config_init(FALSE), 2);
    EXPECT_EQ(bus.network().BoardCount(), 2);
    EXPECT_EQ(bus.Control("get 2 state").rfind("ok ", 0), 0u) << bus.Control("get 2 state");
    EXPECT_EQ(bus.Control("no such command").rfind("error: ", 0), 0u);
    // Multi-line replies carry no empty line and no final line break.
    const std::string help = bus.Control("help");
    EXPECT_EQ(help.find("\n\n"), std::string::npos);
    ASSERT_FALSE(help.empty());
    EXPECT_NE(help.back(), '\n');
  }
  // Gone with its fixture: the name opens nothing any more, and a new
  // fixture may be built.
  simtest::InprocBus again(simtest::MakeConfig(1, "unused"));
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_NE(again.ifname(), "");
}

TEST_F(TransportSeam, InprocBusRefusesBadSettingsNamingTheKey) {
  simtest::ConfigOptions options;
  options.simulator = "frame_loss: 2\n";
  simtest::InprocBus bus(simtest::MakeConfig(options));
  EXPECT_FALSE(bus.ok());
  EXPECT_NE(bus.error().find("DcuSimulator.frame_loss"), std::string::npos) << bus.error();
  EXPECT_EQ(ec_init(bus.ifname().c_str()), 0);
}

// The core keeps its transport open after the fixture is gone (a stopped
// manager does not close the interface): the network must still answer.
TEST_F(TransportSeam, NetworkOutlivesItsFixtureWhileTheCoreHoldsIt) {
  {
    simtest::InprocBus bus(simtest::MakeConfig(3, "unused"));
    ASSERT_TRUE(bus.ok()) << bus.error();
    ASSERT_EQ(ec_init(bus.ifname().c_str()), 1);
  }
  EXPECT_EQ(ec_config_init(FALSE), 3);
  EXPECT_EQ(ec_statecheck(0, EC_STATE_PRE_OP, EC_TIMEOUTSTATE), EC_STATE_PRE_OP);
}

}  // namespace
