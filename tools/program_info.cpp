// --help and --version of the self-test programs and the bus survey.

#include "tools/program_info.h"

#include <cstdio>
#include <cstring>

#ifndef ZORVIK_VERSION
#error "ZORVIK_VERSION is set by the build (the project's VERSION in CMakeLists.txt)"
#endif

namespace selftest {
namespace {

// What both self-tests share: the report setting, the exit statuses and the
// permissions.
#define SELFTEST_COMMON                                                          \
  "Environment:\n"                                                              \
  "  SELFTEST_OUTPUT  also write the result as a report file: json:PATH,\n"      \
  "                   junit:PATH, and the frames of the run as pcap:PATH (for\n" \
  "                   Wireshark), separated by commas\n"                         \
  "                   (json:/tmp/r.json,junit:/tmp/r.xml). A report is written\n" \
  "                   on every path, whole or not at all; what is printed stays\n" \
  "                   the same.\n"                                               \
  "\n"                                                                          \
  "Exit status:\n"                                                              \
  "  0    the run ended, passing or failing: the last [TEST] line is the\n"      \
  "       verdict (测试通过 passed, 测试失败 failed); also when the file cannot\n" \
  "       be read or the bus does not start\n"                                   \
  "  130  interrupted by Ctrl-C or SIGTERM, after every actuator was disabled\n" \
  "\n"                                                                          \
  "Permissions: opening the bus needs root or the capabilities cap_net_raw and\n" \
  "cap_net_admin (cap_sys_nice for rt_priority); the Debian package gives the\n" \
  "program these on installation.\n"                                           \
  "\n"

struct ProgramHelp {
  const char* program;
  const char* help;
};

const ProgramHelp kHelp[] = {
    {"dcu_selftest",
    "Usage: dcu_selftest CONFIG.yaml\n"
    "       dcu_selftest --help | --version\n"
    "\n"
    "Checks a network of DCU boards on an EtherCAT bus: the bus reaches\n"
    "OPERATIONAL, the IMU of the first DCU in the file reads a gravity vector of\n"
    "about 9.8 m/s^2, and every actuator of the file answers a shake-hand.\n"
    "Nothing is enabled or moved. Prints coloured [TEST] lines and a final\n"
    "verdict on standard output. Run it before robot_selftest.\n"
    "\n"
    "Arguments:\n"
    "  CONFIG.yaml    the robot's configuration: the interface, the DCU boards\n"
    "                 with their bus positions and actuators (format: man 5\n"
    "                 zorvik_selftest.yaml; with the Debian package, examples in\n"
    "                 /usr/share/doc/zorvik-selftest/examples)\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    SELFTEST_COMMON
    "When the bus does not come up, survey it with dcu_businfo CONFIG.yaml.\n"
    "\n"
    "Manual: man dcu_selftest; the file: man 5 zorvik_selftest.yaml\n"},
    {"robot_selftest",
    "Usage: robot_selftest CONFIG.yaml\n"
    "       robot_selftest --help | --version\n"
    "\n"
    "Checks a whole robot on an EtherCAT bus: the bus reaches OPERATIONAL, the\n"
    "IMU of the DCU named by imu_dcu_name reads a gravity vector of about\n"
    "9.8 m/s^2, every actuator enables and, with move_actuator: true, every\n"
    "actuator is driven forward and back and must follow. At the end every\n"
    "actuator is commanded to zero and disabled, and the bus is stopped. Prints\n"
    "coloured [TEST] lines and a final verdict on standard output.\n"
    "\n"
    "With move_actuator: true the robot moves: keep it clear of obstacles and\n"
    "people, and run dcu_selftest first.\n"
    "\n"
    "Arguments:\n"
    "  CONFIG.yaml    the robot's configuration: move_actuator, imu_dcu_name,\n"
    "                 the interface, the DCU boards with their bus positions and\n"
    "                 actuators (format: man 5 zorvik_selftest.yaml; with the\n"
    "                 Debian package, examples in\n"
    "                 /usr/share/doc/zorvik-selftest/examples)\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    SELFTEST_COMMON
    "Manual: man robot_selftest; the file: man 5 zorvik_selftest.yaml\n"},
    {"dcu_businfo",
    "Usage: dcu_businfo CONFIG.yaml [--watch SECONDS] [--json] [--capture PATH]\n"
    "       dcu_businfo --help | --version\n"
    "\n"
    "Surveys the EtherCAT line of a robot and compares it with its\n"
    "configuration file: every slave's position, identity, state and port\n"
    "counters, then one [ERROR] line per difference (a missing board, an\n"
    "unexpected slave, where the line ends, a port whose error counters rise)\n"
    "and a final line saying whether the bus matches the file. Enables nothing\n"
    "and moves nothing; the boards are left in INIT.\n"
    "\n"
    "Arguments:\n"
    "  CONFIG.yaml        the same file the self-tests read (man 5\n"
    "                     zorvik_selftest.yaml)\n"
    "  --watch SECONDS    then run the enabled DCUs in OP (every output zero)\n"
    "                     for 1 to 86400 seconds and print every error counter\n"
    "                     that rises, once a second\n"
    "  --json             one JSON document on standard output; the lines go to\n"
    "                     standard error\n"
    "  --capture PATH     keep the frames of the survey in a pcap file for\n"
    "                     Wireshark\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0    the bus matches the file\n"
    "  1    it does not, or it cannot be surveyed (bad arguments, unreadable\n"
    "       file, no interface, no slave answers)\n"
    "  130  interrupted by Ctrl-C or SIGTERM, after the bus returned to INIT\n"
    "\n"
    "Permissions: opening the bus needs root or the capabilities cap_net_raw and\n"
    "cap_net_admin; the Debian package gives the program these on installation.\n"
    "\n"
    "Manual: man dcu_businfo; the file: man 5 zorvik_selftest.yaml\n"},
};

#undef SELFTEST_COMMON

}  // namespace

const char* ProgramVersion() { return ZORVIK_VERSION; }

const char* ProgramHelpText(const char* program) {
  for (const ProgramHelp& entry : kHelp) {
    if (std::strcmp(entry.program, program) == 0) return entry.help;
  }
  return nullptr;
}

bool PrintProgramInfo(int argc, char** argv, const char* program) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      const char* help = ProgramHelpText(program);
      std::fputs(help != nullptr ? help : "", stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", program, ProgramVersion());
      return true;
    }
  }
  return false;
}

}  // namespace selftest
