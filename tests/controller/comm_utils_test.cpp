#include "base/comm_utils.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <cstring>
#include <thread>

#include "test_util.h"

namespace {

using ctltest::Bytes;
using ctltest::Slice;
using namespace zorvik_utils;

TEST(ByteHelpers, WritersAreLeastSignificantFirstReadersMostSignificantFirst) {
  uint8_t buf[6] = {};
  // Odd offset: the helpers need no alignment.
  FloatToBytes(1.0f, buf + 1);
  EXPECT_EQ(Slice(buf + 1, 4), (Bytes{0x00, 0x00, 0x80, 0x3F}));

  const uint8_t be_one[] = {0x3F, 0x80, 0x00, 0x00};
  EXPECT_EQ(BytesToFloat(be_one), 1.0f);
  // The writer's output read back by the reader is not the same value.
  EXPECT_NEAR(BytesToFloat(buf + 1), 4.6006e-41f, 1e-44f);

  Uint16ToBytes(0xABCD, buf + 3);
  EXPECT_EQ(Slice(buf + 3, 2), (Bytes{0xCD, 0xAB}));
  const uint8_t be16[] = {0xAB, 0xCD};
  EXPECT_EQ(BytesToUint16(be16), 0xABCD);
}

std::string ThreadName(pthread_t t) {
  char name[32] = {};
  pthread_getname_np(t, name, sizeof(name));
  return name;
}

// Runs body on a fresh thread, so scheduling changes stay off the test thread.
template <typename Body>
void OnOwnThread(Body body) {
  std::thread t(body);
  t.join();
}

TEST(SetRealTimeThread, DefaultsOnlyNameTheThreadAndPrintNothing) {
  OnOwnThread([] {
    testing::internal::CaptureStdout();
    const bool ok = SetRealTimeThread(pthread_self(), "rt_default", -1, -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(ThreadName(pthread_self()), "rt_default");
  });
}

TEST(SetRealTimeThread, EmptyNameLeavesTheNameAlone) {
  OnOwnThread([] {
    pthread_setname_np(pthread_self(), "keep_me");
    EXPECT_TRUE(SetRealTimeThread(pthread_self(), "", -1, -1));
    EXPECT_EQ(ThreadName(pthread_self()), "keep_me");
  });
}

TEST(SetRealTimeThread, CpuBeyondTheSetFailsWithTheAffinityLine) {
  OnOwnThread([] {
    for (int cpu : {1024, 5000}) {
      testing::internal::CaptureStdout();
      const bool ok = SetRealTimeThread(pthread_self(), "rt_cpu", -1, cpu);
      const std::string out = testing::internal::GetCapturedStdout();
      EXPECT_FALSE(ok) << cpu;
      EXPECT_EQ(out, ctltest::ErrorLine(std::string("setaffinity error ") + strerror(EINVAL)))
          << cpu;
    }
  });
}

TEST(SetRealTimeThread, BindingToAnAllowedCpuReportsTheCore) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;
  OnOwnThread([cpu] {
    testing::internal::CaptureStdout();
    const bool ok = SetRealTimeThread(pthread_self(), "", -1, cpu);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    // An empty name shows as nothing between "Thread" and "bind".
    EXPECT_EQ(out, ctltest::DebugLine("Thread  bind cpu core: " + std::to_string(cpu)));
    cpu_set_t now;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof(now), &now), 0);
    EXPECT_EQ(CPU_COUNT(&now), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &now));
  });
}

// Whether the process may switch to SCHED_FIFO depends on its rights; either
// outcome has its own exact line, and a granted priority is capped.
TEST(SetRealTimeThread, PriorityAboveTheMaximumIsCappedOrRefusedWithTheSchedLine) {
  OnOwnThread([] {
    testing::internal::CaptureStdout();
    const bool ok = SetRealTimeThread(pthread_self(), "rt_prio", 1000, -1);
    const std::string out = testing::internal::GetCapturedStdout();
    const int max = sched_get_priority_max(SCHED_FIFO);
    if (ok) {
      EXPECT_EQ(out, ctltest::DebugLine("Thread rt_prio set priority: " + std::to_string(max) +
                                        " "));
      int policy = 0;
      sched_param param{};
      ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
      EXPECT_EQ(policy, SCHED_FIFO);
      EXPECT_EQ(param.sched_priority, max);
    } else {
      EXPECT_EQ(out.rfind("\033[31m[ERROR] setschedu error ", 0), 0u) << out;
    }
  });
}

}  // namespace
