// Configuration of a simulated network for the manager's bus tests: n DCUs,
// each with its IMU on and one KinetraA (id 1) on channel 1.
#pragma once

#include <cstdint>
#include <string>

namespace manager_test {

inline std::string SimYaml(int dcus, uint64_t cycle_ns = 1000000) {
  std::string yaml =
      "ZorvikController:\n"
      "  ethercat:\n"
      "    ifname: eth0\n"
      "    enable_dc: true\n"
      "    bind_cpu: -1\n"
      "    rt_priority: -1\n"
      "    cycle_time_ns: " +
      std::to_string(cycle_ns) + "\n";
  if (dcus == 0) return yaml + "  dcu_network: []\n";
  yaml += "  dcu_network:\n";
  for (int i = 1; i <= dcus; ++i) {
    const std::string n = std::to_string(i);
    yaml += "    - name: dcu_" + n + "\n" + "      ecat_id: " + n + "\n" +
            "      enable: true\n"
            "      imu_enable: true\n"
            "      channel_1:\n"
            "        - {name: joint_" + n + ", type: KINETRA_A90, can_id: 1}\n";
  }
  return yaml;
}

}  // namespace manager_test
