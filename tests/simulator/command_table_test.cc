// The command language, the fault list and the model list each come from one
// table; the help reply is generated from it and simulator/README.md is
// checked against it, so neither can drift from what the simulator does.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/actuator_models.h"
#include "simulator/sim_commands.h"
#include "simulator/sim_network.h"
#include "tests/support/build_paths.h"

namespace dcusim {
namespace {

std::string Readme() {
  std::ifstream in(SIMULATOR_README);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The rows of the Markdown table whose header line is `header`, each split
// into cells ("\|" inside a cell is a literal bar).
std::vector<std::vector<std::string>> MarkdownTable(const std::string& text, const std::string& header) {
  std::vector<std::vector<std::string>> rows;
  size_t at = text.find(header + "\n");
  if (at == std::string::npos) return rows;
  std::istringstream in(text.substr(at));
  std::string line;
  std::getline(in, line);  // header
  std::getline(in, line);  // separator
  while (std::getline(in, line) && !line.empty() && line[0] == '|') {
    std::vector<std::string> cells;
    std::string cell;
    for (size_t i = 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
        cell += '|';
        ++i;
      } else if (line[i] == '|') {
        cells.push_back(cell);
        cell.clear();
      } else {
        cell += line[i];
      }
    }
    rows.push_back(cells);
  }
  return rows;
}

std::vector<std::string> Backticked(const std::string& cell) {
  std::vector<std::string> spans;
  for (size_t a = cell.find('`'); a != std::string::npos; a = cell.find('`', a)) {
    const size_t b = cell.find('`', a + 1);
    if (b == std::string::npos) break;
    spans.push_back(cell.substr(a + 1, b - a - 1));
    a = b + 1;
  }
  return spans;
}

std::set<std::string> TableForms() {
  std::set<std::string> forms;
  for (const CommandForm& row : CommandForms()) {
    std::string s = row.syntax;
    for (size_t cut; (cut = s.find(" | ")) != std::string::npos; s = s.substr(cut + 3)) forms.insert(s.substr(0, cut));
    forms.insert(s);
  }
  return forms;
}

std::string Missing(const std::set<std::string>& want, const std::set<std::string>& have) {
  std::string out;
  for (const std::string& w : want) {
    if (!have.count(w)) out += " '" + w + "'";
  }
  return out;
}

TEST(SimCommandTableTest, ReadmeListsExactlyTheCommandsOfTheTable) {
  const auto rows = MarkdownTable(Readme(), "| command | effect |");
  ASSERT_GT(rows.size(), 10u) << "no command table in " << SIMULATOR_README;
  std::set<std::string> readme;
  for (const auto& row : rows) {
    for (const std::string& form : Backticked(row.at(0))) readme.insert(form);
  }
  const std::set<std::string> table = TableForms();
  EXPECT_EQ(Missing(table, readme), "") << "commands missing from the README";
  EXPECT_EQ(Missing(readme, table), "") << "README commands the simulator does not know";
}

TEST(SimCommandTableTest, ReadmeDescribesEveryFaultAndModel) {
  const std::string text = Readme();
  std::string fault_effects;
  for (const auto& row : MarkdownTable(text, "| command | effect |")) {
    if (row.at(0).find("`actuator NAME fault ") != std::string::npos) fault_effects = row.at(1);
  }
  ASSERT_FALSE(fault_effects.empty());
  for (const FaultInfo& f : Faults()) {
    if (f.fault == ActuatorFault::kNone) continue;
    EXPECT_NE(fault_effects.find(std::string(f.name) + ": " + f.effect), std::string::npos) << f.name;
  }

  std::set<std::string> readme_models, table_models;
  for (const auto& row : MarkdownTable(text, "| model | commands | feedback |")) {
    std::string cell = row.at(0);
    for (size_t cut; (cut = cell.find(" / ")) != std::string::npos; cell = cell.substr(cut + 3)) {
      readme_models.insert(cell.substr(cell.find_first_not_of(' '), cut - cell.find_first_not_of(' ')));
    }
    readme_models.insert(cell.substr(cell.find_first_not_of(' '), cell.find_last_not_of(' ') + 1 - cell.find_first_not_of(' ')));
  }
  for (const ActuatorKind& k : ActuatorKinds()) table_models.insert(k.type);
  EXPECT_EQ(readme_models, table_models);
}

// The help reply as it was written out by hand before the table: programs
// and people read it, so the table must reproduce it byte for byte.
TEST(SimCommandTableTest, HelpReplyIsUnchanged) {
  const char kHelp[] =
      "ok commands:\n"
      "  ping                                   answer 'ok pong'\n"
      "  help                                   this text\n"
      "  list                                   boards and actuators\n"
      "  cable pull | cable pull after K | cable restore\n"
      "  board K silent | board K answer        ESC of board K dead (frames pass untouched) or alive\n"
      "  board K state INIT|PRE_OP|SAFE_OP|OP [error] [code 0xNNNN]\n"
      "  board K reset                          power cycle board K's controller\n"
      "  board K port P link down|up            the cable at port P (0 = in, 1 = out) unplugged or back\n"
      "  board K port P rx_errors N             N damaged frames arrive at port P\n"
      "  board K [port P] lost_links N          port P's (default 0) lost-link counter rises by N\n"
      "  loss F                                 lose fraction F (0..1) of the frames\n"
      "  actuator NAME fault none|no_handshake|no_enable|no_move|slow\n"
      "  actuator NAME limit X|off   (end stop: position never above X)\n"
      "  imu K magnitude X | imu K axis x|y|z|-x|-y|-z | imu K on|off\n"
      "  get K state | get K dc | get K imu | get K ports | get actuator NAME\n"
      "  stats | stats reset";
  EXPECT_EQ(CommandHelp(), kHelp);
}

const char kNet[] = R"(ZorvikController:
  ethercat: {ifname: sim0, cycle_time_ns: 1000000}
  dcu_network:
    - {name: dcu_1, ecat_id: 1, channel_1: [{name: j1, type: KINETRA_A90, can_id: 1}],
       channel_2: [{name: g1, type: CLAVIX, can_id: 1}]}
    - {name: dcu_2, ecat_id: 2}
)";

// Every verb of the table is dispatched; the usage replies list the forms of
// the table (get lists `get K ports` too), and the error replies name the
// faults of the fault table.
TEST(SimCommandTableTest, DispatchAndUsageRepliesComeFromTheTable) {
  std::string err;
  auto net = SimNetwork::FromYaml(kNet, &err);
  ASSERT_TRUE(net) << err;
  const uint64_t now = 1000000000;
  for (const CommandForm& row : CommandForms()) {
    const std::string verb = row.syntax.substr(0, row.syntax.find(' '));
    EXPECT_EQ(net->Command(verb, now).find("error: unknown command"), std::string::npos) << verb;
  }
  EXPECT_EQ(net->Command("fly", now), "error: unknown command 'fly' (try 'help')");
  EXPECT_EQ(net->Command("get 1 mood", now),
            "error: usage: get K state | get K dc | get K imu | get K ports | get actuator NAME");
  EXPECT_EQ(net->Command("board 1 port 0 link sideways", now),
            "error: usage: board K port P link down|up | board K port P rx_errors N | board K [port P] lost_links N");
  EXPECT_EQ(net->Command("board 1 blink", now),
            "error: usage: board K silent | board K answer | board K state INIT|PRE_OP|SAFE_OP|OP [error] "
            "[code 0xNNNN] | board K reset");
  EXPECT_EQ(net->Command("actuator j1 wiggle x", now),
            "error: usage: actuator NAME fault none|no_handshake|no_enable|no_move|slow | actuator NAME limit X|off");
  EXPECT_EQ(net->Command("actuator j1 limit far", now), "error: usage: actuator NAME limit X|off, with X a position");
  EXPECT_EQ(net->Command("loss 2", now), "error: usage: loss F, with F a fraction between 0 and 1 (e.g. loss 0.01)");
  EXPECT_EQ(net->Command("actuator j1 fault sticky", now),
            "error: unknown fault 'sticky' (none, no_handshake, no_enable, no_move, slow)");
  EXPECT_EQ(net->Command("ping now", now), "error: unknown command 'ping' (try 'help')");
  EXPECT_EQ(net->Command("LIST", now).substr(0, 11), "ok 2 boards");
  EXPECT_EQ(net->Command("get actuator g1", now).substr(0, 29), "ok name=g1 type=CLAVIX board=");
}

// Every model of the table builds from its configuration text, reports its
// type and answers a shake-hand with its own type code.
TEST(SimCommandTableTest, EveryModelOfTheTableBuildsAndAnswersTheShakeHand) {
  std::set<int> codes;
  for (const ActuatorKind& k : ActuatorKinds()) {
    EXPECT_EQ(FindActuatorKind(k.type), &k);
    EXPECT_TRUE(codes.insert(k.code).second) << "type code used twice: " << int(k.code);
    auto m = MakeActuator(k, "a", 0x010101, Dynamics{});
    ASSERT_TRUE(m) << k.type;
    EXPECT_STREQ(m->type_name(), k.type);
    uint8_t shake[8] = {0xCD, 0, 0, 0, 0, 0, 0, 0}, none[8] = {};
    m->OnCommand(shake, none, false);
    uint8_t fb[8];
    m->WriteFeedback(fb);
    EXPECT_TRUE(m->handshake()) << k.type;
    EXPECT_EQ(fb[0], k.code) << k.type;
    EXPECT_EQ((fb[1] << 16) | (fb[2] << 8) | fb[3], 0x010101) << k.type;
  }
  EXPECT_EQ(FindActuatorKind("KINETRA_Z1"), nullptr);
  EXPECT_EQ(FindActuatorKind("kinetra_a90"), nullptr);
}

}  // namespace
}  // namespace dcusim
