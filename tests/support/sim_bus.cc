#include "tests/support/sim_bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/build_paths.h"

namespace simtest {

namespace {

std::atomic<int> g_counter{0};
constexpr const char* kPrefix = "simbus_";

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool ProcessAlive(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Parses "simbus_<pid>_<n>" (or a prefix-stripped equivalent) into the pid.
long OwnerPid(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string rest = name.substr(prefix.size());
  char* end = nullptr;
  long pid = std::strtol(rest.c_str(), &end, 10);
  if (end == rest.c_str()) return -1;
  return pid;
}

void WriteFileString(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::trunc);
  f << text;
}

std::string Indent(const std::string& text, const std::string& pad) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out += pad + line + "\n";
  return out;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty()) return -1;
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipefd[1]);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeConfig(const ConfigOptions& o) {
  std::ostringstream y;
  y << "ZorvikController:\n";
  y << "  move_actuator: " << (o.move_actuator ? "true" : "false") << "\n";
  y << "  imu_dcu_name: " << o.imu_dcu_name << "\n";
  y << "  ethercat:\n";
  y << "    ifname: " << o.ifname << "\n";
  y << "    enable_dc: " << (o.enable_dc ? "true" : "false") << "\n";
  y << "    bind_cpu: " << o.bind_cpu << "\n";
  y << "    rt_priority: " << o.rt_priority << "\n";
  y << "    cycle_time_ns: " << o.cycle_time_ns << "\n";
  y << "  dcu_network:\n";
  for (int d = 1; d <= o.dcus; ++d) {
    y << "    - name: dcu_" << d << "\n";
    y << "      ecat_id: " << d << "\n";
    y << "      enable: true\n";
    y << "      imu_enable: true\n";
    for (int c = 1; c <= 3; ++c) {
      bool header = false;
      for (const ActuatorEntry& a : o.actuators) {
        if (a.dcu != d || a.channel != c) continue;
        if (!header) y << "      channel_" << c << ":\n";
        header = true;
        y << "        - name: " << a.name << "\n";
        y << "          type: " << a.type << "\n";
        y << "          can_id: " << a.can_id << "\n";
      }
    }
  }
  if (!o.simulator.empty()) y << "DcuSimulator:\n" << Indent(o.simulator, "  ");
  return y.str();
}

std::string MakeConfig(int dcus, const std::string& ifname, bool enable_dc, uint64_t cycle_time_ns,
                       const std::vector<ActuatorEntry>& actuators, const std::string& simulator) {
  ConfigOptions o;
  o.dcus = dcus;
  o.ifname = ifname;
  o.enable_dc = enable_dc;
  o.cycle_time_ns = cycle_time_ns;
  o.actuators = actuators;
  o.simulator = simulator;
  return MakeConfig(o);
}

bool SimBus::Available(std::string* why) {
  std::string reason;
  if (geteuid() != 0) reason = "bus tests need root (network namespaces, raw sockets)";
  else if (access(DCU_SIM_BINARY, X_OK) != 0) reason = std::string("no dcu_sim at ") + DCU_SIM_BINARY;
  else if (RunProgram({"ip", "-V"}) != 0) reason = "the ip program (iproute2) is missing";
  if (why) *why = reason;
  return reason.empty();
}

int SimBus::SweepLeftovers() {
  int removed = 0;
  if (DIR* d = opendir("/run/netns")) {
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    for (const std::string& ns : names) {
      const long owner = OwnerPid(ns, kPrefix);
      if (owner < 0 || ProcessAlive(owner)) continue;
      std::string pids;
      RunProgram({"ip", "netns", "pids", ns}, &pids);
      for (const std::string& p : Split(pids)) {
        const long pid = std::strtol(p.c_str(), nullptr, 10);
        if (pid > 1) kill(static_cast<pid_t>(pid), SIGKILL);
      }
      if (RunProgram({"ip", "netns", "del", ns}) == 0) ++removed;
    }
  }
  // Master-side links whose namespace is gone normally vanish with it; a
  // link left in our namespace by an interrupted set-up does not.
  std::string links;
  RunProgram({"ip", "-o", "link", "show", "type", "veth"}, &links);
  std::istringstream in(links);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string name = line.substr(colon + 2);
    name = name.substr(0, name.find_first_of("@:"));
    if (name.compare(0, 2, "sb") != 0) continue;
    const long owner = std::strtol(name.c_str() + 2, nullptr, 10);
    if (owner > 0 && !ProcessAlive(owner)) RunProgram({"ip", "link", "del", name});
  }
  if (DIR* d = opendir(dcusim::kControlDir)) {
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    for (const std::string& n : names) {
      const long owner = OwnerPid(n, kPrefix);
      if (owner > 0 && !ProcessAlive(owner)) unlink((std::string(dcusim::kControlDir) + "/" + n).c_str());
    }
  }
  return removed;
}

SimBus::SimBus(const std::string& yaml_text, const std::string& extra_args) {
  SweepLeftovers();
  ok_ = Start(yaml_text, extra_args);
  if (!ok_) Stop();
}

