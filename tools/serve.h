#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qelmar::tools {

// The local bridge for browser and script hosts: HTTP/1.1 in front of the
// library. Any page the till's browser opens can reach a local service, so
// every request must pass the Host, Origin and token checks before it is read.
struct BridgeOptions {
  std::vector<std::string> allow_origins;  // exact "scheme://host[:port]"; none by default
  std::string token;                       // empty: no token asked for
  std::string sounds_dir;                  // empty: no sounds are played
  std::size_t max_body = 16384;            // 16 KiB
  std::size_t max_texts = 64;              // per request
  std::size_t workers = 4;                 // requests served at once
  std::size_t queue = 16;                  // accepted connections waiting for a worker
  int timeout_seconds = 5;                 // to read a request, to write an answer
  std::string client_js;                   // what /v1/client.js serves
};

class Bridge {
 public:
  explicit Bridge(BridgeOptions options);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Listens on host:port (port 0: any free one). Returns the port, or -1.
  int bind(const std::string& host, int port);
  // Serves a socket that is already listening (socket activation). Returns its
  // port, or -1 when it is not a listening TCP socket.
  int adopt(int fd);
  // Serves until stop(); false when it could not.
  bool run();
  // Safe from another thread; not from a signal handler.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The sockets systemd passed this process (LISTEN_PID, LISTEN_FDS), from fd 3 on.
std::vector<int> activated_sockets();

// "127.0.0.1:27400", "[::1]:8080", "localhost:0" or a bare port; throws
// std::invalid_argument on anything else.
struct ListenAddress {
  std::string host;
  int port = 0;
};
ListenAddress parse_listen(const std::string& text);

constexpr int default_port = 27400;

}  // namespace qelmar::tools
