// The master core against the simulated DCU network, in-process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ecmaster/context.h"
#include "ethercat.h"
#include "simulator/sim_network.h"
#include "tests/support/sim_bus.h"
#include "tests/ecmaster/sim_transport.h"

namespace {

using ecmaster_test::SimTransport;

constexpr int kDcuBytes = 240;

// Frame sizes as the mapping must cut them: a frame holds at most
// 1486 - 20 data bytes and is cut only between the slaves' areas.
std::vector<uint32_t> ExpectedSegments(int n) {
  std::vector<uint32_t> segs{0};
  for (int area = 0; area < 2 * n; ++area) {
    if (segs.back() + kDcuBytes > 1466) segs.push_back(0);
    segs.back() += kDcuBytes;
  }
  return segs;
}

std::atomic<int> g_hook_calls{0};
int CountingHook(uint16 slave) {
  g_hook_calls.fetch_add(1);
  return static_cast<int>(slave);
}

class SimMaster : public ::testing::Test {
 protected:
  void Open(int n, bool dc = true) {
    ec_close();
    std::string err;
    net_ = dcusim::SimNetwork::FromYaml(simtest::MakeConfig(n, "h2sim", dc), &err);
    ASSERT_TRUE(net_ != nullptr) << err;
    auto t = std::make_unique<SimTransport>(net_.get());
    transport_ = t.get();
    ASSERT_TRUE(ecmaster::OpenDefaultContext(std::move(t)));
    n_ = n;
  }
  void TearDown() override { ec_close(); }

  int Expected() const { return 2 * ec_group[0].outputsWKC + ec_group[0].inputsWKC; }

  // One exchange as the cyclic thread makes it.
  int Cycle() {
    ec_send_processdata();
    const int wkc = ec_receive_processdata(EC_TIMEOUTRET);
    const uint64_t now = dcusim::SimNetwork::MonotonicNs();
    longest_gap_ns_ = std::max(longest_gap_ns_, now - last_cycle_ns_);
    last_cycle_ns_ = now;
    return wkc;
  }

  // The boards' output watchdog (100 ms) trips when no outputs arrive for
  // that long: a pause of the whole test process on a loaded machine does it
  // without any fault of the master. True when no gap between exchanges
  // since ForgetGaps(), nor since the last one, came near it.
  void ForgetGaps() {
    longest_gap_ns_ = 0;
    last_cycle_ns_ = dcusim::SimNetwork::MonotonicNs();
  }
  bool OutputsKeptArriving() const {
    const uint64_t since_last = dcusim::SimNetwork::MonotonicNs() - last_cycle_ns_;
    return std::max(longest_gap_ns_, since_last) < 80000000;
  }

  // The bring-up a manager performs, to OP.
  void BringUp(int n, bool dc) {
    Open(n, dc);
    ASSERT_EQ(ec_config_init(FALSE), n);
    ASSERT_EQ(ec_config_map(iomap_), 2 * kDcuBytes * n);
    if (block_lrw_) ec_group[0].blockLRW = 1;
    if (dc) {
      ASSERT_TRUE(ec_configdc());
      for (int k = 1; k <= n; ++k) ec_dcsync0(static_cast<uint16>(k), TRUE, 1000000, 0);
    }
    for (int k = 1; k <= n; ++k) {
      ASSERT_EQ(ec_statecheck(static_cast<uint16>(k), EC_STATE_SAFE_OP, 2000000), EC_STATE_SAFE_OP);
    }
    ASSERT_EQ(Cycle(), 3 * n) << "SAFE_OP already exchanges inputs and outputs";
    ec_slave[0].state = EC_STATE_OPERATIONAL;
    ASSERT_EQ(ec_writestate(0), n);
    bool op = false;
    for (int pass = 0; pass < 200 && !op; ++pass) {
      Cycle();
      op = ec_statecheck(0, EC_STATE_OPERATIONAL, 50000) == EC_STATE_OPERATIONAL;
    }
    ASSERT_TRUE(op);
  }

