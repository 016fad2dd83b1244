// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/platform.h"

namespace qelmar::bridge {

// The local bridge for browser and script hosts: HTTP/1.1 in front of the host
// library. Any page the till's browser opens can reach a local service, so
// every request must pass the Host, Origin and token checks before its body is
// read, and no client may hold more than a bounded slot for a bounded time.
struct BridgeOptions {
  std::vector<std::string> allow_origins;  // as parse_origin() gives them; none by default
  std::string token;                       // empty: no token asked for
  std::string sounds_dir;                  // empty: no sounds are played
  std::size_t max_body = 16384;            // 16 KiB
  std::size_t max_header = 8192;           // the request line and headers together
  std::size_t max_texts = 64;              // per request
  std::size_t workers = 4;                 // device calls at once
  std::size_t queue = 64;                  // requests waiting for a worker; then 503
  std::size_t max_connections = 512;       // open at once; then the quietest still reading goes
  std::chrono::milliseconds request_timeout{5000};  // to read a request, headers and body
  std::chrono::milliseconds write_timeout{5000};    // to write an answer
  bool quiet = false;                               // no request log
  std::string client_js;                            // what /v1/client.js serves
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
  int adopt(const InheritedSocket& socket);
  // Serves until SIGTERM or SIGINT; false when it could not.
  bool run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qelmar::bridge
