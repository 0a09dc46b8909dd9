#include "ethercat_manager/nic_diagnosis.h"

#include <linux/capability.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace ethercat_manager {

namespace {

// CAP_NET_RAW in the effective set of this process. Root normally has it; a
// container or a dropped bounding set may take it away even from root, and
// setcap may give it to another user.
bool HasNetRaw() {
  __user_cap_header_struct header;
  std::memset(&header, 0, sizeof header);
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
  std::memset(data, 0, sizeof data);
  if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
  return (data[CAP_TO_INDEX(CAP_NET_RAW)].effective & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

// Whether the interface has all of the given flags; true when its flags
// cannot be read (no cause claimed without evidence).
bool HasFlags(const std::string& ifname, short flags) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::memcpy(ifr.ifr_name, ifname.c_str(), ifname.size());
  const bool read = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  close(fd);
  return !read || (ifr.ifr_flags & flags) == flags;
}

bool IsUp(const std::string& ifname) { return HasFlags(ifname, IFF_UP); }

std::string DownText(const std::string& ifname) {
  return "Interface " + ifname + " is down (ip link set " + ifname + " up).";
}

}  // namespace

std::string DiagnoseInterface(const std::string& ifname) {
  if (ifname.empty()) return "No interface name is configured (ethercat.ifname).";
  if (ifname.size() >= IFNAMSIZ) {
    return "Interface name " + ifname + " is longer than " + std::to_string(IFNAMSIZ - 1) +
           " characters; no interface can have it.";
  }
  if (if_nametoindex(ifname.c_str()) == 0) {
    return "No network interface named " + ifname + " on this computer (see ip link).";
  }
  if (!HasNetRaw()) {
    return "No permission for a raw socket on " + ifname +
           ": run as root or give the program CAP_NET_RAW.";
  }
  if (!IsUp(ifname)) return DownText(ifname);
  return "";
}

std::string DiagnoseSilentInterface(const std::string& ifname) {
  if (ifname.empty() || ifname.size() >= IFNAMSIZ || if_nametoindex(ifname.c_str()) == 0) return "";
  if (!IsUp(ifname)) return DownText(ifname);
  if (!HasFlags(ifname, IFF_RUNNING)) {
    return "Interface " + ifname +
           " has no link (no carrier): check the cable from this computer to the first DCU and its power.";
  }
  return "";
}

}  // namespace ethercat_manager
