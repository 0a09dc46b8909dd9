// The control command language of the simulated network (dcu_simctl, the
// control socket, SimNetwork::Command): one table of its forms, from which
// the help reply, the usage replies and the dispatch come.
#pragma once

#include <string>
#include <vector>

namespace dcusim {

struct CommandForm {
  std::string syntax;  // one or more forms, " | " between them, e.g. "stats | stats reset"
  std::string help;    // what it does ("" when the forms say it)
};

// The table's rows in the order the help reply lists them.
std::vector<CommandForm> CommandForms();
// The reply to `help`.
std::string CommandHelp();

}  // namespace dcusim
