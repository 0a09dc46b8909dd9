// Runs a program with a bounded time, capturing its standard output line by
// line, and can send it signals when given lines appear.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tooltest {

// When a line containing `text` appears, `action` runs with the id of the
// started process (e.g. to send it a signal). Each trigger fires once, in
// the order the lines arrive.
struct Trigger {
  std::string text;
  std::function<void(pid_t)> action;
};

// A trigger action that sends a signal to the started process.
inline std::function<void(pid_t)> SendSignal(int signal_number) {
  return [signal_number](pid_t pid) { kill(pid, signal_number); };
}

struct ProgramResult {
  int exit_status = -1;    // -1 when the process ended by a signal
  int term_signal = 0;     // the signal that ended it, if any
  bool timed_out = false;  // killed because it ran past the limit
  std::string output;      // everything written to standard output

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
      size_t end = output.find('\n', start);
      if (end == std::string::npos) end = output.size();
      lines.push_back(output.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
};

// Starts argv[0] (searched in PATH) in a process group of its own. Standard
// error is left to the caller's. On time-out the whole group is killed.
inline ProgramResult RunProgram(const std::vector<std::string>& argv,
                                std::chrono::seconds time_limit,
                                std::vector<Trigger> triggers = {}) {
  ProgramResult result;
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;

  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    dup2(out_pipe[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // The test binary may run with signals blocked or ignored; the program
    // must start with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  if (child < 0) {
    close(out_pipe[0]);
    return result;
  }
  setpgid(child, child);

  const auto deadline = std::chrono::steady_clock::now() + time_limit;
  std::vector<bool> fired(triggers.size(), false);
  size_t scanned = 0;  // output before this offset has been matched already
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(-child, SIGKILL);
      break;
    }
    pollfd pfd{out_pipe[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0) continue;
    if (ready == 0) continue;
    const ssize_t n = read(out_pipe[0], buffer, sizeof(buffer));
    if (n <= 0) break;  // every writer closed its end
    result.output.append(buffer, static_cast<size_t>(n));

    // Match triggers against complete lines only.
    const size_t last_newline = result.output.rfind('\n');
    if (last_newline == std::string::npos || last_newline < scanned) continue;
    const std::string fresh = result.output.substr(scanned, last_newline + 1 - scanned);
    scanned = last_newline + 1;
    for (size_t i = 0; i < triggers.size(); ++i) {
      if (fired[i] || fresh.find(triggers[i].text) == std::string::npos) continue;
      fired[i] = true;
      triggers[i].action(child);
    }
  }
  close(out_pipe[0]);

  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

// ANSI colour wrappers as the programs print them.
// Runs a shell command; returns its exit status (-1 when it did not exit)
// and its standard output in *output.
inline int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  std::string out;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  if (output != nullptr) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The standard output of a shell command.
inline std::string ShellOutput(const std::string& command) {
  std::string out;
  Shell(command, &out);
  return out;
}

inline std::string Red(const std::string& text) { return "\033[31m" + text + "\033[0m"; }
inline std::string Green(const std::string& text) { return "\033[32m" + text + "\033[0m"; }
inline std::string Yellow(const std::string& text) { return "\033[33m" + text + "\033[0m"; }

}  // namespace tooltest
