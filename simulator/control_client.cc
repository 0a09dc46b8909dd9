#include "simulator/control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dcusim {

namespace {
int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

std::string DefaultControlPath(const std::string& ifname) {
  return std::string(kControlDir) + "/" + ifname + ".sock";
}

ControlClient::~ControlClient() { Close(); }

void ControlClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  pending_.clear();
}

bool ControlClient::Connect(const std::string& path, std::string* error) {
  Close();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    if (error) *error = "control socket path too long: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = "cannot connect to " + path + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool ControlClient::Request(const std::string& command, int timeout_ms, std::string* reply) {
  if (fd_ < 0) return false;
  std::string line = command;
  if (line.empty() || line.back() != '\n') line += '\n';
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t w = send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      Close();
      return false;
    }
    sent += static_cast<size_t>(w);
  }
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    size_t end = pending_.find("\n\n");
    if (end != std::string::npos) {
      *reply = pending_.substr(0, end);
      pending_.erase(0, end + 2);
      return true;
    }
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
      Close();
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Close();
      return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace dcusim
