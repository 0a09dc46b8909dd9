#include "simulator/scenario_player.h"

#include <sstream>

#include "simulator/sim_network.h"
#include "simulator/sim_network_impl.h"

namespace dcusim {

bool SplitCommand(const std::string& line, std::vector<std::string>* words, std::string* reply) {
  words->clear();
  std::istringstream in(line);
  for (std::string w; in >> w;) words->push_back(w);
  if (words->empty()) {
    *reply = "error: empty command (try 'help')";
    return false;
  }
  for (const std::string& w : *words) {
    for (char c : w) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        *reply = "error: the command contains non-printable characters";
        return false;
      }
    }
  }
  return true;
}

bool ScenarioPlayer::IsProcessData(const uint8_t* frame, size_t len) {
  // Ethernet header, EtherCAT header of type 1 (datagrams), first command.
  if (len < 14 + 2 + 10 || ((frame[12] << 8) | frame[13]) != 0x88A4) return false;
  if ((frame[15] >> 4) != 1) return false;
  const uint8_t cmd = frame[16];
  return cmd == 0x0A || cmd == 0x0B || cmd == 0x0C;
}

bool CheckScenario(const NetworkPlan& plan, std::string* error) {
  if (plan.scenario.empty()) return true;
  // A scratch network of the same boards and actuators answers each
  // command as the real one would; its state is thrown away.
  std::unique_ptr<SimNetwork::Impl> scratch = SimNetwork::Impl::Build(plan);
  std::lock_guard<std::mutex> lock(scratch->mu);
  for (size_t i = 0; i < plan.scenario.size(); ++i) {
    std::vector<std::string> words;
    std::string reply;
    if (SplitCommand(plan.scenario[i].command, &words, &reply)) reply = scratch->Execute(words, 0);
    if (reply.rfind("error", 0) == 0) {
      *error = "DcuSimulator.scenario[" + std::to_string(i) + "].command: '" + plan.scenario[i].command.substr(0, 80) +
               "' is refused: " + (reply.compare(0, 7, "error: ") == 0 ? reply.substr(7) : reply);
      return false;
    }
  }
  return true;
}

void SimNetwork::Impl::PlayScenario(const uint8_t* frame, size_t len, uint64_t now) {
  scenario.OnFrame(frame, len, now, [&](const ScenarioStep& step) {
    std::vector<std::string> words;
    std::string reply;
    if (SplitCommand(step.command, &words, &reply)) reply = Execute(words, now);
    std::ostringstream line;
    line << "at " << step.at_ms << " ms: " << step.command << " -> " << reply.substr(0, reply.find('\n'));
    scenario_log.push_back(line.str());
  });
}

}  // namespace dcusim