SimBus::~SimBus() { Stop(); }

bool SimBus::Start(const std::string& yaml_text, const std::string& extra_args) {
  std::string why;
  if (!Available(&why)) {
    error_ = why;
    return false;
  }
  const int n = g_counter++;
  const std::string id = std::to_string(getpid()) + "_" + std::to_string(n);
  netns_ = kPrefix + id;
  master_if_ = "sb" + std::to_string(getpid()) + "m" + std::to_string(n);
  sim_if_ = "sb" + std::to_string(getpid()) + "s" + std::to_string(n);
  if (master_if_.size() > 15) {
    error_ = "interface name too long: " + master_if_;
    return false;
  }
  config_path_ = "/tmp/" + netns_ + ".yaml";
  log_path_ = "/tmp/" + netns_ + ".log";
  control_path_ = std::string(dcusim::kControlDir) + "/" + netns_ + ".sock";

  // The configuration, pointed at the master-side interface.
  std::string text = yaml_text;
  try {
    YAML::Node root = YAML::Load(yaml_text);
    if (root["ZorvikController"] && root["ZorvikController"]["ethercat"] &&
        root["ZorvikController"]["ethercat"].IsMap()) {
      root["ZorvikController"]["ethercat"]["ifname"] = master_if_;
      YAML::Emitter e;
      e << root;
      text = std::string(e.c_str()) + "\n";
    }
  } catch (const YAML::Exception&) {
    // Not valid YAML: hand it over unchanged; dcu_sim will say what is wrong.
  }
  WriteFileString(config_path_, text);

  std::string out;
  if (RunProgram({"ip", "netns", "add", netns_}, &out) != 0) {
    error_ = "ip netns add " + netns_ + " failed: " + out;
    return false;
  }
  netns_created_ = true;
  if (RunProgram({"ip", "link", "add", master_if_, "type", "veth", "peer", "name", sim_if_, "netns", netns_}, &out) !=
      0) {
    error_ = "cannot create the veth pair: " + out;
    return false;
  }
  WriteFileString("/proc/sys/net/ipv6/conf/" + master_if_ + "/disable_ipv6", "1\n");
  if (RunProgram({"ip", "link", "set", master_if_, "up"}, &out) != 0 ||
      RunProgram({"ip", "-n", netns_, "link", "set", sim_if_, "up"}, &out) != 0) {
    error_ = "cannot bring the veth pair up: " + out;
    return false;
  }

  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> argv = {DCU_SIM_BINARY, "--ifname", sim_if_, "--config", config_path_, "--control",
                                   control_path_};
  for (const std::string& a : Split(extra_args)) argv.push_back(a);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string ns_path = "/run/netns/" + netns_;
  const std::string ipv6_path = "/proc/sys/net/ipv6/conf/" + sim_if_ + "/disable_ipv6";
  int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log_fd < 0) {
    error_ = "cannot create " + log_path_;
    return false;
  }
  pid_ = fork();
  if (pid_ < 0) {
    close(log_fd);
    error_ = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid_ == 0) {
    int nsfd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) _exit(126);
    int v6 = open(ipv6_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (v6 >= 0) {
      (void)!write(v6, "1\n", 2);
      close(v6);
    }
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execv(args[0], args.data());
    _exit(127);
  }
  close(log_fd);

  // Ready when it answers on its control socket.
  const int64_t deadline = NowMs() + 15000;
  while (NowMs() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "dcu_sim exited (status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
               "): " + SimLog();
      return false;
    }
    std::string ignored, reply;
    if (client_.Connect(control_path_, &ignored) && client_.Request("ping", 2000, &reply) && reply == "ok pong") {
      return true;
    }
    SleepMs(20);
  }
  error_ = "dcu_sim did not answer on " + control_path_ + " within 15 s: " + SimLog();
  return false;
}

void SimBus::Stop() {
  client_.Close();
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const int64_t deadline = NowMs() + 3000;
    int status = 0;
    bool gone = false;
    while (NowMs() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        gone = true;
        break;
      }
      SleepMs(5);
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (netns_created_) {
    RunProgram({"ip", "netns", "del", netns_});
    netns_created_ = false;
  }
  if (!master_if_.empty() && access(("/sys/class/net/" + master_if_).c_str(), F_OK) == 0) {
    RunProgram({"ip", "link", "del", master_if_});
  }
  if (!control_path_.empty()) unlink(control_path_.c_str());
  if (!config_path_.empty()) unlink(config_path_.c_str());
  if (!log_path_.empty()) unlink(log_path_.c_str());
}

std::string SimBus::Control(const std::string& command) {
  std::string reply, err;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!client_.connected() && !client_.Connect(control_path_, &err)) return "error: " + err;
    if (client_.Request(command, 5000, &reply)) return reply;
  }
  return "error: no reply from dcu_sim";
}

bool SimBus::SimAlive() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::string SimBus::SimLog() const {
  std::ifstream f(log_path_);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace simtest
