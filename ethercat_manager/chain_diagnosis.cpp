#include "ethercat_manager/chain_diagnosis.h"

#include <algorithm>

namespace ethercat_manager {

namespace {

std::string Label(const ConfiguredBoard& b) { return b.name + " (" + std::to_string(b.position) + ")"; }

}  // namespace

std::string DiagnoseShortChain(int found, bool last_port1_link, std::vector<ConfiguredBoard> boards) {
  std::sort(boards.begin(), boards.end(),
            [](const ConfiguredBoard& a, const ConfiguredBoard& b) { return a.position < b.position; });
  std::vector<ConfiguredBoard> answering;
  std::vector<ConfiguredBoard> missing;
  for (const ConfiguredBoard& b : boards) (b.position > found ? missing : answering).push_back(b);
  if (missing.empty()) return "";

  std::string text = found == 1 ? "Only 1 slave answers" : "Only " + std::to_string(found) + " slaves answer";
  const std::string last = "slave " + std::to_string(found);
  if (last_port1_link) {
    // The next board is linked, so it has power and a cable; its controller
    // is what does not answer.
    return text + ", and " + last + " has a link on port 1: the board behind it is connected but does not " +
           "answer; check " + (missing.front().position == found + 1 ? Label(missing.front())
                                                                       : "the slave at position " +
                                                                             std::to_string(found + 1)) +
           ".";
  }
  text += " and " + last + " has no link on port 1. " + (answering.empty() ? "" : "Either ");
  for (size_t i = 0; i < missing.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + Label(missing[i]);
  }
  text += std::string(missing.size() == 1 ? " is" : " are") + " cut off (check the cable to " + missing.front().name +
          " and its power)";
  if (!answering.empty()) {
    text += ", or ";
    if (answering.size() == 1) {
      text += Label(answering.front()) + " passes";
    } else {
      text += "one of ";
      for (size_t i = 0; i < answering.size(); ++i) text += (i ? ", " : "") + Label(answering[i]);
      text += " passes";
    }
    text += " frames without answering and every board behind it answers one position early";
  }
  return text + ". dcu_businfo shows each board's ports.";
}

}  // namespace ethercat_manager
