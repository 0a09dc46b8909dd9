// Configuration of a simulated network for the manager's bus tests: n DCUs
// (dcu_1..dcu_n), each with its IMU on and one KinetraA (id 1) on channel 1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/sim_bus.h"

namespace manager_test {

// simulator: body of the simulator-only settings, e.g.
// "outputs_count_in_safe_op: false\n".
inline std::string SimYaml(int dcus, uint64_t cycle_ns = 1000000, const std::string& simulator = "") {
  std::vector<simtest::ActuatorEntry> actuators;
  for (int i = 1; i <= dcus; ++i) {
    simtest::ActuatorEntry a;
    a.dcu = i;
    a.channel = 1;
    a.name = "joint_" + std::to_string(i);
    a.type = "KINETRA_A90";
    a.can_id = 1;
    actuators.push_back(a);
  }
  return simtest::MakeConfig(dcus, "eth0", true, cycle_ns, actuators, simulator);
}

// True when "get K state" answered with the given state name and no error.
inline bool BoardStateIs(const std::string& reply, const std::string& state) {
  return reply.find("state=" + state + " ") != std::string::npos && reply.find("error=0") != std::string::npos;
}

}  // namespace manager_test
