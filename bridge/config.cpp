// SPDX-License-Identifier: MIT
#include "bridge/config.h"

#include <boost/asio/ip/address.hpp>
#include <cstdlib>
#include <stdexcept>

namespace qelmar::bridge {

ListenAddress parse_listen(const std::string& text) {
  ListenAddress out{"127.0.0.1", default_port};
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) throw std::invalid_argument("no ']' in " + text);
    out.host = text.substr(1, close - 1);
    port = close + 1 < text.size() && text[close + 1] == ':' ? text.substr(close + 2) : "";
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    out.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  } else if (text.find_first_not_of("0123456789") != std::string::npos) {
    out.host = text;
    port.clear();
  }
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      throw std::invalid_argument("not a port: " + port);
    out.port = std::atoi(port.c_str());
    if (out.port > 65535) throw std::invalid_argument("not a port: " + port);
  }
  if (out.host.empty()) throw std::invalid_argument("no address in " + text);
  return out;
}

namespace {

[[noreturn]] void refuse(std::string_view text, const std::string& why) {
  std::string shown;
  for (const char c : text.substr(0, 200)) shown += c >= ' ' && c < 0x7F ? c : '?';
  throw std::invalid_argument("not an origin: \"" + shown + "\" (" + why + ")");
}

bool scheme_char(char c, bool first) {
  return (c >= 'a' && c <= 'z') ||
         (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

// "[::1]" as browsers write it: the shortest form.
std::string ipv6_host(std::string_view text, const std::string& host) {
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address_v6(host.substr(1, host.size() - 2), ec);
  if (ec) refuse(text, "not an IPv6 address");
  return "[" + address.to_string() + "]";
}

std::string name_host(std::string_view text, const std::string& host) {
  for (const char c : host) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (!ok) {
      refuse(text, static_cast<unsigned char>(c) >= 0x80
                       ? "write a name beyond ASCII as the browser does, in its xn-- form"
                       : "the host holds a character a name cannot");
    }
  }
  // Browsers write an IPv4 address in full: 127.1 reaches them as 127.0.0.1.
  if (host.find_first_not_of("0123456789.") != std::string::npos) return host;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address_v4(host, ec);
  if (ec) refuse(text, "write the IPv4 address as four numbers");
  return address.to_string();
}

// ":8080", or "" for none or the scheme's own.
std::string port_part(std::string_view text, const std::string& scheme, const std::string& port) {
  if (port.empty()) refuse(text, "no port after ':'");
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    refuse(text, "the port is not a number");
  const long number = std::atol(port.c_str());
  if (number < 1 || number > 65535) refuse(text, "the port is not 1 to 65535");
  const bool usual = (number == 80 && (scheme == "http" || scheme == "ws")) ||
                     (number == 443 && (scheme == "https" || scheme == "wss"));
  return usual ? "" : ":" + std::to_string(number);
}

}  // namespace

std::string parse_origin(std::string_view text) {
  std::string s;
  for (const char c : text) s += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  // A sandboxed frame or a file page sends "null", whatever site it came from.
  if (s == "null") refuse(text, "\"null\" is what any sandboxed page sends");
  const std::size_t colon = s.find("://");
  if (colon == std::string::npos || colon == 0) refuse(text, "give the scheme, e.g. http://");
  const std::string scheme = s.substr(0, colon);
  for (std::size_t i = 0; i < scheme.size(); ++i)
    if (!scheme_char(scheme[i], i == 0)) refuse(text, "the scheme is not one");
  std::string rest = s.substr(colon + 3);
  // One trailing slash is how an address is often written; a path is not an origin's.
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos)
    refuse(text, "an origin has no path, query or fragment");
  if (rest.find('@') != std::string::npos) refuse(text, "an origin has no user");
  const bool ipv6 = !rest.empty() && rest.front() == '[';
  const std::size_t end = ipv6 ? rest.find(']') : rest.rfind(':');
  if (ipv6 && end == std::string::npos) refuse(text, "no ']' after the IPv6 address");
  const std::size_t host_end = ipv6 ? end + 1 : end;
  const std::string host = rest.substr(0, host_end);
  if (host.empty()) refuse(text, "no host");
  std::string port;
  if (host_end < rest.size()) {
    if (rest[host_end] != ':') refuse(text, "only a port may follow the host");
    port = port_part(text, scheme, rest.substr(host_end + 1));
  }
  return scheme + "://" + (ipv6 ? ipv6_host(text, host) : name_host(text, host)) + port;
}

}  // namespace qelmar::bridge
