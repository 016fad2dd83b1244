// SPDX-License-Identifier: MIT
#pragma once

// What the bridge is told at start, checked there: each throws
// std::invalid_argument with the reason for a value it cannot use.

#include <cstddef>
#include <string>
#include <string_view>

namespace qelmar::bridge {

constexpr int default_port = 27400;

// "127.0.0.1:27400", "[::1]:8080", "localhost:0" or a bare port.
struct ListenAddress {
  std::string host;
  int port = 0;
};
ListenAddress parse_listen(const std::string& text);

// An origin a page may call from, "scheme://host[:port]", as a browser
// serialises it in its Origin header: scheme and host in lower case, no
// default port, no trailing slash. "null", and a value with no scheme, a
// path, a user or a query, are refused.
std::string parse_origin(std::string_view text);

// Descriptors the service needs besides its connections: the standard three,
// the listening socket, the displays' ports, the log.
constexpr std::size_t spare_descriptors = 64;

// The connections that `descriptors` (the process's limit) leave room for.
constexpr std::size_t connections_within(std::size_t descriptors) {
  return descriptors > spare_descriptors ? descriptors - spare_descriptors : 0;
}

}  // namespace qelmar::bridge