  std::unique_ptr<dcusim::SimNetwork> net_;
  SimTransport* transport_ = nullptr;
  int n_ = 0;
  bool block_lrw_ = false;  // exchange with LRD + LWR instead of LRW
  uint64_t longest_gap_ns_ = 0;
  uint64_t last_cycle_ns_ = 0;
  alignas(8) uint8_t iomap_[16 * 3 * kDcuBytes + 64];
};

TEST_F(SimMaster, DiscoversAndMapsOneToSixteenDcus) {
  for (int n : {1, 2, 3, 4, 5, 8, 16}) {
    SCOPED_TRACE(n);
    Open(n);
    ASSERT_EQ(ec_config_init(FALSE), n);
    ASSERT_EQ(ec_slavecount, n);
    for (int k = 1; k <= n; ++k) {
      SCOPED_TRACE(k);
      const ec_slavet& s = ec_slave[k];
      EXPECT_EQ(s.configadr, 0x1000 + k);
      EXPECT_STREQ(s.name, "DCU");
      EXPECT_TRUE(s.hasdc);
      EXPECT_EQ(s.mbx_l, 0);
      EXPECT_EQ(s.topology, k < n ? 2 : 1);
      EXPECT_EQ(s.activeports, k < n ? 0x03 : 0x01);
      EXPECT_EQ(s.parent, k - 1);
      EXPECT_EQ(s.state, EC_STATE_INIT);
      EXPECT_EQ(s.eep_pdi, 1);
      EXPECT_EQ(s.eep_man, ec_slave[1].eep_man);
      EXPECT_EQ(s.eep_id, ec_slave[1].eep_id);
      EXPECT_EQ(+s.SM[0].StartAddr, 0x1000);
      EXPECT_EQ(+s.SM[0].SMlength, kDcuBytes);
      EXPECT_EQ(+s.SM[0].SMflags, 0x00010064u);
      EXPECT_EQ(+s.SM[1].StartAddr, 0x1400);
      EXPECT_EQ(+s.SM[1].SMlength, kDcuBytes);
      EXPECT_EQ(+s.SM[1].SMflags, 0x00010020u);
      EXPECT_EQ(s.SMtype[0], 0) << "types come with the mapping";
      EXPECT_EQ(s.Obits, 0);
    }

    g_hook_calls = 0;
    for (int k = 1; k <= n; ++k) ec_slave[k].PO2SOconfig = CountingHook;
    std::memset(iomap_, 0xEE, sizeof iomap_);
    ASSERT_EQ(ec_config_map(iomap_), 2 * kDcuBytes * n);
    if (block_lrw_) ec_group[0].blockLRW = 1;
    EXPECT_EQ(g_hook_calls.load(), n);
    EXPECT_EQ(iomap_[0], 0xEE) << "mapping leaves the image alone";
    for (int k = 1; k <= n; ++k) {
      SCOPED_TRACE(k);
      const ec_slavet& s = ec_slave[k];
      EXPECT_EQ(s.state, EC_STATE_PRE_OP);
      EXPECT_EQ(s.Obits, 8 * kDcuBytes);
      EXPECT_EQ(s.Ibits, 8 * kDcuBytes);
      EXPECT_EQ(s.Obytes, uint32_t(kDcuBytes));
      EXPECT_EQ(s.Ibytes, uint32_t(kDcuBytes));
      EXPECT_EQ(s.SMtype[0], 3);
      EXPECT_EQ(s.SMtype[1], 4);
      EXPECT_EQ(s.FMMUunused, 2);
      const ec_fmmut& o = s.FMMU[0];
      EXPECT_EQ(+o.LogStart, uint32_t(kDcuBytes * (k - 1)));
      EXPECT_EQ(+o.LogLength, kDcuBytes);
      EXPECT_EQ(+o.LogStartbit, 0);
      EXPECT_EQ(+o.LogEndbit, 7);
      EXPECT_EQ(+o.PhysStart, 0x1000);
      EXPECT_EQ(+o.FMMUtype, 2);
      EXPECT_EQ(+o.FMMUactive, 1);
      const ec_fmmut& i = s.FMMU[1];
      EXPECT_EQ(+i.LogStart, uint32_t(kDcuBytes * (n + k - 1)));
      EXPECT_EQ(+i.LogLength, kDcuBytes);
      EXPECT_EQ(+i.PhysStart, 0x1400);
      EXPECT_EQ(+i.FMMUtype, 1);
      EXPECT_EQ(+i.FMMUactive, 1);
      EXPECT_EQ(s.outputs, iomap_ + kDcuBytes * (k - 1));
      EXPECT_EQ(s.inputs, iomap_ + kDcuBytes * (n + k - 1));
    }
    const ec_groupt& g = ec_group[0];
    EXPECT_EQ(g.Obytes, uint32_t(kDcuBytes * n));
    EXPECT_EQ(g.Ibytes, uint32_t(kDcuBytes * n));
    EXPECT_EQ(g.outputs, iomap_);
    EXPECT_EQ(g.inputs, iomap_ + kDcuBytes * n);
    EXPECT_EQ(g.outputsWKC, n);
    EXPECT_EQ(g.inputsWKC, n);
    EXPECT_EQ(Expected(), 3 * n);
    const std::vector<uint32_t> segs = ExpectedSegments(n);
    ASSERT_EQ(g.nsegments, segs.size());
    for (size_t s = 0; s < segs.size(); ++s) EXPECT_EQ(g.IOsegment[s], segs[s]) << s;
    EXPECT_EQ(ec_slave[0].Obytes, g.Obytes);
    EXPECT_EQ(ec_slave[0].inputs, g.inputs);
  }
}

// A small I/O slave without DC in front of two DCUs: its own SII is parsed,
// the image is laid out slave by slave, and the second slave becomes the
// reference clock.
TEST_F(SimMaster, MixedBusWithAnIoSlaveWithoutDc) {
  ec_close();
  std::string yaml = simtest::MakeConfig(0, "h2sim", true);
  yaml += "    - {name: dcu_a, ecat_id: 2, enable: true, imu_enable: false}\n"
          "    - {name: dcu_b, ecat_id: 3, enable: true, imu_enable: false}\n"
          "DcuSimulator:\n"
          "  extra_slaves:\n"
          "    - {kind: generic, position: 1, dc: false, output_bytes: 8, input_bytes: 4}\n";
  std::string err;
  net_ = dcusim::SimNetwork::FromYaml(yaml, &err);
  ASSERT_TRUE(net_ != nullptr) << err;
  auto t = std::make_unique<SimTransport>(net_.get());
  transport_ = t.get();
  ASSERT_TRUE(ecmaster::OpenDefaultContext(std::move(t)));

  ASSERT_EQ(ec_config_init(FALSE), 3);
  EXPECT_STREQ(ec_slave[1].name, "SIM-IO");
  EXPECT_FALSE(ec_slave[1].hasdc);
  EXPECT_STREQ(ec_slave[2].name, "DCU");
  EXPECT_NE(ec_slave[1].eep_id, ec_slave[2].eep_id);
  const int size = ec_config_map(iomap_);
  EXPECT_EQ(size, 8 + 4 + 4 * kDcuBytes);
  EXPECT_EQ(ec_slave[1].Obytes, 8u);
  EXPECT_EQ(ec_slave[1].Ibytes, 4u);
  EXPECT_EQ(ec_slave[1].outputs, iomap_);
  EXPECT_EQ(ec_slave[2].outputs, iomap_ + 8);
  EXPECT_EQ(ec_slave[3].outputs, iomap_ + 8 + kDcuBytes);
  const uint32_t obytes = 8 + 2 * kDcuBytes;
  EXPECT_EQ(ec_group[0].Obytes, obytes);
  EXPECT_EQ(ec_slave[1].inputs, iomap_ + obytes);
  EXPECT_EQ(ec_slave[2].inputs, iomap_ + obytes + 4);
  EXPECT_EQ(ec_slave[3].inputs, iomap_ + obytes + 4 + kDcuBytes);
  EXPECT_EQ(+ec_slave[2].FMMU[1].LogStart, obytes + 4);
  EXPECT_EQ(Expected(), 9);

  ASSERT_TRUE(ec_configdc());
  EXPECT_EQ(ec_group[0].DCnext, 2);
  EXPECT_EQ(ec_slave[2].DCnext, 3);
  EXPECT_EQ(ec_slave[3].DCprevious, 2);
  EXPECT_EQ(ec_slave[2].pdelay, 0) << "the reference clock";
  EXPECT_GT(ec_slave[3].pdelay, 0);
  for (uint16 k = 1; k <= 3; ++k) ec_dcsync0(k, ec_slave[k].hasdc, 1000000, 0);
  ASSERT_EQ(ec_statecheck(0, EC_STATE_SAFE_OP, 2000000), EC_STATE_SAFE_OP);
  ec_slave[0].state = EC_STATE_OPERATIONAL;
  ec_writestate(0);
  bool op = false;
  for (int pass = 0; pass < 200 && !op; ++pass) {
    Cycle();
    op = ec_statecheck(0, EC_STATE_OPERATIONAL, 50000) == EC_STATE_OPERATIONAL;
  }
  ASSERT_TRUE(op);
  EXPECT_EQ(Cycle(), 9);
  EXPECT_GT(ec_DCtime, 1000000000000000000LL) << "read from the second slave's clock";
}

class SimMasterBringUp : public SimMaster,
                         public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(SimMasterBringUp, ReachesOpAndExchangesEveryCycle) {
  const int n = std::get<0>(GetParam());
  const bool dc = std::get<1>(GetParam());
  BringUp(n, dc);
  if (HasFatalFailure()) return;
  EXPECT_EQ(ec_group[0].hasdc, dc ? 1 : 0);
  if (dc) {
    EXPECT_EQ(ec_group[0].DCnext, 1);
    EXPECT_EQ(ec_slave[0].DCnext, 1);
    for (int k = 2; k <= n; ++k) {
      EXPECT_GT(ec_slave[k].pdelay, ec_slave[k - 1].pdelay) << "delay grows along the line";
    }
  }
  const uint64_t frames_before = ecmaster::DefaultContextFramesSent();
  const int64 dctime_at_op = ec_DCtime;
  ForgetGaps();
  int64 last_dctime = ec_DCtime;
  for (int c = 0; c < 50; ++c) {
    ASSERT_EQ(Cycle(), 3 * n) << "cycle " << c;
    if (dc) {
      EXPECT_GT(ec_DCtime, last_dctime) << "DC time fresh every cycle";
      last_dctime = ec_DCtime;
    }
  }
  EXPECT_EQ(ecmaster::DefaultContextFramesSent() - frames_before, 50u * ec_group[0].nsegments)
      << "one frame per segment and cycle";
  if (dc) {
    // The slaves' system time runs on the master's epoch (seconds since
    // 2000 of the monotonic clock, 32-bit): far above 1e18 ns.
    EXPECT_GT(ec_DCtime, 1000000000000000000LL);
  } else {
    EXPECT_EQ(ec_DCtime, dctime_at_op) << "no clock datagram without DC";
  }
  const int state = ec_readstate();
  if (OutputsKeptArriving()) {
    EXPECT_EQ(state, EC_STATE_OPERATIONAL);
  }
  ec_slave[0].state = EC_STATE_INIT;
  EXPECT_EQ(ec_writestate(0), n);
  EXPECT_EQ(ec_statecheck(0, EC_STATE_INIT, 50000), EC_STATE_INIT);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimMasterBringUp,
                         ::testing::Combine(::testing::Values(1, 3, 4, 16), ::testing::Bool()));

// The exchange for slaves that refuse LRW: inputs read with LRD, outputs
// written with LWR. Each board counts 1 for the read and 1 for the write, the
// master counts the write twice, so every cycle sums to the LRW rule. Paced
// near the bus cycle for longer than the boards' output watchdog: a board
// whose outputs did not arrive would drop out of OP.
TEST_F(SimMaster, LrdThenLwrExchangeIsCompleteEveryCycle) {
  for (int n : {3, 5}) {
    SCOPED_TRACE(n);
    block_lrw_ = true;
    BringUp(n, true);
    if (HasFatalFailure()) return;
    ASSERT_EQ(Expected(), 3 * n);
    const uint32_t obytes = ec_group[0].Obytes;
    const uint32_t ibytes = ec_group[0].Ibytes;
    std::memset(iomap_, 0, obytes + ibytes);
    const uint64_t frames_before = ecmaster::DefaultContextFramesSent();
    int complete = 0;
    const int kCycles = 500;
    ForgetGaps();
    for (int c = 0; c < kCycles; ++c) {
      if (Cycle() == Expected()) ++complete;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_EQ(complete, kCycles);
    // LRD frames over the inputs, then LWR frames over the outputs, cut
    // where the image's frames are cut: three boards one LRD of 720 bytes
    // and one LWR of 720; five boards (frames of 1440 + 960 bytes, the
    // inputs starting at 1200) LRDs of 240 and 960 and one LWR of 1200.
    EXPECT_EQ(ecmaster::DefaultContextFramesSent() - frames_before,
              static_cast<uint64_t>(kCycles) * (n <= 3 ? 2 : 3));
    std::vector<dcusim::BoardStatus> boards(n);
    for (int k = 1; k <= n; ++k) ASSERT_TRUE(net_->GetBoard(k, &boards[k - 1], dcusim::SimNetwork::MonotonicNs()));
    const bool paced = OutputsKeptArriving();
    for (int k = 1; k <= n; ++k) {
      if (paced) {
        EXPECT_EQ(boards[k - 1].al_status, EC_STATE_OPERATIONAL)
            << "board " << k << " kept getting its outputs, code " << boards[k - 1].al_code;
      }
      bool fresh = false;  // the inputs arrived into the cleared image
      for (uint32_t i = 0; i < ec_slave[k].Ibytes; ++i) fresh |= ec_slave[k].inputs[i] != 0;
      EXPECT_TRUE(fresh) << "board " << k;
    }
    for (uint32_t b = 0; b < obytes; ++b) ASSERT_EQ(iomap_[b], 0) << "the outputs are never overwritten";
    ec_close();
  }
}

TEST_F(SimMaster, OutputEchoAndDistributedClockSettings) {
  BringUp(4, true);
  if (HasFatalFailure()) return;
  for (int k = 1; k <= n_; ++k) {
    for (int b = 0; b < kDcuBytes; ++b) ec_slave[k].outputs[b] = static_cast<uint8_t>(k * 7 + b);
  }
  std::vector<uint8_t> sent(iomap_, iomap_ + kDcuBytes * n_);
  ASSERT_EQ(Cycle(), 3 * n_);
  // The echo of the outputs overwrites the output area unchanged.
  EXPECT_EQ(0, std::memcmp(sent.data(), iomap_, sent.size()));

  // The clock datagram reads the reference clock: the DC time of the last
  // frame lies shortly before the reference board's system time now.
  const uint64_t ref_now = net_->SystemTime(1, dcusim::SimNetwork::MonotonicNs());
  EXPECT_LE(static_cast<uint64_t>(ec_DCtime), ref_now);
  EXPECT_LT(ref_now - static_cast<uint64_t>(ec_DCtime), 1000000000ull);
  for (int k = 1; k <= n_; ++k) {
    dcusim::BoardStatus b;
    ASSERT_TRUE(net_->GetBoard(k, &b, dcusim::SimNetwork::MonotonicNs()));
    EXPECT_EQ(b.station_address, 0x1000 + k);
    EXPECT_TRUE(b.sync0_active) << k;
    EXPECT_EQ(b.sync0_cycle, 1000000u);
    EXPECT_FALSE(b.sync0_start_missed) << k;
    EXPECT_EQ(b.sync0_start % 1000000u, 0u) << "SYNC0 starts on a whole cycle";
    // All boards share one system time once offsets and delays are set.
    const uint64_t now = dcusim::SimNetwork::MonotonicNs();
    const int64_t skew = static_cast<int64_t>(net_->SystemTime(k, now) - net_->SystemTime(1, now));
    EXPECT_LT(skew < 0 ? -skew : skew, 100000) << k;
  }
}

TEST_F(SimMaster, OverlapSendCopiesTheImageBehindTheOutputs) {
  BringUp(4, true);
  if (HasFatalFailure()) return;
  const uint32_t obytes = ec_group[0].Obytes;
  for (uint32_t b = 0; b < obytes; ++b) iomap_[b] = static_cast<uint8_t>(b * 3);
  std::vector<uint8_t> outputs(iomap_, iomap_ + obytes);
  const int64 before = ec_DCtime;
  const uint64_t frames_before = ecmaster::DefaultContextFramesSent();
  ASSERT_EQ(ec_send_overlap_processdata(), 1);
  ASSERT_EQ(ec_receive_processdata(EC_TIMEOUTRET), 3 * n_);
  EXPECT_EQ(ecmaster::DefaultContextFramesSent() - frames_before, ec_group[0].nsegments)
      << "same frames as the regular send";
  EXPECT_GT(ec_DCtime, before);
  // The input area now holds the output echo.
  EXPECT_EQ(0, std::memcmp(iomap_ + obytes, outputs.data(), obytes));
}

TEST_F(SimMaster, StateOperationsErrorsAndReconfiguration) {
  BringUp(3, true);
  if (HasFatalFailure()) return;
  EXPECT_EQ(ec_readstate(), EC_STATE_OPERATIONAL);
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(ec_slave[k].state, EC_STATE_OPERATIONAL);

  // One slave back to PRE_OP: the broadcast check sees a mix, the read
  // reports the lowest state and every slave's own.
  ec_slave[2].state = EC_STATE_PRE_OP;
  EXPECT_EQ(ec_writestate(2), 1);
  EXPECT_EQ(ec_statecheck(2, EC_STATE_PRE_OP, 2000000), EC_STATE_PRE_OP);
  EXPECT_NE(ec_statecheck(0, EC_STATE_OPERATIONAL, 5000), EC_STATE_OPERATIONAL);
  EXPECT_EQ(ec_readstate(), EC_STATE_PRE_OP);
  EXPECT_EQ(ec_slave[1].state, EC_STATE_OPERATIONAL);
  EXPECT_EQ(ec_slave[2].state, EC_STATE_PRE_OP);
  EXPECT_EQ(ec_slave[0].state, EC_STATE_PRE_OP);
  EXPECT_LT(Cycle(), 3 * 3) << "a slave outside SAFE_OP/OP drops out of the WKC";

  // PRE_OP -> OP is refused with an error indication and its code.
  ec_slave[2].state = EC_STATE_OPERATIONAL;
  EXPECT_EQ(ec_writestate(2), 1);
  EXPECT_EQ(ec_statecheck(2, EC_STATE_OPERATIONAL, 20000), EC_STATE_PRE_OP);
  EXPECT_EQ(ec_slave[2].state, EC_STATE_PRE_OP | EC_STATE_ERROR);
  EXPECT_EQ(ec_slave[2].ALstatuscode, 0x0011);
  EXPECT_STREQ(ec_ALstatuscode2string(ec_slave[2].ALstatuscode), "Invalid requested state change");
  EXPECT_EQ(ec_readstate(), EC_STATE_PRE_OP);
  EXPECT_EQ(ec_slave[2].state, EC_STATE_PRE_OP | EC_STATE_ERROR);
  EXPECT_EQ(ec_slave[0].ALstatuscode, 0x0011);

  // Reconfiguration walks it to SAFE_OP (no acknowledge needed) and
  // reprograms SMs and FMMUs; then OP again.
  EXPECT_EQ(ec_reconfig_slave(2, 500), EC_STATE_SAFE_OP);
  EXPECT_EQ(ec_slave[2].state, EC_STATE_SAFE_OP);
  ec_slave[2].state = EC_STATE_OPERATIONAL;
  EXPECT_EQ(ec_writestate(2), 1);
  EXPECT_EQ(ec_statecheck(2, EC_STATE_OPERATIONAL, 2000000), EC_STATE_OPERATIONAL);
  EXPECT_EQ(Cycle(), 3 * 3);
  EXPECT_EQ(ec_readstate(), EC_STATE_OPERATIONAL);

  // A slave that still has its address needs no recovery.
  EXPECT_EQ(ec_recover_slave(2, 500), 1);
  // Out-of-range slaves are refused at once.
  EXPECT_EQ(ec_statecheck(4, EC_STATE_INIT, 2000000), 0);
}

TEST_F(SimMaster, AcknowledgesAnErrorInSafeOp) {
  BringUp(3, true);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(net_->ForceState(3, dcusim::kAlSafeOp, true, 0x001B));
  EXPECT_EQ(ec_readstate(), EC_STATE_SAFE_OP);
  EXPECT_EQ(ec_slave[3].state, EC_STATE_SAFE_OP | EC_STATE_ERROR);
  EXPECT_EQ(ec_slave[3].ALstatuscode, 0x001B);
  EXPECT_STREQ(ec_ALstatuscode2string(0x001B), "Sync manager watchdog");
  ec_slave[3].state = EC_STATE_SAFE_OP | EC_STATE_ACK;
  EXPECT_EQ(ec_writestate(3), 1);
  EXPECT_EQ(ec_statecheck(3, EC_STATE_SAFE_OP, 2000000), EC_STATE_SAFE_OP);
  EXPECT_EQ(ec_slave[3].state, EC_STATE_SAFE_OP);
  EXPECT_EQ(ec_slave[3].ALstatuscode, 0);
  ec_slave[3].state = EC_STATE_OPERATIONAL;
  EXPECT_EQ(ec_writestate(3), 1);
  EXPECT_EQ(ec_statecheck(3, EC_STATE_OPERATIONAL, 2000000), EC_STATE_OPERATIONAL);
  EXPECT_EQ(Cycle(), 9);
}

TEST_F(SimMaster, RecoversAPowerCycledSlave) {
  BringUp(3, true);
  if (HasFatalFailure()) return;
  const uint64_t now = dcusim::SimNetwork::MonotonicNs();
  ASSERT_EQ(net_->Command("board 2 reset", now).rfind("ok", 0), 0u);
  EXPECT_LT(Cycle(), 9) << "the reset board no longer maps its data";
  EXPECT_EQ(ec_statecheck(2, EC_STATE_OPERATIONAL, 2000), 0) << "its address is gone";
  EXPECT_EQ(ec_recover_slave(2, 500), 1);
  dcusim::BoardStatus b;
  ASSERT_TRUE(net_->GetBoard(2, &b, dcusim::SimNetwork::MonotonicNs()));
  EXPECT_EQ(b.station_address, 0x1002);
  EXPECT_EQ(ec_slave[2].configadr, 0x1002);
  EXPECT_EQ(ec_recover_slave(2, 500), 1) << "now already in place";
  EXPECT_EQ(ec_reconfig_slave(2, 500), EC_STATE_SAFE_OP);
  ec_slave[2].state = EC_STATE_OPERATIONAL;
  ec_writestate(2);
  EXPECT_EQ(ec_statecheck(2, EC_STATE_OPERATIONAL, 2000000), EC_STATE_OPERATIONAL);
  EXPECT_EQ(Cycle(), 9);
}

TEST_F(SimMaster, ASilentSlaveIsNotRecoveredInPlaceOfAnother) {
  BringUp(3, true);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(net_->SetBoardSilent(2, true));
  EXPECT_EQ(ec_statecheck(2, EC_STATE_OPERATIONAL, 2000), 0);
  EXPECT_EQ(ec_slave[2].state, 0);
  EXPECT_EQ(ec_readstate(), 0);
  EXPECT_EQ(ec_slave[1].state, EC_STATE_OPERATIONAL);
  EXPECT_EQ(ec_slave[3].state, EC_STATE_OPERATIONAL);
  // Bus position 2 is now answered by the board behind it.
  EXPECT_EQ(ec_recover_slave(2, 500), 0);
  EXPECT_EQ(ec_reconfig_slave(2, 500), 0);
  EXPECT_EQ(Cycle(), 6);
  ASSERT_TRUE(net_->SetBoardSilent(2, false));
  EXPECT_EQ(ec_statecheck(2, EC_STATE_OPERATIONAL, 2000000), EC_STATE_OPERATIONAL);
  EXPECT_EQ(Cycle(), 9);
}

TEST_F(SimMaster, LostFramesTimeOutAndTheBusComesBack) {
  BringUp(4, true);
  if (HasFatalFailure()) return;
  transport_->set_drop_all(true);
  EXPECT_EQ(ec_send_processdata(), 1) << "send errors are not reported";
  EXPECT_EQ(ec_receive_processdata(EC_TIMEOUTRET), EC_NOFRAME);
  EXPECT_EQ(ec_receive_processdata(EC_TIMEOUTRET), EC_NOFRAME) << "nothing pending";
  EXPECT_EQ(ec_statecheck(1, EC_STATE_OPERATIONAL, 2000), 0);
  EXPECT_EQ(ec_slave[1].state, 0);
  EXPECT_EQ(ec_readstate(), 0);
  EXPECT_LT(ec_writestate(1), 0);
  EXPECT_EQ(ec_reconfig_slave(1, 500), 0);
  EXPECT_EQ(ec_recover_slave(1, 500), 0);
  transport_->set_drop_all(false);
  EXPECT_EQ(Cycle(), 3 * n_);
  EXPECT_EQ(ec_readstate(), EC_STATE_OPERATIONAL);

  // Lose only the first of the two frames: the second one still counts,
  // and the DC time keeps its last value.
  ASSERT_EQ(ec_group[0].nsegments, 2);
  const int64 dctime = ec_DCtime;
  transport_->drop_next(1);
  const int wkc = Cycle();
  EXPECT_GT(wkc, 0);
  EXPECT_LT(wkc, 3 * n_);
  EXPECT_EQ(ec_DCtime, dctime);
  EXPECT_EQ(Cycle(), 3 * n_);
}

TEST_F(SimMaster, WithoutDcNoClockDatagramIsSent) {
  BringUp(2, false);
  if (HasFatalFailure()) return;
  EXPECT_FALSE(ec_group[0].hasdc);
  ec_DCtime = 12345;
  EXPECT_EQ(Cycle(), 6);
  EXPECT_EQ(ec_DCtime, 12345) << "no clock datagram without DC";
}

// A cyclic thread exchanges process data while this thread reads and writes
// states: neither may lose or take the other's frames.
TEST_F(SimMaster, ThreadedStateCallsBesideTheCycle) {
  BringUp(4, true);
  if (HasFatalFailure()) return;
  std::atomic<bool> run{true};
  std::atomic<int> cycles{0}, bad{0}, bad_wkc{0};
  std::thread cyclic([&] {
    while (run.load()) {
      const int wkc = Cycle();
      if (wkc != 3 * 4) {
        bad.fetch_add(1);
        bad_wkc.store(wkc);
      }
      cycles.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // State calls until the cyclic thread has run a few hundred cycles.
  int state_errors = 0;
  for (int i = 0; cycles.load() < 300 && i < 1000000; ++i) {
    if (ec_readstate() != EC_STATE_OPERATIONAL) ++state_errors;
    if (ec_statecheck(static_cast<uint16>(1 + i % 4), EC_STATE_OPERATIONAL, 2000) !=
        EC_STATE_OPERATIONAL) {
      ++state_errors;
    }
    ec_slave[1 + i % 4].state = EC_STATE_OPERATIONAL;
    if (ec_writestate(static_cast<uint16>(1 + i % 4)) != 1) ++state_errors;
  }
  run = false;
  cyclic.join();
  EXPECT_EQ(state_errors, 0);
  EXPECT_EQ(bad.load(), 0) << "last bad WKC " << bad_wkc.load() << " lost " << transport_->lost();
  EXPECT_GE(cycles.load(), 300);
}

}  // namespace
