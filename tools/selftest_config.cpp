#include "tools/selftest_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <istream>
#include <map>
#include <streambuf>
#include <set>

#include "controller/dcu.h"
#include "ethercat_manager/ethercat_manager.h"

namespace selftest {

namespace {

constexpr const char* kRootKey = "ZorvikController";

// Enabled DCUs whose process data fit the master's image, 480 bytes each.
constexpr size_t kMaxEnabledDcus =
    ethercat_manager::kIoMapSize / (sizeof(zorvik::DcuSendPacket) + sizeof(zorvik::DcuRecvPacket));
// The cycle is handed to SYNC0 as a 32-bit value.
constexpr uint64_t kMaxCycleTimeNs = 4294967295ULL;

std::atomic<bool (*)()> interrupt_check{nullptr};

void StopIfInterrupted() {
  bool (*check)() = interrupt_check.load();
  if (check != nullptr && check()) throw ConfigReadInterrupted();
}

// The bytes of a document handed to yaml-cpp a block at a time, with the
// interrupt check before each block (yaml-cpp reads as it parses). An
// interrupt ends the bytes there, so that yaml-cpp finishes at once and
// cleanly (an exception thrown through it could leave its buffers behind);
// the caller then asks interrupted().
class InterruptibleBuffer : public std::streambuf {
 public:
  explicit InterruptibleBuffer(const std::string& bytes) : bytes_(bytes) {}
  bool interrupted() const { return interrupted_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (offset_ >= bytes_.size() || interrupted_) return traits_type::eof();
    bool (*check)() = interrupt_check.load();
    if (check != nullptr && check()) {
      interrupted_ = true;
      return traits_type::eof();
    }
    char* begin = const_cast<char*>(bytes_.data()) + offset_;
    const size_t length = std::min(kBlock, bytes_.size() - offset_);
    offset_ += length;
    setg(begin, begin, begin + length);
    return traits_type::to_int_type(*gptr());
  }

 private:
  static constexpr size_t kBlock = 4096;
  const std::string& bytes_;
  size_t offset_ = 0;
  bool interrupted_ = false;
};

// What a file that is not a regular file is, in words.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// Closes a descriptor on every way out.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

// The top-level map. Taken from a const view of the document, so that a
// missing key yields yaml-cpp's "invalid node; first invalid key" error
// naming it instead of an empty node.
YAML::Node Root(const YAML::Node& document) {
  const YAML::Node& doc = document;
  const YAML::Node root = [&doc] {
    try {
      return doc[kRootKey];
    } catch (const YAML::Exception& e) {
      throw ConfigKeyError(e.what(), kRootKey);
    }
  }();
  if (!root.IsDefined()) {
    throw ConfigKeyError(YAML::ErrorMsg::INVALID_NODE_WITH_KEY(kRootKey), kRootKey);
  }
  return root;
}

std::string PathOf(const char* key) { return std::string(kRootKey) + "." + key; }

// root[key], which must be there.
YAML::Node Child(const YAML::Node& root, const char* key) {
  const YAML::Node child = [&root, key] {
    try {
      return root[key];
    } catch (const YAML::Exception& e) {
      throw ConfigKeyError(e.what(), PathOf(key));
    }
  }();
  if (!child.IsDefined()) {
    throw ConfigKeyError(YAML::ErrorMsg::INVALID_NODE_WITH_KEY(key), PathOf(key));
  }
  return child;
}

// A plain value under the root.
template <typename T>
T ReadValue(const YAML::Node& root, const char* key) {
  const YAML::Node node = Child(root, key);
  try {
    return node.as<T>();
  } catch (const YAML::Exception& e) {
    throw ConfigKeyError(e.what(), PathOf(key));
  }
}

// The two records go through the decoders' own work so that the error names
// the key inside them; the decoder's line is printed as the decoder prints it.
template <typename T>
T ReadRecord(const YAML::Node& root, const char* key, const char* record,
             void (*decode)(const YAML::Node&, const std::string&, T&)) {
  const YAML::Node node = Child(root, key);
  T out;
  try {
    decode(node, PathOf(key), out);
  } catch (const ConfigKeyError& e) {
    std::printf("Parse %s failed, %s\n", record, e.reason().c_str());
    throw;
  }
  return out;
}

YAML::EthercatConfig ReadEthercat(const YAML::Node& root) {
  return ReadRecord(root, "ethercat", kEthercatRecordName, DecodeEthercatConfig);
}

std::vector<YAML::DcuConfig> ReadNetwork(const YAML::Node& root) {
  return ReadRecord(root, "dcu_network", kNetworkRecordName, DecodeDcuNetwork);
}

// "line L, column C: " of a node of the file.
std::string Where(const YAML::Node& node) {
  const YAML::Mark mark = node.Mark();
  if (mark.is_null()) return "";
  return "line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1) +
         ": ";
}

void CheckName(const std::string& what, const std::string& name, const YAML::Node& node,
               const std::string& path) {
  if (!HasControlCharacter(name)) return;
  throw ConfigKeyError(Where(node) + what + " \"" + EscapeControlCharacters(name) +
                           "\" holds a control character",
                       path);
}

// The keys a DCU record and an actuator entry may hold: the ones the
// programs read.
const char* const kRecordKeys[] = {"name", "ecat_id", "enable", "imu_enable",
                                   "channel_1", "channel_2", "channel_3", nullptr};
const char* const kActuatorKeys[] = {"name", "type", "can_id", nullptr};

bool IsOneOf(const std::string& key, const char* const* keys) {
  for (; *keys != nullptr; ++keys) {
    if (key == *keys) return true;
  }
  return false;
}

// A key as text; a key that is itself a list or a map is shown as such.
std::string KeyText(const YAML::Node& key) {
  if (key.IsScalar()) return key.Scalar();
  if (key.IsSequence()) return "[...]";
  if (key.IsMap()) return "{...}";
  return "~";
}

// A key that a person meant as a channel: starts with "channel" in any case.
bool LooksLikeChannelKey(const std::string& key) {
  static const std::string kPrefix = "channel";
  if (key.size() < kPrefix.size()) return false;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(key[i])) != kPrefix[i]) return false;
  }
  return key != "channel_1" && key != "channel_2" && key != "channel_3";
}

