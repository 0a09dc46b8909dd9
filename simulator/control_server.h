// The dcu_sim control socket: a Unix-domain stream socket that only root can
// use. Each line is one command; each reply is followed by an empty line.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct pollfd;

namespace dcusim {

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  explicit ControlServer(Handler handler) : handler_(std::move(handler)) {}
  ~ControlServer();

  bool Listen(const std::string& path, std::string* error);
  // Adds the server's descriptors to `fds` (entries from `first` on belong to
  // it) and handles the events of a finished poll.
  void AddPollFds(std::vector<pollfd>* fds);
  void HandleEvents(const std::vector<pollfd>& fds, size_t first);
  const std::string& path() const { return path_; }

 private:
  struct Client {
    int fd = -1;
    std::string in;
    std::string out;
    bool discarding = false;
  };
  void Accept();
  void DropHungUpClients();
  bool ReadClient(Client& c);
  bool FlushClient(Client& c);

  Handler handler_;
  std::string path_;
  int listen_fd_ = -1;
  std::vector<Client> clients_;
};

}  // namespace dcusim
