// The programs' shared run-time pieces that need no bus: the gravity check
// and the interrupt handling.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <thread>

#include "tools/selftest_runtime.h"

namespace {

zorvik::ImuData Acc(float x, float y, float z) {
  zorvik::ImuData imu{};
  imu.acc[0] = x;
  imu.acc[1] = y;
  imu.acc[2] = z;
  return imu;
}

// Within 0.1 of 9.8, judged on the single-precision readings: 9.9f lies
// just below 9.9 and passes, 9.7f just below 9.7 and fails. All zero (a
// missing DCU, a silent IMU) and non-numbers fail.
TEST(GravityCheck, Bounds) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(selftest::GravityPlausible(Acc(0, 0, 9.8f)));
  EXPECT_TRUE(selftest::GravityPlausible(Acc(0, 0, -9.8f)));
  EXPECT_TRUE(selftest::GravityPlausible(Acc(5.66f, 5.66f, 5.66f)));  // tilted, |a| = 9.803
  EXPECT_TRUE(selftest::GravityPlausible(Acc(0, 0, 9.9f)));
  EXPECT_FALSE(selftest::GravityPlausible(Acc(0, 0, 9.7f)));
  EXPECT_FALSE(selftest::GravityPlausible(Acc(0, 0, 9.95f)));
  EXPECT_FALSE(selftest::GravityPlausible(Acc(0, 0, 0)));
  EXPECT_FALSE(selftest::GravityPlausible(Acc(nan, 0, 9.8f)));
  EXPECT_FALSE(selftest::GravityPlausible(Acc(0, inf, 0)));
}

// A child process that reports its progress through a pipe, one byte per
// step, so that the parent sends each signal only once the child is ready
// for it.
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    if (pipe(fds_) != 0) return;
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds_[0]);
      _exit(body(fds_[1]));
    }
    close(fds_[1]);
  }
  ~Child() {
    close(fds_[0]);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Waits for the child's next step; false when it ended instead.
  bool Step() {
    char c;
    return read(fds_[0], &c, 1) == 1;
  }
  void Signal(int signal_number) { kill(pid_, signal_number); }

  // Exit status, or -1 when the child did not exit normally within limit.
  int Wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static void Report(int fd) {
    const char c = 'x';
    (void)!write(fd, &c, 1);
  }

 private:
  int fds_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// The child reports, through its exit status, what the first signal did:
// 3 = the sleep ended early and Interrupted() is set.
TEST(InterruptWatch, FirstSignalWakesTheSleeperAndIsRecorded) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    Child child([](int fd) {
      selftest::InstallInterruptWatch();
      if (selftest::Interrupted()) return 1;
      Child::Report(fd);
      const bool slept_fully = selftest::SleepFor(std::chrono::seconds(60));
      return (!slept_fully && selftest::Interrupted()) ? 3 : 2;
    });
    ASSERT_TRUE(child.Step());
    child.Signal(signal_number);
    EXPECT_EQ(child.Wait(std::chrono::seconds(30)), 3) << "signal " << signal_number;
  }
}

// A second signal ends the process at once with 130, whatever it is doing.
TEST(InterruptWatch, SecondSignalExitsAt130) {
  Child child([](int fd) {
    selftest::InstallInterruptWatch();
    Child::Report(fd);
    while (!selftest::Interrupted()) selftest::SleepFor(std::chrono::seconds(1));
    Child::Report(fd);
    // A shutdown that does not finish by itself.
    for (;;) pause();
    return 0;
  });
  ASSERT_TRUE(child.Step());
  child.Signal(SIGINT);
  ASSERT_TRUE(child.Step());
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(std::chrono::seconds(30)), selftest::kInterruptedExitStatus);
}

}  // namespace