// The nodes visited so far by the first walk of the file, which sees every
// node the later reading can reach.
struct WalkBudget {
  size_t visited = 0;
};

void Visit(const YAML::Node& node, const std::string& path, size_t depth, WalkBudget& budget) {
  if (++budget.visited > kMaxConfigNodes) {
    throw ConfigKeyError(Where(node) + "the file holds more than " + std::to_string(kMaxConfigNodes) +
                             " nodes under " + kRootKey +
                             " (an alias counts each time it is used); a robot's file has about a "
                             "thousand at most",
                         path);
  }
  if (depth > kMaxConfigDepth) {
    throw ConfigKeyError(Where(node) + "the file nests deeper than " + std::to_string(kMaxConfigDepth) +
                             " levels under " + kRootKey + "; a robot's file has 6",
                         path);
  }
  if (budget.visited % 256 == 0) StopIfInterrupted();
}

// yaml-cpp keeps both entries of a key written twice in one map and reads
// the first: the actuators of a second "channel_1" or the second value of an
// "ecat_id" would be dropped without a word. Refuse any key met twice in the
// maps the programs read (the top-level map and everything under
// "ZorvikController"). This is the first walk of the file and visits every
// node under the root, each alias as often as it is used, so it also bounds
// the work of every later walk.
void CheckDuplicateKeys(const YAML::Node& node, const std::string& path, bool top_level, size_t depth,
                        WalkBudget& budget) {
  if (!top_level) Visit(node, path, depth, budget);
  if (node.IsSequence()) {
    for (size_t i = 0; i < node.size(); ++i) {
      CheckDuplicateKeys(node[i], path + "[" + std::to_string(i) + "]", false, depth + 1, budget);
    }
    return;
  }
  if (!node.IsMap()) return;
  std::map<std::string, YAML::Node> seen;
  for (const auto& key_value : node) {
    if (!key_value.first.IsScalar()) continue;
    const std::string key = key_value.first.Scalar();
    if (top_level && key != kRootKey) continue;
    const std::string key_path = (path.empty() ? "" : path + ".") + EscapeControlCharacters(key);
    const auto first = seen.find(key);
    if (first != seen.end()) {
      const YAML::Mark mark = first->second.Mark();
      throw ConfigKeyError(Where(key_value.first) + "key \"" + EscapeControlCharacters(key) +
                               "\" is written twice in one map" +
                               (mark.is_null() ? std::string()
                                               : ", first at line " + std::to_string(mark.line + 1)) +
                               "; only one may stay",
                           key_path);
    }
    seen.emplace(key, key_value.first);
    if (!top_level || key == kRootKey) CheckDuplicateKeys(key_value.second, key_path, false, depth + 1, budget);
  }
}

