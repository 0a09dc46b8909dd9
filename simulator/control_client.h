// Client side of the dcu_sim control socket: one command per line, each
// reply ends with an empty line.
#pragma once

#include <string>

namespace dcusim {

class ControlClient {
 public:
  ControlClient() = default;
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  bool Connect(const std::string& path, std::string* error);
  bool connected() const { return fd_ >= 0; }
  void Close();
  // Sends one command and returns its reply without the terminating empty
  // line. On a transport failure returns false and closes the connection.
  bool Request(const std::string& command, int timeout_ms, std::string* reply);

 private:
  int fd_ = -1;
  std::string pending_;
};

// Default socket directory and the path dcu_sim uses for an interface.
constexpr const char* kControlDir = "/run/dcu_sim";
std::string DefaultControlPath(const std::string& ifname);

}  // namespace dcusim
