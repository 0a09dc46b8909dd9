// What a bus that answers with fewer slaves than the file places DCUs says
// about where the fault is. A board whose controller is dead but whose ports
// still pass frames does not count itself, so every board behind it answers
// one position early: the position that is missing need not be the board
// that is faulty, and the text names both possibilities.
#pragma once

#include <string>
#include <vector>

namespace ethercat_manager {

struct ConfiguredBoard {
  int position = 0;
  std::string name;
};

// `found` slaves answer; `last_port1_link` tells whether the last of them
// has a link on port 1 (the port towards the next board). `boards` are the
// registered boards in any order. An empty text when every registered
// position is within `found`.
std::string DiagnoseShortChain(int found, bool last_port1_link, std::vector<ConfiguredBoard> boards);

}  // namespace ethercat_manager
