#include "simulator/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "simulator/control_client.h"

namespace dcusim {

namespace {
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxClients = 32;
constexpr size_t kMaxPendingOutput = 1 << 20;

bool MakeDirs(const std::string& dir, std::string* error) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *error = dir + " is not a directory";
      return false;
    }
    return true;
  }
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash), error)) return false;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
}  // namespace

ControlServer::~ControlServer() {
  for (Client& c : clients_) close(c.fd);
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
}

bool ControlServer::Listen(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    *error = "control socket path is empty or longer than " + std::to_string(sizeof(addr.sun_path) - 1) + " bytes";
    return false;
  }
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && !MakeDirs(path.substr(0, slash), error)) return false;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    ControlClient probe;
    std::string ignored;
    if (S_ISSOCK(st.st_mode) && probe.Connect(path, &ignored)) {
      *error = "control socket " + path + " is in use by another simulator";
      return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    unlink(path.c_str());
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const mode_t old = umask(0177);
  const int rc = bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (rc != 0 || chmod(path.c_str(), 0600) != 0 || listen(listen_fd_, 16) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  path_ = path;
  return true;
}

void ControlServer::AddPollFds(std::vector<pollfd>* fds) {
  fds->push_back(pollfd{listen_fd_, POLLIN, 0});
  for (const Client& c : clients_) {
    fds->push_back(pollfd{c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
  }
}

void ControlServer::HandleEvents(const std::vector<pollfd>& fds, size_t first) {
  if (first >= fds.size()) return;
  const size_t n = clients_.size();
  std::vector<bool> drop(n, false);
  for (size_t i = 0; i < n && first + 1 + i < fds.size(); ++i) {
    const short ev = fds[first + 1 + i].revents;
    if (!ev) continue;
    Client& c = clients_[i];
    bool ok = true;
    if (ev & (POLLIN | POLLHUP | POLLERR)) ok = ReadClient(c);
    if (ok && !c.out.empty()) ok = FlushClient(c);
    drop[i] = !ok;
  }
  for (size_t i = n; i-- > 0;) {
    if (drop[i]) {
      close(clients_[i].fd);
      clients_.erase(clients_.begin() + static_cast<long>(i));
    }
  }
  if (fds[first].revents & POLLIN) Accept();
}

void ControlServer::Accept() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    ucred cred{};
    socklen_t len = sizeof cred;
    const char* refusal = nullptr;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != 0) {
      refusal = "error: permission denied (root only)\n\n";
    } else {
      if (clients_.size() >= kMaxClients) DropHungUpClients();
      if (clients_.size() >= kMaxClients) refusal = "error: too many control connections\n\n";
    }
    if (refusal) {
      (void)!send(fd, refusal, std::strlen(refusal), MSG_NOSIGNAL);
      close(fd);
      continue;
    }
    Client c;
    c.fd = fd;
    clients_.push_back(std::move(c));
  }
}

// Connections that were closed before they were accepted still arrive through
// accept(); a full table is first cleared of every client whose peer is gone,
// so that a burst of short-lived connections never locks out the next one.
void ControlServer::DropHungUpClients() {
  std::vector<pollfd> fds;
  fds.reserve(clients_.size());
  for (const Client& c : clients_) fds.push_back(pollfd{c.fd, POLLIN, 0});
  if (poll(fds.data(), fds.size(), 0) <= 0) return;
  for (size_t i = clients_.size(); i-- > 0;) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    bool ok = ReadClient(clients_[i]);
    if (ok && !clients_[i].out.empty()) ok = FlushClient(clients_[i]);
    if (!ok) {
      close(clients_[i].fd);
      clients_.erase(clients_.begin() + static_cast<long>(i));
    }
  }
}

bool ControlServer::ReadClient(Client& c) {
  char buf[4096];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n == 0) {
      FlushClient(c);  // the peer may only have closed its sending side
      return false;
    }
    if (n < 0) return false;
    c.in.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
      std::string line = c.in.substr(0, nl);
      c.in.erase(0, nl + 1);
      if (c.discarding) {
        c.discarding = false;
        continue;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string reply = handler_(line);
      // An empty line ends a reply, so replies never contain one.
      std::string clean;
      clean.reserve(reply.size());
      for (size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '\n' && (clean.empty() || clean.back() == '\n' || i + 1 == reply.size())) continue;
        clean += reply[i];
      }
      c.out += clean + "\n\n";
    }
    if (c.in.size() > kMaxLine) {
      if (!c.discarding) c.out += "error: command longer than " + std::to_string(kMaxLine) + " bytes\n\n";
      c.discarding = true;
      c.in.clear();
    }
    if (c.out.size() > kMaxPendingOutput) return false;  // client does not read its replies
  }
  return true;
}

bool ControlServer::FlushClient(Client& c) {
  while (!c.out.empty()) {
    ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (w <= 0) return false;
    c.out.erase(0, static_cast<size_t>(w));
  }
  return true;
}

}  // namespace dcusim
