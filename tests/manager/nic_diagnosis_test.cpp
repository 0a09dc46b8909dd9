// The cause given after "No socket connection on %s, Execute as root.":
// found with plain Linux calls, whichever master library failed to open
// the interface. The cases that change privileges or namespaces run in a
// child process and need root; without it they are skipped.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "ethercat_manager/nic_diagnosis.h"

namespace {

using ethercat_manager::DiagnoseInterface;
using ethercat_manager::DiagnoseSilentInterface;

// Runs fn in a child process and returns the text it produced.
std::string InChild(const std::function<std::string()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string text = fn();
    const ssize_t written = write(fds[1], text.data(), text.size());
    _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

TEST(InterfaceDiagnosis, NamesThatCannotBeOpened) {
  EXPECT_EQ(DiagnoseInterface(""), "No interface name is configured (ethercat.ifname).");
  // The kernel's limit is 15 characters: 16 cannot name an interface.
  EXPECT_EQ(DiagnoseInterface("enp0s31f6_ecat01"),
            "Interface name enp0s31f6_ecat01 is longer than 15 characters; no interface can have "
            "it.");
  EXPECT_EQ(DiagnoseInterface("zv_absent15char"),
            "No network interface named zv_absent15char on this computer (see ip link).");
}

TEST(InterfaceDiagnosis, PermissionAndLinkState) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  // Root, with lo up in the test's namespace: nothing to blame.
  // (lo may be down in a bare container; then that is what is said.)
  const std::string lo = DiagnoseInterface("lo");
  EXPECT_TRUE(lo.empty() || lo == "Interface lo is down (ip link set lo up).") << lo;

  // A fresh network namespace has only lo, and it is down.
  EXPECT_EQ(InChild([] {
              if (unshare(CLONE_NEWNET) != 0) return std::string("unshare failed");
              return DiagnoseInterface("lo");
            }),
            "Interface lo is down (ip link set lo up).");

  // A veth whose peer is down opens but carries nothing: no carrier. With
  // the peer up the interface itself is blamed for nothing.
  EXPECT_EQ(InChild([] {
              if (unshare(CLONE_NEWNET) != 0) return std::string("unshare failed");
              if (std::system("ip link add zvq0 type veth peer name zvq1 && ip link set zvq0 up") != 0) {
                return std::string("ip failed");
              }
              std::string seen = DiagnoseSilentInterface("zvq0") + "|";
              if (std::system("ip link set zvq1 down && ip link set zvq0 down") != 0) return std::string("ip failed");
              seen += DiagnoseSilentInterface("zvq0") + "|";
              if (std::system("ip link set zvq0 up && ip link set zvq1 up") != 0) return std::string("ip failed");
              // The kernel marks the link running from a deferred work item,
              // which a busy machine may run a second or more later.
              std::string last = DiagnoseSilentInterface("zvq0");
              for (int i = 0; i < 250 && !last.empty(); ++i) {
                usleep(20000);
                last = DiagnoseSilentInterface("zvq0");
              }
              return seen + last;
            }),
            "Interface zvq0 has no link (no carrier): check the cable from this computer to the first DCU and "
            "its power.|Interface zvq0 is down (ip link set zvq0 up).|");

  // Leaving root drops the capabilities: an existing interface cannot be
  // opened; a missing one is still named as missing.
  EXPECT_EQ(InChild([] {
              if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
                return std::string("setresuid failed");
              }
              return DiagnoseInterface("lo") + "|" + DiagnoseInterface("zv_absent0");
            }),
            "No permission for a raw socket on lo: run as root or give the program CAP_NET_RAW."
            "|No network interface named zv_absent0 on this computer (see ip link).");
}

}  // namespace