void CheckDuplicateKeys(const YAML::Node& document) {
  WalkBudget budget;
  CheckDuplicateKeys(document, "", true, 0, budget);
}

// The checks made once every key is read; see ReadDcuToolConfig.
void CheckNetwork(const YAML::Node& root, const YAML::EthercatConfig& ethercat,
                  const std::vector<YAML::DcuConfig>& network) {
  const YAML::Node ethercat_node = root["ethercat"];
  CheckName("interface name", ethercat.ifname, ethercat_node["ifname"],
            PathOf("ethercat") + ".ifname");
  if (ethercat.cycle_time_ns == 0 || ethercat.cycle_time_ns > kMaxCycleTimeNs) {
    throw ConfigKeyError(Where(ethercat_node["cycle_time_ns"]) + "cycle_time_ns " +
                             std::to_string(ethercat.cycle_time_ns) + " is outside 1 to " +
                             std::to_string(kMaxCycleTimeNs) + " ns",
                         PathOf("ethercat") + ".cycle_time_ns");
  }

  const YAML::Node network_node = root["dcu_network"];
  std::map<std::string, size_t> enabled_by_name;
  std::map<uint32_t, size_t> enabled_by_id;
  for (size_t i = 0; i < network.size(); ++i) {
    const YAML::DcuConfig& dcu = network[i];
    const YAML::Node node = network_node[i];
    const std::string at = PathOf("dcu_network") + "[" + std::to_string(i) + "]";
    CheckName("DCU name", dcu.name, node["name"], at + ".name");

    for (const auto& key_value : node) {
      const std::string key = KeyText(key_value.first);
      if (LooksLikeChannelKey(key)) {
        throw ConfigKeyError(Where(key_value.first) + "DCU " + EscapeControlCharacters(dcu.name) +
                                 " has a key \"" + EscapeControlCharacters(key) +
                                 "\", but its channels are channel_1, channel_2 and channel_3",
                             at + "." + EscapeControlCharacters(key));
      }
      if (IsOneOf(key, kRecordKeys)) continue;
      throw ConfigKeyError(Where(key_value.first) + "DCU " + EscapeControlCharacters(dcu.name) +
                               " has a key \"" + EscapeControlCharacters(key) +
                               "\" that the programs do not read; a record holds name, ecat_id, "
                               "enable, imu_enable, channel_1, channel_2 and channel_3",
                           at + "." + EscapeControlCharacters(key));
    }

    if (dcu.enable) {
      const auto same_name = enabled_by_name.find(dcu.name);
      if (same_name != enabled_by_name.end()) {
        throw ConfigKeyError(Where(node["name"]) + "two enabled DCUs are named " + dcu.name +
                                 ", the other is " + PathOf("dcu_network") + "[" +
                                 std::to_string(same_name->second) + "]",
                             at + ".name");
      }
      const auto same_id = enabled_by_id.find(dcu.ecat_id);
      if (same_id != enabled_by_id.end()) {
        throw ConfigKeyError(Where(node["ecat_id"]) + "enabled DCUs " +
                                 network[same_id->second].name + " and " + dcu.name +
                                 " both have ecat_id " + std::to_string(dcu.ecat_id) +
                                 "; each bus position holds one DCU",
                             at + ".ecat_id");
      }
      enabled_by_name.emplace(dcu.name, i);
      enabled_by_id.emplace(dcu.ecat_id, i);
      if (enabled_by_id.size() > kMaxEnabledDcus) {
        throw ConfigKeyError(Where(node["enable"]) + "DCU " + dcu.name + " is enabled DCU number " +
                                 std::to_string(enabled_by_id.size()) + "; the process image of " +
                                 std::to_string(ethercat_manager::kIoMapSize) + " bytes holds " +
                                 std::to_string(kMaxEnabledDcus) + " DCUs of " +
                                 std::to_string(sizeof(zorvik::DcuSendPacket) + sizeof(zorvik::DcuRecvPacket)) +
                                 " bytes each",
                             at + ".enable");
      }
    }

    static const char* const kChannelKeys[3] = {"channel_1", "channel_2", "channel_3"};
    for (size_t c = 0; c < dcu.channels.size(); ++c) {
      for (size_t k = 0; k < dcu.channels[c].size(); ++k) {
        const std::string entry = at + "." + kChannelKeys[c] + "[" + std::to_string(k) + "]";
        const YAML::Node entry_node = node[kChannelKeys[c]][k];
        CheckName("actuator name", dcu.channels[c][k].name, entry_node["name"], entry + ".name");
        for (const auto& key_value : entry_node) {
          const std::string key = KeyText(key_value.first);
          if (IsOneOf(key, kActuatorKeys)) continue;
          throw ConfigKeyError(Where(key_value.first) + "actuator " +
                                   EscapeControlCharacters(dcu.channels[c][k].name) + " has a key \"" +
                                   EscapeControlCharacters(key) +
                                   "\" that the programs do not read; an actuator holds name, type "
                                   "and can_id",
                               entry + "." + EscapeControlCharacters(key));
        }
      }
    }
  }
}

}  // namespace

