// Bus-test fixture without root: the simulated DCU network in this process.
//
// InprocBus builds the simulator engine (dcusim::SimNetwork) from the same
// configuration text SimBus takes and hands it to the built-in master core
// through its transport seam: while the fixture lives, every ec_init on
// ifname() runs over a transport that passes each frame through the engine
// (time is the monotonic clock, as in dcu_sim); any other interface name
// fails as an absent interface does. Control() takes the commands of
// dcu_simctl and answers as dcu_sim does; network() is the engine's typed
// API.
//
// One instance at a time per process (the core has one default context).
// The engine stays alive as long as the core still holds its transport.
#pragma once

#include <memory>
#include <string>

#include "simulator/sim_network.h"

namespace simtest {

class InprocBus {
 public:
  explicit InprocBus(const std::string& yaml_text);
  ~InprocBus();
  InprocBus(const InprocBus&) = delete;
  InprocBus& operator=(const InprocBus&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // Interface name the master core answers to with the simulated network.
  const std::string& ifname() const { return ifname_; }
  // One control command; the reply text ("ok..." or "error: ...") exactly as
  // dcu_simctl prints it.
  std::string Control(const std::string& command);
  // The engine itself; valid while ok().
  dcusim::SimNetwork& network() { return *network_; }
  // Always true: no root, no namespaces, no other program.
  static bool Available(std::string* why);

 private:
  bool ok_ = false;
  bool installed_ = false;
  std::string error_;
  std::string ifname_;
  std::shared_ptr<dcusim::SimNetwork> network_;
};

}  // namespace simtest
