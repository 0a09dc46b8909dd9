// dcu_simctl: sends commands to a running dcu_sim.
//
//   dcu_simctl [--control PATH] [--timeout SECONDS] COMMAND WORDS...
//   dcu_simctl [--control PATH] < commands.txt
//
// The socket is taken from --control, else $DCU_SIM_CONTROL, else the only
// socket in /run/dcu_sim. Exit status: 0 when every reply is "ok...", 1 when
// a reply is an error, 2 when the simulator cannot be reached.

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "simulator/control_client.h"

namespace {

std::string FindSocket() {
  if (const char* env = std::getenv("DCU_SIM_CONTROL"); env && *env) return env;
  std::vector<std::string> found;
  if (DIR* d = opendir(dcusim::kControlDir)) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".sock") == 0) found.push_back(std::string(dcusim::kControlDir) + "/" + n);
    }
    closedir(d);
  }
  return found.size() == 1 ? found[0] : "";
}

// What --help prints.
const char kHelp[] =
    "usage: dcu_simctl [--control PATH] [--timeout SECONDS] [COMMAND WORDS...]\n"
    "Without a command, reads one command per line from standard input.\n"
    "Try: dcu_simctl help\n"
    "\n"
    "Sends commands to a running dcu_sim and prints each reply: faults while a\n"
    "test runs (cable pull, board 2 silent, loss 0.01, actuator NAME fault\n"
    "no_enable, imu 1 magnitude 7.0), readings (get 1 state, stats) and\n"
    "\"help\" for the whole list.\n"
    "\n"
    "Options:\n"
    "  --control PATH       the simulator's control socket; default\n"
    "                       $DCU_SIM_CONTROL, else the only socket in /run/dcu_sim\n"
    "  --timeout SECONDS    how long to wait for each reply (default 5)\n"
    "  -h, --help           print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Exit status: 0 when every reply starts with \"ok\", 1 when a reply is an\n"
    "error, 2 when the simulator cannot be reached or does not answer.\n"
    "\n"
    "Manual: man dcu_simctl\n";

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int timeout_ms = 5000;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--control" && i + 1 < argc) {
      path = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      timeout_ms = static_cast<int>(std::atof(argv[++i]) * 1000);
    } else if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("dcu_simctl %s\n", ZORVIK_VERSION);
      return 0;
    } else {
      words.push_back(a);
    }
  }
  if (path.empty()) path = FindSocket();
  if (path.empty()) {
    std::fprintf(stderr, "dcu_simctl: no control socket: give --control PATH or set DCU_SIM_CONTROL\n");
    return 2;
  }
  dcusim::ControlClient client;
  std::string error;
  if (!client.Connect(path, &error)) {
    std::fprintf(stderr, "dcu_simctl: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::string> commands;
  if (!words.empty()) {
    std::string line;
    for (const auto& w : words) line += (line.empty() ? "" : " ") + w;
    commands.push_back(line);
  }
  bool from_stdin = words.empty();
  int status = 0;
  std::string line;
  size_t next = 0;
  for (;;) {
    if (from_stdin) {
      if (!std::getline(std::cin, line)) break;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    } else {
      if (next >= commands.size()) break;
      line = commands[next++];
    }
    std::string reply;
    if (!client.Request(line, timeout_ms, &reply)) {
      std::fprintf(stderr, "dcu_simctl: no reply from %s\n", path.c_str());
      return 2;
    }
    std::printf("%s\n", reply.c_str());
    if (reply.compare(0, 2, "ok") != 0) status = 1;
  }
  return status;
}