ConfigFileError::ConfigFileError(const std::string& text)
    : YAML::Exception(YAML::Mark::null_mark(), text) {}

void SetConfigReadInterruptCheck(bool (*interrupted)()) { interrupt_check.store(interrupted); }

YAML::Node LoadConfig(const std::string& bytes) {
  InterruptibleBuffer buffer(bytes);
  std::istream in(&buffer);
  YAML::Node document;
  try {
    document = YAML::Load(in);
  } catch (const YAML::Exception&) {
    if (buffer.interrupted()) throw ConfigReadInterrupted();
    throw;
  }
  if (buffer.interrupted()) throw ConfigReadInterrupted();
  return document;
}

std::string ReadConfigFile(const std::string& path) {
  // Not blocking: opening a FIFO would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw ConfigFileError(YAML::ErrorMsg::BAD_FILE + std::string(": ") + path);
  FdCloser closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) {
    throw ConfigFileError(YAML::ErrorMsg::BAD_FILE + std::string(": ") + path + ": " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw ConfigFileError(YAML::ErrorMsg::BAD_FILE + std::string(": ") + path + ": " + KindOf(st.st_mode) +
                          ", not a regular file");
  }
  const std::string too_large = YAML::ErrorMsg::BAD_FILE + std::string(": ") + path +
                                ": larger than " + std::to_string(kMaxConfigBytes) +
                                " bytes, the most a configuration file may hold";
  if (st.st_size > static_cast<off_t>(kMaxConfigBytes)) throw ConfigFileError(too_large);
  // The size may change while it is read: never take more than the bound.
  std::string bytes;
  char block[16384];
  for (;;) {
    StopIfInterrupted();
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw ConfigFileError(YAML::ErrorMsg::BAD_FILE + std::string(": ") + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > kMaxConfigBytes) throw ConfigFileError(too_large);
    bytes.append(block, static_cast<size_t>(n));
  }
  return bytes;
}

DcuToolConfig ReadDcuToolConfig(const YAML::Node& document) {
  CheckDuplicateKeys(document);
  const YAML::Node root = Root(document);
  DcuToolConfig config;
  config.ethercat = ReadEthercat(root);
  config.dcu_network = ReadNetwork(root);
  CheckNetwork(root, config.ethercat, config.dcu_network);
  return config;
}

RobotToolConfig ReadRobotToolConfig(const YAML::Node& document) {
  CheckDuplicateKeys(document);
  const YAML::Node root = Root(document);
  RobotToolConfig config;
  config.move_actuator = ReadValue<bool>(root, "move_actuator");
  config.imu_dcu_name = ReadValue<std::string>(root, "imu_dcu_name");
  config.ethercat = ReadEthercat(root);
  config.dcu_network = ReadNetwork(root);
  CheckName("imu_dcu_name", config.imu_dcu_name, root["imu_dcu_name"], PathOf("imu_dcu_name"));
  CheckNetwork(root, config.ethercat, config.dcu_network);
  return config;
}

bool HasControlCharacter(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    // U+0080 to U+009F, among them the one-byte CSI, in UTF-8.
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

std::string EscapeControlCharacters(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else if (c1) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\xC2\\x%02X", static_cast<unsigned char>(text[++i]));
      out += buf;
    } else {
      out += text[i];
    }
  }
  return out;
}

zorvik::ActuatorType ActuatorTypeFromText(const std::string& text) {
  const zorvik::ActuatorModel* model = zorvik::FindModel(text);
  return model == nullptr ? zorvik::TYPE_NONE : model->type;
}

}  // namespace selftest
