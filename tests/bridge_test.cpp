// SPDX-License-Identifier: MIT
// The bridge: real HTTP over loopback to a running qelmar-serve, and the frames
// read back from a virtual display on a pseudo-terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/log_file.h"
#include "built_paths.h"
#include "command_table.h"
#include "process.h"
#include "qelmar/version.h"
#include "virtual_port.h"

namespace qelmar::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string page = "http://pos.example:8080";

// One qelmar-serve on a free loopback port, with a display on port 3.
class Bridge {
 public:
  // Quiet unless asked: nobody reads its stderr, which would fill.
  // `descriptors`: the limit it starts under (hard and soft), when not 0.
  explicit Bridge(std::vector<std::string> options = {}, bool quiet = true, int descriptors = 0)
      : display_(devices_.path(), 3) {
    std::vector<std::string> argv{QELMAR_SERVE, "--listen", "127.0.0.1:0", "--allow-origin", page};
    if (quiet) argv.emplace_back("--quiet");
    argv.insert(argv.end(), options.begin(), options.end());
    if (descriptors > 0) {
      argv.insert(
          argv.begin(),
          {"sh", "-c", "ulimit -n " + std::to_string(descriptors) + " && exec \"$@\"", "sh"});
    }
    server_ = std::make_unique<Process>(argv);
    port_ = read_port();
  }

  // Started as systemd starts it: the listening socket as fd 3, LISTEN_PID and
  // LISTEN_FDS naming it; --listen then names a port it must not use.
  struct Activated {};
  explicit Bridge(Activated) : display_(devices_.path(), 3) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);  // inherited on purpose
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
      throw std::runtime_error("cannot make a listening socket");
    }
    server_ = std::make_unique<Process>(std::vector<std::string>{
        "sh", "-c",
        "exec 3<&$1; LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" --quiet --listen 127.0.0.1:1",
        QELMAR_SERVE, std::to_string(fd)});
    ::close(fd);
    port_ = read_port();
    if (port_ != ntohs(at.sin_port)) throw std::runtime_error("not the socket it was given");
  }

  int port() const { return port_; }
  const VirtualPort& display() const { return display_; }
  const std::string& devices() const { return devices_.path(); }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(10, 0);
    return c;
  }
  httplib::Result post(const std::string& path, const std::string& body,
                       const httplib::Headers& headers = {}) const {
    return client().Post(path.c_str(), headers, body, "application/json");
  }
  Process& server() { return *server_; }

 private:
  // "qelmar serve: listening on 127.0.0.1 port N"
  int read_port() const {
    std::string line;
    char c = 0;
    pollfd p{server_->out(), POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 &&
           ::read(server_->out(), &c, 1) == 1) {
      line += c;
    }
    const std::size_t at = line.rfind("port ");
    if (at == std::string::npos) throw std::runtime_error("qelmar-serve said: " + line);
    return std::stoi(line.substr(at + 5));
  }

  DeviceDir devices_;
  VirtualPort display_;
  std::unique_ptr<Process> server_;
  int port_ = 0;
};

json body_of(const httplib::Result& r) { return r ? json::parse(r->body) : json(); }

// Every row of the command table, sent as bytes, reaches the line as the
// library itself would send it, and the answer says so.
TEST(Bridge, SendsTheCommandTable) {
  Bridge bridge;
  for (const CommandRow& row : load_command_table()) {
    if (row.text.empty() || row.text.find('\0') != std::string::npos) continue;
    SCOPED_TRACE(::testing::PrintToString(row));
    const std::vector<std::uint8_t> text(row.text.begin(), row.text.end());
    const httplib::Result r = bridge.post("/v1/ports/3/commands", json{{"hex", hex(text)}}.dump());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const json item = body_of(r)["results"][0];
    EXPECT_EQ(item["result"], row.result);
    EXPECT_EQ(item["frame"], row.frame && !row.frame->empty() ? hex(*row.frame) : "");
    EXPECT_EQ(item["delivered"], row.frame.has_value()) << item.dump();
    EXPECT_EQ(bridge.display().read_through_marker(),
              row.frame.value_or(std::vector<std::uint8_t>{}));
  }
}

struct Accepted {
  const char* name;
  std::string path;
  json body;
  std::vector<std::uint8_t> line;
  json expected;  // fields of the answer, or of its first result
};

// UTF-8 in, GB2312 on the line; several texts in one request; the 0x12 frame;
// a port with no device says why.
TEST(Bridge, AnswersWhatBecameOfEachText) {
  const std::vector<Accepted> table = {
      {"text",
       "/v1/ports/3/commands",
       {{"text", "12.5H"}},
       {0x1F, 0x01, 0x02, 0x05, 0x00, 0x1F},
       {{"result", 2}, {"frame", "1F 01 02 05 00 1F"}}},
      {"GB2312 between the marks",
       "/v1/ports/3/commands",
       {{"text", "#价A#"}},
       {0xBC, 0xDB, 0xA3, 0xC1},
       {{"delivered", true}, {"frame", "BC DB A3 C1"}}},
      {"several texts",
       "/v1/ports/3/commands",
       {{"texts", {"5", "#1#"}}},
       {0x05, 0xA3, 0xB1},
       {{"result", 2}, {"frame", "05"}}},
      {"rc",
       "/v1/ports/3/rc",
       {{"a", 0x41}, {"b", 0x142}},
       {0x12, 0x41, 0x42},
       {{"delivered", true}, {"frame", "12 41 42"}}},
      {"no device",
       "/v1/ports/4/commands",
       {{"text", "12"}},
       {},
       {{"delivered", false}, {"why", "not sent: no such device"}, {"result", 750630}}},
  };
  Bridge bridge;
  for (const Accepted& row : table) {
    SCOPED_TRACE(row.name);
    const httplib::Result r = bridge.post(row.path, row.body.dump());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    json answer = body_of(r);
    if (answer.contains("results")) answer = answer["results"][0];
    for (const auto& [key, value] : row.expected.items()) EXPECT_EQ(answer[key], value) << key;
    EXPECT_EQ(bridge.display().read_through_marker(), row.line);
  }
  // The tool says what became of the same calls in the same words.
  for (const auto& [port, text] : {std::pair{"4", "12"}, std::pair{"3", "@12"}, {"3", "-1"}}) {
    SCOPED_TRACE(text);
    const json answer = body_of(bridge.post(std::string("/v1/ports/") + port + "/commands",
                                            json{{"text", text}}.dump()))["results"][0];
    const Process::Result tool = run_process({QELMAR_TOOL, "send", "-p", port, text});
    EXPECT_NE(tool.err.find(": " + answer["why"].get<std::string>() + "\n"), std::string::npos)
        << answer << " / " << tool.err;
  }
}

struct Refused {
  const char* name;
  std::string method, path, body;
  httplib::Headers headers;
  int status;
  const char* says;
  bool token = true;  // sends the right token
};

// A target of that many bytes.
std::string target_of(std::size_t bytes) { return "/v1/" + std::string(bytes - 4, 'a'); }

// Each refusal has its status and a message, and nothing reaches the line;
// after each the same service still answers.
TEST(Bridge, RefusesWhatItMust) {
  const std::vector<Refused> table = {
      // The log quotes 200 bytes of a target or method.
      {"target of 199 bytes", "GET", target_of(199), "", {}, 404, "no such resource"},
      {"target of 200 bytes", "GET", target_of(200), "", {}, 404, "no such resource"},
      {"target of 201 bytes", "GET", target_of(201), "", {}, 404, "no such resource"},
      {"target of 255 bytes", "GET", target_of(255), "", {}, 404, "no such resource"},
      {"target of 1,000 bytes", "POST", target_of(1000), "{}", {}, 404, "no such resource"},
      {"target of 8,000 bytes", "GET", target_of(8000), "", {}, 404, "no such resource"},
      {"method of 199 bytes", std::string(199, 'M'), "/v1/health", "", {}, 404, "no such"},
      {"method of 200 bytes", std::string(200, 'M'), "/v1/health", "", {}, 404, "no such"},
      {"method of 201 bytes", std::string(201, 'M'), "/v1/health", "", {}, 404, "no such"},
      {"method of 1,000 bytes", std::string(1000, 'M'), "/v1/health", "", {}, 404, "no such"},
      {"foreign origin",
       "POST",
       "/v1/ports/3/commands",
       R"({"text":"1"})",
       {{"Origin", "http://evil.example"}},
       403,
       "origin http://evil.example is not allowed"},
      {"origin null",
       "POST",
       "/v1/ports/3/commands",
       R"({"text":"1"})",
       {{"Origin", "null"}},
       403,
       "not allowed"},
      {"rebound name", "GET", "/v1/health", "", {{"Host", "evil.example:PORT"}}, 403, "Host"},
      {"right name, other port", "GET", "/v1/health", "", {{"Host", "localhost:1"}}, 403, "Host"},
      {"no token", "GET", "/v1/ports", "", {}, 401, "a bearer token is required", false},
      {"wrong token",
       "POST",
       "/v1/ports/3/commands",
       R"({"text":"1"})",
       {{"Authorization", "Bearer nope"}},
       401,
       "not right"},
      {"oversize body",
       "POST",
       "/v1/ports/3/commands",
       std::string(16 * 1024 + 1, ' '),
       {},
       413,
       "over 16384 bytes"},
      {"bad JSON", "POST", "/v1/ports/3/commands", R"({"text":)", {}, 400, "malformed JSON"},
      {"not an object", "POST", "/v1/ports/3/commands", R"(["1"])", {}, 400, "JSON object"},
      {"unknown field", "POST", "/v1/ports/3/rc", R"({"a":1,"b":2,"c":3})", {}, 400, "\"c\""},
      {"rc byte not a number", "POST", "/v1/ports/3/rc", R"({"a":"1","b":2})", {}, 400, "\"a\""},
      {"rc byte past 64 bits",
       "POST",
       "/v1/ports/3/rc",
       R"({"a":1,"b":18446744073709551615})",
       {},
       400,
       "\"b\""},
      {"two kinds",
       "POST",
       "/v1/ports/3/commands",
       R"({"text":"1","hex":"31"})",
       {},
       400,
       "one of"},
      {"no GB2312 code",
       "POST",
       "/v1/ports/3/commands",
       R"({"texts":["1","#€#"]})",
       {},
       400,
       "GB2312 has no character '€'"},
      {"NUL", "POST", "/v1/ports/3/commands", R"({"text":"1\u00002"})", {}, 400, "NUL"},
      {"odd hex", "POST", "/v1/ports/3/commands", R"({"hex":"123"})", {}, 400, "odd"},
      {"too many texts",
       "POST",
       "/v1/ports/3/commands",
       json{{"texts", std::vector<std::string>(65, "1")}}.dump(),
       {},
       400,
       "1 to 64"},
      {"not JSON",
       "POST",
       "/v1/ports/3/commands",
       "text=1",
       {{"Content-Type", "text/plain"}},
       415,
       "application/json"},
      {"port not a number",
       "POST",
       "/v1/ports/three/commands",
       R"({"text":"1"})",
       {},
       404,
       "no such resource"},
      {"port 0", "POST", "/v1/ports/0/commands", R"({"text":"1"})", {}, 404, "no port 0"},
      {"port 256", "POST", "/v1/ports/256/rc", R"({"a":1,"b":2})", {}, 404, "no port 256"},
      {"unknown path", "GET", "/v1/nothing", "", {}, 404, "no such resource"},
      {"a path for a sound", "POST", "/v1/sounds/..%2F..%2Fetc%2Fpasswd", "{}", {}, 404, ""},
      {"a sound outside the folder", "POST", "/v1/sounds/outside.wav", "{}", {}, 404, "no sound"},
      {"a text past a double",
       "POST",
       "/v1/ports/3/commands",
       R"({"text":1e400})",
       {},
       400,
       "number overflow"},
      {"10,000 digits",
       "POST",
       "/v1/ports/3/commands",
       R"({"texts":[)" + std::string(10000, '9') + "]}",
       {},
       400,
       "number overflow"},
      {"rc byte past a double",
       "POST",
       "/v1/ports/3/rc",
       R"({"a":1e400,"b":1})",
       {},
       400,
       "number overflow"},
      {"headers over the limit",
       "GET",
       "/v1/health",
       "",
       {{"X-Filler", std::string(9000, 'x')}},
       431,
       "headers are over 8192 bytes"},
  };
  const std::string token = "s3cret-token";
  TempDir keys;
  const std::string token_file = keys.path() + "/token";
  std::ofstream(token_file) << token << "\n";
  const std::string sounds = keys.path() + "/sounds";
  std::filesystem::create_directory(sounds);
  std::filesystem::create_symlink("/etc/passwd", sounds + "/outside.wav");

  Bridge bridge({"--token-file", token_file, "--sounds", sounds});
  for (const Refused& row : table) {
    SCOPED_TRACE(row.name);
    httplib::Headers headers = row.headers;
    if (row.token && headers.find("Authorization") == headers.end())
      headers.emplace("Authorization", "Bearer " + token);
    for (auto& [key, value] : headers) {
      if (key == "Host" && value.ends_with(":PORT"))
        value.replace(value.size() - 4, 4, std::to_string(bridge.port()));
    }
    const std::string type =
        headers.count("Content-Type") ? headers.find("Content-Type")->second : "application/json";
    headers.erase("Content-Type");
    httplib::Client client = bridge.client();
    httplib::Request request;
    request.method = row.method;
    request.path = row.path;
    request.headers = headers;
    const httplib::Result r = row.method == "GET" ? client.Get(row.path.c_str(), headers)
                              : row.method == "POST"
                                  ? client.Post(row.path.c_str(), headers, row.body, type.c_str())
                                  : client.send(request);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, row.status) << r->body;
    EXPECT_NE(body_of(r)["error"].get<std::string>().find(row.says), std::string::npos) << r->body;
    EXPECT_FALSE(r->has_header("Access-Control-Allow-Origin"));
    const httplib::Result health =
        bridge.client().Get("/v1/health", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(health) << "the service ended: " << httplib::to_string(health.error());
    EXPECT_EQ(health->status, 200);
  }
  EXPECT_TRUE(bridge.display().read_through_marker().empty());

  // And with the token, the scheme in any case, the same service answers.
  const httplib::Result ok =
      bridge.client().Get("/v1/health", {{"Authorization", "bearer " + token}});
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(body_of(ok)["sounds"], true);
}

// A page on the allow-list gets its preflight and its answers marked for it.
TEST(Bridge, AnswersAnAllowedOriginForTheBrowser) {
  Bridge bridge;
  httplib::Client client = bridge.client();
  const httplib::Result preflight =
      client.Options("/v1/ports/3/commands", {{"Origin", page},
                                              {"Access-Control-Request-Method", "POST"},
                                              {"Access-Control-Request-Headers", "content-type"}});
  ASSERT_TRUE(preflight);
  EXPECT_EQ(preflight->status, 204);
  EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Origin"), page);
  EXPECT_NE(preflight->get_header_value("Access-Control-Allow-Headers").find("Content-Type"),
            std::string::npos);

  const httplib::Result sent =
      bridge.post("/v1/ports/3/commands", R"({"text":"7"})", {{"Origin", page}});
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->status, 200);
  EXPECT_EQ(sent->get_header_value("Access-Control-Allow-Origin"), page);
  EXPECT_EQ(bridge.display().read_through_marker(), std::vector<std::uint8_t>{0x07});

  const httplib::Result script = client.Get("/v1/client.js", {{"Origin", page}});
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_NE(script->body.find("qelmar"), std::string::npos);
}

// Many clients at once: every frame arrives whole, none interleaved, and each
// is answered.
TEST(Bridge, ManyClientsAtOnceEachGetTheirFrameWhole) {
  Bridge bridge;
  constexpr int clients = 8, each = 5;
  std::vector<std::thread> threads;
  std::atomic<int> delivered{0};
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (int i = 0; i < each; ++i) {
        // "c i" as two digits: the frame is 0c 0i.
        const std::string text = std::to_string(c) + std::to_string(i);
        const httplib::Result r = bridge.post("/v1/ports/3/commands", json{{"text", text}}.dump());
        if (r && r->status == 200 && body_of(r)["results"][0]["delivered"] == true) ++delivered;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(delivered, clients * each);
  const std::vector<std::uint8_t> line = bridge.display().read_through_marker();
  ASSERT_EQ(line.size(), static_cast<std::size_t>(2 * clients * each));
  std::vector<int> next(clients, 0);
  for (std::size_t i = 0; i < line.size(); i += 2) {
    const int c = line[i], n = line[i + 1];
    ASSERT_LT(c, clients);
    EXPECT_EQ(n, next[static_cast<std::size_t>(c)]++) << "client " << c << " out of order";
  }
}

// A port whose every call waits out its deadline (another program holds it)
// takes one worker at a time, not all: requests for another port, and the port
// list, are answered at once while its requests wait their turn.
TEST(Bridge, AStalledPortHoldsUpNoOther) {
  Bridge bridge({"--workers", "4"});
  const VirtualPort four(bridge.devices(), 4);
  const int holder = ::open(bridge.display().slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  std::vector<std::thread> stalled;
  std::atomic<int> answered{0};
  for (int i = 0; i < 6; ++i) {
    stalled.emplace_back([&] {
      const httplib::Result r =
          bridge.post("/v1/ports/3/commands", json{{"texts", {"1", "2", "3", "4"}}}.dump());
      if (r && r->status == 200) ++answered;
    });
  }
  std::this_thread::sleep_for(300ms);
  auto start = std::chrono::steady_clock::now();
  const httplib::Result other = bridge.post("/v1/ports/4/commands", R"({"text":"4"})");
  const auto other_waited = std::chrono::steady_clock::now() - start;
  start = std::chrono::steady_clock::now();
  const httplib::Result list = bridge.client().Get("/v1/ports");
  const auto list_waited = std::chrono::steady_clock::now() - start;
  // Let go, so that port 3's requests end now rather than call by call.
  ::close(holder);
  for (std::thread& t : stalled) t.join();
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200) << other->body;
  // Behind port 3's requests, each ending a call's bound after the one before,
  // either would wait seconds; the bound leaves a loaded machine its slack.
  EXPECT_LT(other_waited, 2s);
  EXPECT_EQ(four.read_through_marker(), std::vector<std::uint8_t>{0x04});
  EXPECT_TRUE(list && list->status == 200);
  EXPECT_LT(list_waited, 2s);
  EXPECT_EQ(answered, 6);
}

// A loopback connection to the service.
int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    throw std::runtime_error("cannot connect");
  }
  return fd;
}

// Everything the service answers on one connection, to its end. With
// `before_body`, the body waits (up to a second) for an answer's head, as a
// client that sent Expect: 100-continue does, and that head goes there.
std::string answers_to(int port, const std::string& head, const std::string& body,
                       std::string* before_body = nullptr) {
  const int fd = connect_to(port);
  std::string got;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  ssize_t n = 0;
  if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
    if (before_body != nullptr) {
      const auto until = std::chrono::steady_clock::now() + 1s;
      while (got.find("\r\n\r\n") == std::string::npos &&
             std::chrono::steady_clock::now() < until && ::poll(&p, 1, 10) >= 0) {
        if (p.revents != 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
          got.append(buffer, static_cast<std::size_t>(n));
        if (p.revents != 0 && n <= 0) break;
      }
      *before_body = got;
    } else {
      // The body follows a little later, as a browser's may: the service has
      // answered the head by then.
      std::this_thread::sleep_for(50ms);
    }
    [[maybe_unused]] const ssize_t sent = ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
    while (::poll(&p, 1, 5000) > 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return got;
}

struct Raw {
  const char* name;
  std::string head, body;
  const char* status;
  // What must come before the body is sent, for a client that waits for it.
  const char* first = nullptr;
};

// A body the service refused is never read as a request of its own, and a
// body whose size is not known before it is read is refused. A client that
// waits to be told to send its body is told at once, or refused instead.
TEST(Bridge, RefusedBodiesAreNeverRequests) {
  Bridge bridge;
  const std::string host = "Host: localhost:" + std::to_string(bridge.port()) + "\r\n";
  const std::string inner = "POST /v1/ports/3/commands HTTP/1.1\r\n" + host +
                            "Content-Type: application/json\r\nContent-Length: 12\r\n\r\n"
                            R"({"text":"7"})";
  const std::string post = "POST /v1/ports/3/commands HTTP/1.1\r\n" + host;
  const std::string length = "Content-Length: " + std::to_string(inner.size()) + "\r\n\r\n";
  const std::string json_type = "Content-Type: application/json\r\n";
  static const std::string proceed = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::vector<Raw> table = {
      {"foreign origin", post + "Origin: http://evil.example\r\n" + json_type + length, inner,
       "HTTP/1.1 403"},
      {"not JSON", post + "Content-Type: text/plain\r\n" + length, inner, "HTTP/1.1 415"},
      {"chunked", post + json_type + "Transfer-Encoding: chunked\r\n\r\n",
       "c\r\n{\"text\":\"7\"}\r\n0\r\n\r\n", "HTTP/1.1 411"},
      {"compressed", post + json_type + "Content-Encoding: gzip\r\n" + length, inner,
       "HTTP/1.1 415"},
      {"no length", post + json_type + "Connection: close\r\n\r\n", R"({"text":"7"})",
       "HTTP/1.1 411"},
      {"told to go on", post + json_type + "Expect: 100-continue\r\nContent-Length: 12\r\n\r\n",
       R"({"text":"7"})", "HTTP/1.1 200", proceed.c_str()},
      {"foreign origin, not told to go on",
       post + "Origin: http://evil.example\r\n" + json_type + "Expect: 100-Continue\r\n" + length,
       inner, "HTTP/1.1 403", "HTTP/1.1 403"},
  };
  for (const Raw& row : table) {
    SCOPED_TRACE(row.name);
    std::string first;
    const auto start = std::chrono::steady_clock::now();
    std::string got =
        answers_to(bridge.port(), row.head, row.body, row.first != nullptr ? &first : nullptr);
    if (row.first != nullptr) {
      EXPECT_EQ(first.rfind(row.first, 0), 0u) << first;
      EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
      if (row.first == proceed && got.rfind(proceed, 0) == 0) got.erase(0, proceed.size());
    }
    EXPECT_EQ(got.rfind(row.status, 0), 0u) << got;
    EXPECT_EQ(got.find("HTTP/1.1", 1), std::string::npos) << "a second answer: " << got;
  }
  // Only the one told to go on reached the line.
  EXPECT_EQ(bridge.display().read_through_marker(), std::vector<std::uint8_t>{0x07});
}

// Clients that stall, or send a byte at a time, hold a worker for the time-out
// at most; the others are served meanwhile, and SIGTERM is not held up either.
TEST(Bridge, SlowClientsDoNotStopTheService) {
  auto bridge =
      std::make_unique<Bridge>(std::vector<std::string>{"--workers", "2", "--timeout", "1"});
  std::atomic<bool> trickling{true};
  std::vector<std::thread> slow;
  // The slow clients end however the test does.
  struct Joiner {
    std::atomic<bool>& trickling;
    std::vector<std::thread>& slow;
    ~Joiner() {
      trickling = false;
      for (std::thread& t : slow) t.join();
    }
  } joiner{trickling, slow};
  for (int i = 0; i < 4; ++i) {
    slow.emplace_back([&, i] {
      const int fd = connect_to(bridge->port());
      const std::string head = "POST /v1/ports/3/commands HTTP/1.1\r\nHost: localhost\r\n";
      // Half stall after the request line; half send a byte every 200 ms.
      for (std::size_t at = 0; trickling && at < head.size(); ++at) {
        if (::send(fd, &head[at], i % 2 == 0 && at + 1 < head.size() ? 1 : head.size() - at,
                   MSG_NOSIGNAL) <= 0)
          break;
        if (i % 2 != 0) at = head.size();
        std::this_thread::sleep_for(200ms);
      }
      while (trickling) std::this_thread::sleep_for(20ms);
      ::close(fd);
    });
  }
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  const httplib::Result r = bridge->post("/v1/ports/3/commands", R"({"text":"9"})");
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_LT(waited, 5s);
  EXPECT_EQ(bridge->display().read_through_marker(), std::vector<std::uint8_t>{0x09});

  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(bridge->server().stop(SIGTERM), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 3s);
}

TEST(Bridge, ServesTheSocketSystemdPasses) {
  Bridge bridge{Bridge::Activated{}};
  const httplib::Result r = bridge.post("/v1/ports/3/rc", R"({"a":1,"b":2})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  EXPECT_EQ(bridge.display().read_through_marker(), (std::vector<std::uint8_t>{0x12, 1, 2}));
}

TEST(Bridge, StopsOnSigterm) {
  Bridge bridge;
  EXPECT_EQ(bridge.server().stop(SIGTERM), 0);
}

// The bridge's resident memory, in KiB.
long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A connection from a chosen local address and port (port 0: any).
int connect_from(const char* local, int local_port, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(static_cast<std::uint16_t>(local_port));
  ::inet_pton(AF_INET, local, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot connect from " + std::string(local));
  }
  return fd;
}

int local_port_of(int fd) {
  sockaddr_in at{};
  socklen_t size = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  return ntohs(at.sin_port);
}

// What arrived on fd within `wait`, to its end or the wait's.
std::string read_for(int fd, std::chrono::milliseconds wait) {
  std::string got;
  char buffer[4096];
  const auto until = std::chrono::steady_clock::now() + wait;
  pollfd p{fd, POLLIN, 0};
  while (std::chrono::steady_clock::now() < until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);  // a socket or a pipe
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// What the service answers on one connection: the head, then `wait`, then the
// body; read until it closes, or 3 s.
std::string exchange(int port, const std::string& head, const std::string& body,
                     std::chrono::milliseconds wait = 0ms) {
  const int fd = connect_to(port);
  std::string got;
  if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
    std::this_thread::sleep_for(wait);
    [[maybe_unused]] const ssize_t sent = ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
    got = read_for(fd, 3000ms);
  }
  ::close(fd);
  return got;
}

// A head of exactly `bytes`, the request line and the blank line counted.
std::string head_of_size(const std::string& request_line, const std::string& host,
                         std::size_t bytes) {
  const std::string fixed = request_line + "\r\n" + host + "X-Filler: \r\n\r\n";
  return request_line + "\r\n" + host + "X-Filler: " + std::string(bytes - fixed.size(), 'x') +
         "\r\n\r\n";
}

// A command body of exactly `bytes`: JSON allows the spaces.
std::string body_of_size(const std::string& json_text, std::size_t bytes) {
  return json_text + std::string(bytes - json_text.size(), ' ');
}

struct Edge {
  const char* name;
  std::string head, body;
  const char* status;  // "" for a connection closed unanswered
  std::vector<std::uint8_t> line;
  std::chrono::milliseconds wait = 0ms;
};

// Each limit one under, at and one over (the deadline a fifth either side);
// after each the same service answers at once.
TEST(Bridge, LimitsHoldAtTheirEdges) {
  Bridge bridge({"--request-timeout-ms", "1000"});
  const std::string host = "Host: localhost:" + std::to_string(bridge.port()) + "\r\n";
  const auto post = [&](const std::string& body) {
    return "POST /v1/ports/3/commands HTTP/1.1\r\n" + host +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n";
  };
  const auto texts = [](std::size_t n) {
    return json{{"texts", std::vector<std::string>(n, "1")}}.dump();
  };
  const std::string health = "GET /v1/health HTTP/1.1";
  const std::string long_target = "GET " + target_of(8100) + " HTTP/1.1";
  const std::string one = R"({"text":"1"})";
  const std::vector<Edge> table = {
      {"head of 8,191 bytes", head_of_size(health, host, 8191), "", "HTTP/1.1 200", {}},
      {"head of 8,192 bytes", head_of_size(health, host, 8192), "", "HTTP/1.1 200", {}},
      {"head of 8,193 bytes", head_of_size(health, host, 8193), "", "HTTP/1.1 431", {}},
      {"head of 8,192 bytes, most of it the target",
       head_of_size(long_target, host, 8192),
       "",
       "HTTP/1.1 404",
       {}},
      {"head of 8,193 bytes, most of it the target",
       head_of_size(long_target, host, 8193),
       "",
       "HTTP/1.1 431",
       {}},
      {"a request line of 8,193 bytes",
       "GET " + target_of(8180) + " HTTP/1.1\r\n" + host + "\r\n",
       "",
       "HTTP/1.1 431",
       {}},
      {"body of 16,383 bytes",
       post(body_of_size(one, 16383)),
       body_of_size(one, 16383),
       "HTTP/1.1 200",
       {0x01}},
      {"body of 16,384 bytes",
       post(body_of_size(one, 16384)),
       body_of_size(one, 16384),
       "HTTP/1.1 200",
       {0x01}},
      {"body of 16,385 bytes",
       post(body_of_size(one, 16385)),
       body_of_size(one, 16385),
       "HTTP/1.1 413",
       {}},
      // Within 1,000 ms the first frame's bound and one more frame's: the rest
      // are answered as skipped.
      {"63 texts", post(texts(63)), texts(63), "HTTP/1.1 200", {0x01, 0x01}},
      {"65 texts", post(texts(65)), texts(65), "HTTP/1.1 400", {}},
      {"the body 800 ms after the head, of 1,000", post(one), one, "HTTP/1.1 200", {0x01}, 800ms},
      {"the body 1,200 ms after the head, of 1,000", post(one), one, "", {}, 1200ms},
  };
  for (const Edge& row : table) {
    SCOPED_TRACE(row.name);
    const std::string got = exchange(bridge.port(), row.head, row.body, row.wait);
    if (*row.status == '\0') {
      EXPECT_EQ(got, "");
    } else {
      EXPECT_EQ(got.rfind(row.status, 0), 0u) << got.substr(0, 300);
    }
    EXPECT_EQ(bridge.display().read_through_marker(), row.line);
    const auto start = std::chrono::steady_clock::now();
    const httplib::Result r = bridge.client().Get("/v1/health");
    ASSERT_TRUE(r) << "the service ended";
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  }
  // The texts' limit with a deadline that leaves room for all their frames.
  Bridge roomy({"--request-timeout-ms", "60000"});
  for (const std::size_t n : {63, 64, 65}) {
    const httplib::Result r = roomy.post("/v1/ports/3/commands", texts(n));
    ASSERT_TRUE(r) << n;
    EXPECT_EQ(r->status, n <= 64 ? 200 : 400) << n;
    EXPECT_EQ(roomy.display().read_through_marker(), std::vector<std::uint8_t>(n <= 64 ? n : 0, 1))
        << n;
  }
}

// Whether the service has closed fd (or reset it) by now.
bool closed_by_peer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char c = 0;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// At a cap of 18, 17, 18 and 19 stalled clients: /v1/health is answered each
// time, and just as many stalled ones are cut as it takes to make room.
TEST(Bridge, TheConnectionCapAtItsEdges) {
  constexpr int cap = 18;
  Bridge bridge({"--workers", "1", "--queue", "1", "--max-connections", std::to_string(cap)});
  const std::string part =
      "POST /v1/ports/3/commands HTTP/1.1\r\nHost: localhost:" + std::to_string(bridge.port()) +
      "\r\n";
  for (const int stalled : {cap - 1, cap, cap + 1}) {
    SCOPED_TRACE(std::to_string(stalled) + " stalled");
    std::vector<int> fds;
    for (int i = 0; i < stalled; ++i) {
      fds.push_back(connect_to(bridge.port()));
      ::send(fds.back(), part.data(), part.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(300ms);  // past the grace a quiet one has
    const auto start = std::chrono::steady_clock::now();
    const httplib::Result r = bridge.client().Get("/v1/health");
    ASSERT_TRUE(r) << "the service ended";
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    std::this_thread::sleep_for(100ms);
    int cut = 0;
    for (const int fd : fds) cut += closed_by_peer(fd) ? 1 : 0;
    EXPECT_EQ(cut, std::max(0, stalled + 1 - cap));
    for (const int fd : fds) ::close(fd);
    std::this_thread::sleep_for(200ms);
  }
}

// At the cap, the client that sends its request steadily is not the one cut:
// clients that dribble a byte a second, and reconnect at once when cut, keep
// the service at its cap while it sends its body 300 ms after its head.
TEST(Bridge, AtTheCapTheQuietestIsCutNotTheOldest) {
  constexpr int cap = 18, dribblers = cap;
  Bridge bridge({"--workers", "1", "--queue", "1", "--max-connections", std::to_string(cap)});
  std::atomic<bool> stop{false};
  std::atomic<int> reconnects{0};
  std::thread dribbling([&] {
    std::vector<int> fds(dribblers, -1);
    std::vector<std::chrono::steady_clock::time_point> next(dribblers);
    const std::string head =
        "POST /v1/ports/3/commands HTTP/1.1\r\nX-Slow: " + std::string(100000, 'x');
    std::vector<std::size_t> at(dribblers, 0);
    while (!stop) {
      const auto now = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i] >= 0 && closed_by_peer(fds[i])) {
          ::close(fds[i]);
          fds[i] = -1;
          ++reconnects;
        }
        if (fds[i] < 0) {
          fds[i] = connect_to(bridge.port());
          at[i] = 0;
          next[i] = now;
        }
        if (now >= next[i]) {
          ::send(fds[i], &head[at[i]++ % head.size()], 1, MSG_NOSIGNAL);
          next[i] = now + 1s;
        }
      }
      std::this_thread::sleep_for(5ms);
    }
    for (const int fd : fds) ::close(fd);
  });
  std::this_thread::sleep_for(1500ms);
  const std::string host = "Host: localhost:" + std::to_string(bridge.port()) + "\r\n";
  const std::string body = R"({"text":"5"})";
  const std::string head =
      "POST /v1/ports/3/commands HTTP/1.1\r\n" + host +
      "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n";
  int answered = 0;
  constexpr int tries = 10;
  for (int i = 0; i < tries; ++i) {
    answered += exchange(bridge.port(), head, body, 300ms).rfind("HTTP/1.1 200", 0) == 0 ? 1 : 0;
  }
  stop = true;
  dribbling.join();
  EXPECT_EQ(answered, tries);
  EXPECT_GT(reconnects, 0) << "the service was never at its cap";
  EXPECT_EQ(bridge.display().read_through_marker(), std::vector<std::uint8_t>(answered, 0x05));
}

// A HEAD is answered as its GET, without the body.
TEST(Bridge, AnswersHeadAsGetWithoutABody) {
  Bridge bridge;
  const std::string host = "Host: localhost:" + std::to_string(bridge.port()) + "\r\n";
  for (const char* path : {"/v1/health", "/v1/client.js"}) {
    SCOPED_TRACE(path);
    const httplib::Result get = bridge.client().Get(path);
    ASSERT_TRUE(get);
    const std::string got =
        exchange(bridge.port(), std::string("HEAD ") + path + " HTTP/1.1\r\n" + host + "\r\n", "");
    EXPECT_EQ(got.rfind("HTTP/1.1 200", 0), 0u) << got;
    EXPECT_NE(got.find("Content-Length: " + std::to_string(get->body.size()) + "\r\n"),
              std::string::npos)
        << got;
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), "") << "a body";
  }
}

// The attacks of a local process, each beside a good request and SIGTERM.
enum class Attack { header_flood, dribble_beside_a_twin, stalled };

struct Siege {
  const char* name;
  Attack attack;
  int clients;
  std::vector<std::string> options;
  bool token;  // the bridge asks for one (the attacker never sends it)
};

// Runs the attack until `stop`; says what each client saw.
struct Attacker {
  std::atomic<bool> stop{false};
  std::atomic<int> refused_431{0}, cut{0}, twin_answered{0};
  std::vector<std::thread> threads;

  void flood(int port) {
    const int fd = connect_to(port);
    std::string head =
        "GET /v1/health HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    const std::string filler = "X-Filler: " + std::string(1000, 'x') + "\r\n";
    std::string got;
    pollfd p{fd, POLLIN, 0};
    while (!stop) {
      if (::send(fd, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
          errno != EAGAIN)
        break;
      if (::poll(&p, 1, 0) > 0) {
        got = read_for(fd, 200ms);
        break;
      }
    }
    if (got.rfind("HTTP/1.1 431", 0) == 0) ++refused_431;
    while (!stop) std::this_thread::sleep_for(10ms);
    ::close(fd);
  }

  // A request dribbled a byte every 100 ms from 127.0.0.2:P while another from
  // 127.0.0.1:P, the same port number, completes.
  void dribble(int port) {
    // 127.0.0.1:P may be another program's (tests run side by side): then another P.
    int fd = -1, other = -1;
    for (int tries = 0; other < 0; ++tries) {
      fd = connect_from("127.0.0.2", 0, port);
      try {
        other = connect_from("127.0.0.1", local_port_of(fd), port);
      } catch (const std::runtime_error&) {
        ::close(fd);
        if (tries == 20) throw;
      }
    }
    const std::string head =
        "POST /v1/ports/3/commands HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
        "\r\nX-Slow: " + std::string(400, 'x');
    bool twin = false;
    for (std::size_t at = 0; !stop && at < head.size(); ++at) {
      if (::send(fd, &head[at], 1, MSG_NOSIGNAL) <= 0) {
        ++cut;
        break;
      }
      if (!twin) {
        twin = true;
        const std::string get =
            "GET /v1/client.js HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n";
        ::send(other, get.data(), get.size(), MSG_NOSIGNAL);
        if (read_for(other, 1000ms).rfind("HTTP/1.1 200", 0) == 0) ++twin_answered;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        char c = 0;
        if (::recv(fd, &c, 1, 0) <= 0) {
          ++cut;
          break;
        }
      }
    }
    while (!stop) std::this_thread::sleep_for(10ms);
    ::close(other);
    ::close(fd);
  }

  void stall(int port, int count) {
    std::vector<int> fds;
    const std::string part =
        "POST /v1/ports/3/commands HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n";
    for (int i = 0; i < count; ++i) {
      try {
        fds.push_back(connect_to(port));
      } catch (const std::runtime_error&) {
        break;
      }
      ::send(fds.back(), part.data(), part.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    while (!stop) std::this_thread::sleep_for(10ms);
    for (int fd : fds) ::close(fd);
  }

  ~Attacker() {
    stop = true;
    for (std::thread& t : threads) t.join();
  }
};

// A slow or hostile client costs a bounded slot for a bounded time: the good
// request is answered within a second, memory stays flat, and SIGTERM ends the
// bridge within a second, whatever the attack.
TEST(Bridge, AttacksCostABoundedSlot) {
  const std::vector<Siege> table = {
      {"header flood", Attack::header_flood, 4, {}, false},
      {"header flood without the token", Attack::header_flood, 4, {}, true},
      {"dribbles beside a completed twin",
       Attack::dribble_beside_a_twin,
       4,
       {"--timeout", "1"},
       false},
      {"200 stalled", Attack::stalled, 200, {}, false},
      {"200 stalled over a cap of 64",
       Attack::stalled,
       200,
       {"--max-connections", "64", "--queue", "16"},
       false},
  };
  TempDir keys;
  const std::string token_file = keys.path() + "/token";
  std::ofstream(token_file) << "s3cret\n";
  for (const Siege& row : table) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> options = row.options;
    if (row.token) options.insert(options.end(), {"--token-file", token_file});
    Bridge bridge(options);
    const long rss_before = rss_kib(bridge.server().pid());
    auto attacker = std::make_unique<Attacker>();
    const int port = bridge.port();
    for (int i = 0; i < (row.attack == Attack::stalled ? 1 : row.clients); ++i) {
      attacker->threads.emplace_back([&, i] {
        if (row.attack == Attack::header_flood) attacker->flood(port);
        if (row.attack == Attack::dribble_beside_a_twin) attacker->dribble(port);
        if (row.attack == Attack::stalled) attacker->stall(port, row.clients);
        static_cast<void>(i);
      });
    }
    std::this_thread::sleep_for(row.attack == Attack::dribble_beside_a_twin ? 1800ms : 400ms);

    const auto start = std::chrono::steady_clock::now();
    httplib::Client client = bridge.client();
    const httplib::Headers auth =
        row.token ? httplib::Headers{{"Authorization", "Bearer s3cret"}} : httplib::Headers{};
    const httplib::Result good = client.Get("/v1/health", auth);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(good && good->status == 200) << (good ? good->body : "no answer");
    if (row.attack == Attack::header_flood) {
      EXPECT_EQ(attacker->refused_431, row.clients);
      EXPECT_LT(rss_kib(bridge.server().pid()) - rss_before, 4096) << "KiB grown";
    }
    if (row.attack == Attack::dribble_beside_a_twin) {
      EXPECT_EQ(attacker->twin_answered, row.clients);
      EXPECT_EQ(attacker->cut, row.clients) << "dribbling past the 1 s deadline";
    }
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(bridge.server().stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
  }
}

// The kernel's own limit for the listen backlog, and a thousand clients at
// once all answered.
TEST(Bridge, TakesAThousandConnectionsAtOnce) {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 1100) GTEST_SKIP() << "SKIPPED: only " << files.rlim_cur << " descriptors";
  Bridge bridge;
  long somaxconn = 0;
  std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
  const Process::Result ss =
      run_process({"ss", "-Hltn", "sport = :" + std::to_string(bridge.port())});
  std::istringstream columns(ss.out);
  std::string state;
  long recv_q = -1, send_q = -1;
  columns >> state >> recv_q >> send_q;
  EXPECT_EQ(send_q, somaxconn) << ss.out << ss.err;

  constexpr int clients = 1000;
  std::vector<int> fds;
  const std::string get =
      "GET /v1/health HTTP/1.1\r\nHost: localhost:" + std::to_string(bridge.port()) + "\r\n\r\n";
  std::vector<bool> sent(clients, false), done(clients, false);
  for (int i = 0; i < clients; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(bridge.port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Each sends its request as soon as it is connected (the kernel does that
    // from the backlog), as a good client does: one that waited for the
    // others first would, on a busy machine, be the quietest at the cap.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      sent[static_cast<std::size_t>(i)] =
          ::send(fd, get.data(), get.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(get.size());
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    fds.push_back(fd);
  }
  std::vector<std::string> got(clients);
  int answered = 0, finished = 0;
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (finished < clients && std::chrono::steady_clock::now() < until) {
    std::vector<pollfd> polls;
    for (int i = 0; i < clients; ++i)
      polls.push_back({fds[static_cast<std::size_t>(i)],
                       static_cast<short>(done[static_cast<std::size_t>(i)]   ? 0
                                          : sent[static_cast<std::size_t>(i)] ? POLLIN
                                                                              : POLLOUT),
                       0});
    if (::poll(polls.data(), polls.size(), 100) <= 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (polls[i].revents == 0 || done[i]) continue;
      if (!sent[i]) {
        sent[i] = ::send(fds[i], get.data(), get.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(get.size());
        if (!sent[i]) done[i] = true, ++finished;
        continue;
      }
      char buffer[1024];
      const ssize_t n = ::recv(fds[i], buffer, sizeof buffer, 0);
      if (n > 0) {
        got[i].append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      done[i] = true;
      ++finished;
      if (got[i].rfind("HTTP/1.1 200", 0) == 0) ++answered;
    }
  }
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(answered, clients);
}

// The texts of one request go out together: from several clients at once,
// each request's two frames are next to each other on the line.
TEST(Bridge, TextsOfOneRequestGoOutTogether) {
  Bridge bridge({"--workers", "4"});
  constexpr int clients = 8, each = 25;
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      const std::string digit = std::to_string(c);
      for (int i = 0; i < each; ++i) {
        const httplib::Result r =
            bridge.post("/v1/ports/3/commands", json{{"texts", {digit, digit}}}.dump());
        if (r && r->status == 200) ++answered;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered, clients * each);
  const std::vector<std::uint8_t> line = bridge.display().read_through_marker();
  ASSERT_EQ(line.size(), static_cast<std::size_t>(2 * clients * each));
  int split = 0;
  for (std::size_t i = 0; i < line.size(); i += 2) split += line[i] != line[i + 1];
  EXPECT_EQ(split, 0) << "requests whose frames another's came between";
}

// A full queue is answered at once with 503 and Retry-After, while the display
// is held by another program.
TEST(Bridge, AFullQueueIsAnsweredAtOnce) {
  Bridge bridge({"--workers", "1", "--queue", "1"});
  const int holder = ::open(bridge.display().slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  std::vector<std::thread> threads;
  std::atomic<int> ok{0}, busy{0}, quick{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50 * i));
      const auto start = std::chrono::steady_clock::now();
      const httplib::Result r = bridge.post("/v1/ports/3/commands", R"({"text":"1"})");
      if (!r) return;
      if (r->status == 200) ++ok;
      if (r->status == 503 && r->get_header_value("Retry-After") == "1") {
        ++busy;
        if (std::chrono::steady_clock::now() - start < 200ms) ++quick;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  ::close(holder);
  EXPECT_EQ(ok, 2);  // the one being tried, and the one queued behind it
  EXPECT_EQ(busy, 2);
  EXPECT_EQ(quick, 2);
}

struct Invocation {
  const char* name;
  std::vector<std::string> args;
  std::optional<std::string> config;  // written to a file passed with --config when set
  int status;
  const char* says;     // on stdout or stderr
  int descriptors = 0;  // the limit it starts under, when not 0
};

TEST(Bridge, OptionsAndConfiguration) {
  constexpr int served = -1;  // it listened, and was stopped
  const std::vector<Invocation> table = {
      {"version", {"--version"}, std::nullopt, 0, "qelmar serve " QELMAR_VERSION_STRING},
      {"a misspelt key",
       {},
       "allow-origin = [\"http://a\"]\ncolour = \"blue\"\n",
       1,
       "serve.conf: colour ("},
      {"an unknown option", {"--colour", "blue"}, std::nullopt, 1, "--colour"},
      {"a cap that queued requests alone fill",
       {"--max-connections", "8"},
       std::nullopt,
       1,
       "--max-connections must be at least 84 (--workers + --queue + 16)"},
      {"the same from the file",
       {"--workers", "2"},
       "max-connections = 81\nqueue = 64\n",
       1,
       "at least 82"},
      {"origin null", {"--allow-origin", "null"}, std::nullopt, 1, "not an origin: \"null\""},
      {"origin null from the file", {}, "allow-origin = [\"null\"]\n", 1, "\"null\" is what"},
      {"origin without a scheme",
       {"--allow-origin", "pos.example:8080"},
       std::nullopt,
       1,
       "give the scheme"},
      {"origin with a path",
       {"--allow-origin", "http://pos.example/till"},
       std::nullopt,
       1,
       "no path"},
      {"origin with a user",
       {"--allow-origin", "http://a@pos.example"},
       std::nullopt,
       1,
       "no user"},
      {"origin on port 65536",
       {"--allow-origin", "http://pos.example:65536"},
       std::nullopt,
       1,
       "not 1 to 65535"},
      {"origin beyond ASCII", {"--allow-origin", "http://bücher.example"}, std::nullopt, 1, "xn--"},
      {"origin as an IPv4 address cut short",
       {"--allow-origin", "http://127.1:8080"},
       std::nullopt,
       1,
       "four numbers"},
      // As Windows editors save serve.conf: a byte order mark, CRLF lines.
      {"a marked file with CRLF lines, workers at their most, the queue at its least",
       {},
       "\xEF\xBB\xBFworkers = 64\r\nqueue = 1\r\n",
       served,
       "listening"},
      {"a marked file with workers one past their most",
       {},
       "\xEF\xBB\xBFworkers = 65\r\n",
       1,
       "65 not in range"},
      {"a marked file with an empty queue", {}, "\xEF\xBB\xBFqueue = 0\r\n", 1, "0 not in range"},
      {"a marked file with a line that is no key = value",
       {},
       "\xEF\xBB\xBFworkers 4\r\n",
       1,
       "serve.conf: workers 4 ("},
      {"a file saved as UTF-16",
       {},
       std::string("\xFF\xFEw\0o\0r\0k\0e\0r\0s\0 \0=\0 \0\x34\0\r\0\n\0", 28),
       1,
       "UTF-16"},
      {"descriptors for fewer than the least cap",
       {},
       std::nullopt,
       1,
       "leaves room for 36 connections, fewer than --workers + --queue + 16 (84)",
       100},
  };
  TempDir dir;
  for (const Invocation& row : table) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> argv{QELMAR_SERVE, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    if (row.descriptors > 0) {
      argv.insert(
          argv.begin(),
          {"sh", "-c", "ulimit -n " + std::to_string(row.descriptors) + " && exec \"$@\"", "sh"});
    }
    if (row.config) {
      std::ofstream(dir.path() + "/serve.conf", std::ios::binary) << *row.config;
      argv.insert(argv.end(), {"--config", dir.path() + "/serve.conf"});
    }
    Process server(argv);
    // One that would serve is ended once it says it listens.
    std::string said = read_for(server.out(), 1500ms);
    if (said.find("listening") != std::string::npos) server.stop(SIGTERM);
    const Process::Result r = server.finish();
    EXPECT_EQ(r.status, row.status) << said << r.out << r.err;
    EXPECT_NE((said + r.out + r.err).find(row.says), std::string::npos) << said << r.out << r.err;
  }
}

// The service's log on Windows: the file never passes its bound; what would
// take it past becomes NAME.1, replacing the one before.
struct Rotation {
  const char* name;
  std::size_t before;  // bytes already in the file
  std::size_t line;    // the line written
  std::size_t after;   // then in the file
  std::size_t older;   // then in NAME.1 (0: none, or the one before kept)
};

TEST(Bridge, ServiceLogStaysWithinItsBound) {
  constexpr std::uintmax_t limit = 100;
  const std::vector<Rotation> table = {
      {"one byte short of the bound", 60, 39, 99, 0},
      {"up to the bound", 60, 40, 100, 0},
      {"one byte past it", 60, 41, 41, 60},
      {"a full file, then a byte", 100, 1, 1, 100},
      {"a line of the bound into an empty file", 0, 100, 100, 0},
      {"a line longer than the bound, cut", 0, 101, 100, 0},
      {"a long line after some, cut after the turn", 10, 250, 100, 10},
  };
  TempDir dir;
  const std::filesystem::path file = dir.path() + "/serve.log";
  const std::filesystem::path older = dir.path() + "/serve.log.1";
  for (const Rotation& row : table) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(file);
    // A NAME.1 of an earlier turn, which a new turn replaces.
    std::ofstream(older, std::ios::binary) << "earlier\n";
    std::ofstream(file, std::ios::binary) << std::string(row.before, 'a');
    qelmar::bridge::LogFile log(file, limit);
    log.write(std::string(row.line - 1, 'b') + "\n");
    EXPECT_EQ(std::filesystem::file_size(file), row.after);
    EXPECT_EQ(std::filesystem::file_size(older), row.older != 0 ? row.older : 8);
  }
  // Lines on lines: never more than the bound in either file.
  std::filesystem::remove(file);
  std::filesystem::remove(older);
  qelmar::bridge::LogFile log(file, limit);
  for (int i = 0; i < 50; ++i) {
    log.write("line " + std::to_string(i) + "\n");
    ASSERT_LE(std::filesystem::file_size(file), limit);
  }
  EXPECT_LE(std::filesystem::file_size(older), limit);
  std::ifstream last(file);
  std::string first;
  std::getline(last, first);
  EXPECT_NE(first, "line 0");
}

// Origins given as people write them are matched as browsers send them.
TEST(Bridge, AllowsOriginsAsBrowsersSendThem) {
  Bridge bridge({"--allow-origin", "HTTP://Till.Example:80/", "--allow-origin",
                 "https://[0:0::1]:443", "--allow-origin", "http://127.0.0.1:08069"});
  for (const char* origin : {"http://till.example", "https://[::1]", "http://127.0.0.1:8069"}) {
    SCOPED_TRACE(origin);
    const httplib::Result r = bridge.client().Get("/v1/health", {{"Origin", origin}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), origin);
  }
}

// CPU seconds the process has used.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stol(field);
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A cap the descriptor limit cannot hold is cut down to what it can, said at
// start; then more clients than descriptors wait in the backlog without the
// service spinning, and it still answers.
TEST(Bridge, HoldsItsCapToTheDescriptorLimit) {
  Bridge bridge({"--max-connections", "1000"}, true, 256);
  EXPECT_NE(read_for(bridge.server().err(), 500ms)
                .find("--max-connections 1000 is more than the descriptor limit (256) holds; "
                      "using 192"),
            std::string::npos);
  const std::string part =
      "POST /v1/ports/3/commands HTTP/1.1\r\nHost: localhost:" + std::to_string(bridge.port()) +
      "\r\n";
  std::vector<int> fds;
  for (int i = 0; i < 300; ++i) {
    fds.push_back(connect_to(bridge.port()));
    ::send(fds.back(), part.data(), part.size(), MSG_NOSIGNAL);
  }
  std::this_thread::sleep_for(300ms);
  const double before = cpu_seconds(bridge.server().pid());
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu_seconds(bridge.server().pid()) - before, 0.3) << "CPU seconds in one second";
  const auto start = std::chrono::steady_clock::now();
  const httplib::Result r = bridge.client().Get("/v1/health");
  EXPECT_TRUE(r && r->status == 200);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  for (const int fd : fds) ::close(fd);
}

struct Logged {
  const char* name;
  std::string origin;  // none when empty
  const char* status;
  std::string refused;  // what the line says after "refused: "
};

// One line per request on stderr, refusals with their reason; --quiet none.
// What a client sent is shown escaped and clipped, so a line stays one line.
TEST(Bridge, LogsEachRequestOnOneLine) {
  const std::string because = " is not allowed (see --allow-origin)";
  const std::vector<Logged> table = {
      {"answered", "", "200", ""},
      {"refused", "http://evil.example", "403", "origin http://evil.example" + because},
      // The parser takes a tab and bytes past ASCII in a header (not other controls).
      {"tab and high bytes", "http://e\tvil\x80\xff.example", "403",
       R"(origin http://e\x09vil\x80\xFF.example)" + because},
      {"backslash", "http://a\\b", "403", R"(origin http://a\x5Cb)" + because},
      {"7,000 bytes", "http://" + std::string(7000, 'x'), "403",
       "origin http://" + std::string(193, 'x') + "..." + because},
  };
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "logging");
    auto bridge = std::make_unique<Bridge>(std::vector<std::string>{}, quiet);
    for (const Logged& row : table) {
      httplib::Headers headers;
      if (!row.origin.empty()) headers.emplace("Origin", row.origin);
      ASSERT_TRUE(bridge->client().Get("/v1/health", headers)) << row.name;
    }
    bridge->server().stop(SIGTERM);
    const std::string log = read_for(bridge->server().err(), 500ms);
    if (quiet) {
      EXPECT_EQ(log, "");
      continue;
    }
    const std::regex shape(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z 127\.0\.0\.1:\d+ (GET|POST) (/\S+) (\d{3}) (\d+) \d+\.\d ms( refused: (.*))?)");
    std::istringstream lines(log);
    for (const Logged& row : table) {
      SCOPED_TRACE(row.name);
      std::string text;
      std::smatch seen;
      ASSERT_TRUE(std::getline(lines, text)) << log;
      ASSERT_TRUE(std::regex_match(text, seen, shape)) << text;
      EXPECT_EQ(seen[2], "/v1/health");
      EXPECT_EQ(seen[3], row.status);
      EXPECT_EQ(seen[6], row.refused);
    }
    std::string more;
    EXPECT_FALSE(std::getline(lines, more)) << "a line more: " << more;
  }
}

// A host that starts the bridge and never reads its stderr: once the pipe is
// full, log lines are dropped and counted while requests are still answered
// and SIGTERM still ends it; when the pipe is read again a line says how many.
TEST(Bridge, ALogNobodyReadsStallsNothing) {
  auto bridge = std::make_unique<Bridge>(std::vector<std::string>{}, false);
  Process& server = bridge->server();
  // The smallest pipe, which a dozen lines of these refusals fill.
  ASSERT_GT(::fcntl(server.err(), F_SETPIPE_SZ, 4096), 0);
  const httplib::Headers long_origin{{"Origin", "http://" + std::string(7000, 'x') + ".example"}};
  const auto client = [&] {
    httplib::Client c = bridge->client();
    c.set_read_timeout(2, 0);
    return c;
  };
  // Far more than the pipe and the bridge's own backlog of lines (256 KiB, of
  // lines some 360 bytes long with the origin clipped) hold.
  const auto flood = [&] {
    int answered = 0;
    for (; answered < 2000; ++answered)
      if (!client().Get("/v1/health", long_origin)) break;
    return answered;
  };
  EXPECT_EQ(flood(), 2000);

  const auto start = std::chrono::steady_clock::now();
  const httplib::Result good =
      client().Post("/v1/ports/3/commands", R"({"text":"1"})", "application/json");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(good && good->status == 200) << (good ? good->body : "no answer");
  if (good) {
    EXPECT_EQ(bridge->display().read_through_marker(), std::vector<std::uint8_t>{0x01});
  }
  const httplib::Result metrics = client().Get("/metrics");
  std::smatch dropped;
  const std::string exposition = metrics ? metrics->body : "no answer";
  EXPECT_TRUE(std::regex_search(exposition, dropped,
                                std::regex("\nqelmar_bridge_log_lines_dropped_total [1-9]\\d*\n")))
      << exposition;

  // Read again, the log says what it lost, and takes new lines.
  const std::string log = read_for(server.err(), 1000ms);
  EXPECT_TRUE(std::regex_search(log, std::regex("\nqelmar serve: \\d+ log lines dropped: ")))
      << log.substr(log.size() > 1000 ? log.size() - 1000 : 0);
  EXPECT_TRUE(client().Get("/v1/nothing"));
  EXPECT_NE(read_for(server.err(), 300ms).find(" GET /v1/nothing 404 "), std::string::npos);

  // Full again, with the log's writer stuck in its write. A bridge stuck
  // there itself would ignore SIGTERM: it is killed after 3 s, so that the
  // failure cannot hang the test (nothing above ends it early).
  EXPECT_EQ(flood(), 2000);
  std::atomic<bool> ended{false};
  std::thread watchdog([&ended, pid = server.pid()] {
    for (int i = 0; i < 30 && !ended; ++i) std::this_thread::sleep_for(100ms);
    if (!ended) ::kill(pid, SIGKILL);
  });
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(server.stop(SIGTERM), 0);
  ended = true;
  watchdog.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
}

// /metrics, behind the token, read by Prometheus' own parser after a mix of
// calls: delivered, no device, refused, unknown.
TEST(Bridge, MetricsReadByPrometheus) {
  const std::string python = "/usr/bin/python3";  // Debian's, which has the parser
  if (run_process({python, "-c", "import prometheus_client"}).status != 0)
    GTEST_SKIP() << "SKIPPED: python3-prometheus-client is not installed";
  TempDir dir;
  std::ofstream(dir.path() + "/token") << "s3cret\n";
  Bridge bridge({"--token-file", dir.path() + "/token"});
  const httplib::Headers auth{{"Authorization", "Bearer s3cret"}};
  for (int i = 0; i < 3; ++i) bridge.post("/v1/ports/3/commands", R"({"texts":["1","2"]})", auth);
  bridge.post("/v1/ports/4/rc", R"({"a":1,"b":2})", auth);
  bridge.post("/v1/ports/3/commands", R"({"text":"1"})");
  bridge.client().Get("/v1/nothing", auth);
  EXPECT_EQ(bridge.client().Get("/metrics")->status, 401);
  const httplib::Result r = bridge.client().Get("/metrics", auth);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  std::ofstream(dir.path() + "/metrics.txt") << r->body;
  const Process::Result parsed = run_process(
      {python, "-c",
       "import sys\n"
       "from prometheus_client.parser import text_string_to_metric_families as parse\n"
       "for f in parse(open(sys.argv[1]).read()):\n"
       "    for s in f.samples:\n"
       "        print(f.type, s.name, ','.join(f'{k}={v}' for k, v in sorted(s.labels.items())),"
       " s.value)\n",
       dir.path() + "/metrics.txt"});
  ASSERT_EQ(parsed.status, 0) << parsed.err << r->body;
  const std::string& out = parsed.out;
  for (const char* sample : {
           "counter qelmar_bridge_calls_total outcome=delivered,port=3 6.0",
           "counter qelmar_bridge_calls_total outcome=not_found,port=4 1.0",
           "histogram qelmar_bridge_call_duration_seconds_count  7.0",
           "histogram qelmar_bridge_call_duration_seconds_bucket le=+Inf 7.0",
           "counter qelmar_bridge_requests_total status=200 4.0",
           "counter qelmar_bridge_requests_total status=401 2.0",
           "counter qelmar_bridge_requests_total status=404 1.0",
           "counter qelmar_bridge_refusals_total reason=token 2.0",
           "gauge qelmar_bridge_open_connections  1.0",
           "gauge qelmar_bridge_queue_depth  0.0",
           "counter qelmar_bridge_log_lines_dropped_total  0.0",
       }) {
    EXPECT_NE(out.find(std::string(sample) + "\n"), std::string::npos) << sample << "\n" << out;
  }
  bridge.display().read_through_marker();
}

using Clock = std::chrono::steady_clock;

// A text of the longest frame, 80 bytes: a stuck line holds its call 640 ms.
const std::string longest_text = "#" + std::string(40, 'A') + "#";

// One display stopped (nobody reads its line) under a steady stream of
// requests of several texts: each costs its worker one stuck call at most,
// its port fills only its share of the queue, and another port is served
// within 1.5 s throughout.
TEST(Bridge, AStoppedDisplayDelaysOnlyItself) {
  Bridge bridge({"--workers", "4", "--queue", "16"});  // 4 places for a port
  const VirtualPort four(bridge.devices(), 4);
  bridge.display().stop_line();

  // Alone, a request of 64 texts holds its worker for the first text's call.
  auto start = Clock::now();
  const httplib::Result alone = bridge.post(
      "/v1/ports/3/commands", json{{"texts", std::vector<std::string>(64, longest_text)}}.dump());
  const auto alone_took = Clock::now() - start;
  ASSERT_TRUE(alone);
  ASSERT_EQ(alone->status, 200) << alone->body;
  const json results = body_of(alone)["results"];
  ASSERT_EQ(results.size(), 64u);
  EXPECT_NE(results[0]["why"].get<std::string>().find("stuck"), std::string::npos) << results[0];
  EXPECT_FALSE(results[0].contains("skipped")) << results[0];
  for (std::size_t i = 1; i < results.size(); ++i) {
    EXPECT_EQ(results[i]["skipped"], true) << i << results[i];
    EXPECT_EQ(results[i]["result"], 2) << i;
    EXPECT_NE(results[i]["why"].get<std::string>().find("text 1 of the request did not go out"),
              std::string::npos)
        << results[i];
  }
  EXPECT_LT(alone_took, 1500ms);
  std::cout << "a 64-text request to the stopped display: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(alone_took).count() << " ms\n";

  // Five requests of 8 texts a second for the stopped display, beside one
  // request a tenth of a second for port 4.
  std::atomic<bool> streaming{true};
  std::atomic<int> stalled_ok{0}, stalled_busy{0}, stalled_other{0}, more_than_one_call{0};
  std::atomic<long> stalled_longest_ms{0};
  std::thread stream([&] {
    std::vector<std::thread> requests;
    while (streaming) {
      requests.emplace_back([&] {
        const auto began = Clock::now();
        const httplib::Result r =
            bridge.post("/v1/ports/3/commands",
                        json{{"texts", std::vector<std::string>(8, longest_text)}}.dump());
        const long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
        for (long seen = stalled_longest_ms; ms > seen;)
          if (stalled_longest_ms.compare_exchange_weak(seen, ms)) break;
        if (r && r->status == 200) {
          ++stalled_ok;
          const json items = body_of(r)["results"];
          for (std::size_t i = 1; i < items.size(); ++i)
            if (!items[i].contains("skipped")) ++more_than_one_call;
        } else if (r && r->status == 503 && r->get_header_value("Retry-After") == "1") {
          ++stalled_busy;
        } else {
          ++stalled_other;
        }
      });
      std::this_thread::sleep_for(200ms);
    }
    for (std::thread& t : requests) t.join();
  });
  int healthy = 0, healthy_ok = 0;
  Clock::duration healthy_longest{};
  for (const auto until = Clock::now() + 7s; Clock::now() < until; ++healthy) {
    start = Clock::now();
    const httplib::Result r = bridge.post("/v1/ports/4/commands", R"({"text":"4"})");
    healthy_longest = std::max(healthy_longest, Clock::now() - start);
    if (r && r->status == 200 && body_of(r)["results"][0]["delivered"] == true) ++healthy_ok;
    std::this_thread::sleep_for(100ms);
  }
  streaming = false;
  stream.join();
  EXPECT_EQ(healthy_ok, healthy);
  EXPECT_LT(healthy_longest, 1500ms);
  EXPECT_EQ(four.read_through_marker(), std::vector<std::uint8_t>(std::size_t(healthy_ok), 0x04));
  // Some were sent a 503 for the port's share or their deadline, and none
  // waited past the deadline by more than one call.
  EXPECT_GT(stalled_busy, 0);
  EXPECT_GT(stalled_ok, 0);
  EXPECT_EQ(stalled_other, 0);
  EXPECT_EQ(more_than_one_call, 0);
  EXPECT_LT(stalled_longest_ms, 6500);
  std::cout << healthy << " requests for port 4, the longest "
            << std::chrono::duration_cast<std::chrono::milliseconds>(healthy_longest).count()
            << " ms; for the stopped display " << stalled_ok << " answered 200 and " << stalled_busy
            << " 503, the longest " << stalled_longest_ms << " ms\n";
}

// A port's share of the queue is a quarter of it (4 places at least): past
// it that port is answered 503 at once while another is still queued.
TEST(Bridge, EachPortHasAShareOfTheQueue) {
  Bridge bridge({"--workers", "2", "--queue", "8"});
  const VirtualPort four(bridge.devices(), 4);
  const int holder = ::open(bridge.display().slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  std::vector<std::thread> threads;
  std::atomic<int> ok{0}, busy{0}, quick{0};
  std::string refused;
  std::mutex refused_mutex;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
      const auto start = Clock::now();
      const httplib::Result r = bridge.post("/v1/ports/3/commands", R"({"text":"1"})");
      if (!r) return;
      if (r->status == 200) ++ok;
      if (r->status == 503 && r->get_header_value("Retry-After") == "1") {
        ++busy;
        if (Clock::now() - start < 200ms) ++quick;
        const std::lock_guard lock(refused_mutex);
        refused = body_of(r)["error"];
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  const auto start = Clock::now();
  const httplib::Result other = bridge.post("/v1/ports/4/commands", R"({"text":"4"})");
  const auto other_waited = Clock::now() - start;
  for (std::thread& t : threads) t.join();
  ::close(holder);
  EXPECT_EQ(ok, 5);  // the one being tried, and the 4 queued behind it
  EXPECT_EQ(busy, 3);
  EXPECT_EQ(quick, 3);
  EXPECT_NE(refused.find("port 3 has its share of the display's queue (4) waiting"),
            std::string::npos)
      << refused;
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 200) << other->body;
  EXPECT_LT(other_waited, 500ms);
  EXPECT_EQ(four.read_through_marker(), std::vector<std::uint8_t>{0x04});
}

// A request's texts are one turn on the line across processes: the tool,
// sending all the while from a process of its own, never puts a frame
// between them.
TEST(Bridge, ARequestsTextsAreOneTurnAgainstAnotherProcess) {
  Bridge bridge;
  constexpr int requests = 40, others = 150;
  std::vector<std::string> argv{QELMAR_TOOL, "send", "-q", "-p", "3", "--"};
  for (int i = 0; i < others; ++i) argv.emplace_back("9");
  auto other = std::async(std::launch::async, [&] { return run_process(argv); });
  std::this_thread::sleep_for(50ms);
  int answered = 0;
  for (int i = 0; i < requests; ++i) {
    const httplib::Result r = bridge.post("/v1/ports/3/commands", R"({"texts":["1","2"]})");
    answered += r && r->status == 200 ? 1 : 0;
  }
  const Process::Result tool = other.get();
  EXPECT_EQ(tool.status, 0) << tool.err;
  EXPECT_EQ(answered, requests);
  const std::vector<std::uint8_t> line = bridge.display().read_through_marker();
  int ones = 0, nines = 0, split = 0, nines_among = 0, seen_ones = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == 0x01) {
      ++ones;
      split += i + 1 < line.size() && line[i + 1] == 0x02 ? 0 : 1;
    }
    if (line[i] == 0x09) {
      ++nines;
      // The other process's frames did come while the requests' did.
      nines_among += seen_ones > 0 && seen_ones < requests ? 1 : 0;
    }
    seen_ones += line[i] == 0x01 ? 1 : 0;
  }
  EXPECT_EQ(ones, requests);
  EXPECT_EQ(nines, others);
  EXPECT_EQ(split, 0) << "requests whose frames another process's came between";
  if (nines_among == 0) {
    GTEST_SKIP() << "the other process's frames all came before or after the requests'";
  }
}

// A request that waited for a worker past its deadline is answered and never
// sent; one whose deadline passes between its texts sends none after it.
TEST(Bridge, NothingIsSentPastTheDeadline) {
  // 1200 ms: room for one call's bound (848 ms), and little more.
  Bridge bridge({"--workers", "1", "--request-timeout-ms", "1200"});
  const VirtualPort four(bridge.devices(), 4);
  const int holder = ::open(bridge.display().slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  // The only worker waits out port 3's holder, 848 ms: what waits behind it
  // has less than a call's bound left.
  std::thread held([&] { bridge.post("/v1/ports/3/commands", R"({"text":"3"})"); });
  std::this_thread::sleep_for(100ms);
  auto rc = std::async(std::launch::async,
                       [&] { return bridge.post("/v1/ports/4/rc", R"({"a":1,"b":2})"); });
  const auto start = Clock::now();
  const httplib::Result late = bridge.post("/v1/ports/4/commands", R"({"texts":["4","5"]})");
  const auto late_took = Clock::now() - start;
  const httplib::Result late_rc = rc.get();
  held.join();
  ::close(holder);
  for (const httplib::Result* r : {&late, &late_rc}) {
    ASSERT_TRUE(*r);
    EXPECT_EQ((*r)->status, 503) << (*r)->body;
    EXPECT_EQ((*r)->get_header_value("Retry-After"), "1");
    EXPECT_NE(body_of(*r)["error"].get<std::string>().find("within its 1200 ms"), std::string::npos)
        << (*r)->body;
  }
  EXPECT_LT(late_took, 1500ms);
  EXPECT_TRUE(four.read_through_marker().empty());

  // Another program holds port 4 for 400 ms: the first text waits for it
  // within its call's bound; only the texts whose frames' bounds end within
  // the request's 1200 ms go with it, the rest are skipped, and nothing
  // follows them.
  const int other_program = ::open(four.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(other_program, LOCK_EX | LOCK_NB), 0);
  std::thread letting_go([other_program] {
    std::this_thread::sleep_for(400ms);
    ::close(other_program);
  });
  const std::vector<std::string> texts(64, "4");
  const httplib::Result r = bridge.post("/v1/ports/4/commands", json{{"texts", texts}}.dump());
  letting_go.join();
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200) << r->body;
  std::size_t delivered = 0, skipped = 0;
  const json answer = body_of(r);
  for (const json& item : answer["results"]) {
    if (item["delivered"] == true) {
      EXPECT_EQ(skipped, 0u) << "delivered after one was skipped";
      ++delivered;
    } else if (item.value("skipped", false)) {
      ++skipped;
      EXPECT_NE(item["why"].get<std::string>().find("within the request's 1200 ms"),
                std::string::npos)
          << item;
    }
  }
  EXPECT_GT(delivered, 0u) << r->body.substr(0, 600);
  EXPECT_GT(skipped, 0u);
  EXPECT_EQ(delivered + skipped, texts.size());
  EXPECT_EQ(four.read_through_marker(), std::vector<std::uint8_t>(delivered, 0x04));
}

// Port numbers linked to one device take turns as one: from several clients
// on ports 1 and 7, each request's two frames are next to each other.
TEST(Bridge, PortsOfOneDeviceTakeTurnsTogether) {
  Bridge bridge({"--workers", "4"});
  const VirtualPort one(bridge.devices(), 1);
  std::filesystem::create_symlink(one.slave_path(), bridge.devices() + "/com7");
  constexpr int clients = 8, each = 10;
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      const std::string digit = std::to_string(c);
      const std::string path = c % 2 == 0 ? "/v1/ports/1/commands" : "/v1/ports/7/commands";
      for (int i = 0; i < each; ++i) {
        const httplib::Result r = bridge.post(path, json{{"texts", {digit, digit}}}.dump());
        if (r && r->status == 200) ++answered;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered, clients * each);
  const std::vector<std::uint8_t> line = one.read_through_marker();
  ASSERT_EQ(line.size(), static_cast<std::size_t>(2 * clients * each));
  int split = 0;
  for (std::size_t i = 0; i < line.size(); i += 2) split += line[i] != line[i + 1];
  EXPECT_EQ(split, 0) << "requests whose frames another's came between";
}

// QELMAR_LOG set for the library, in the environment the bridge starts with.
class LibraryLogTo {
 public:
  explicit LibraryLogTo(const char* sink) { ::setenv("QELMAR_LOG", sink, 1); }
  ~LibraryLogTo() { ::unsetenv("QELMAR_LOG"); }
  LibraryLogTo(const LibraryLogTo&) = delete;
  LibraryLogTo& operator=(const LibraryLogTo&) = delete;
};

// The library's own lines on a stderr nobody reads: far past what the pipe
// holds, every call still returns at once, and SIGTERM still ends it.
TEST(Bridge, TheLibrarysLogCannotBlockIt) {
  std::unique_ptr<Bridge> bridge;
  {
    const LibraryLogTo log("stderr");
    bridge = std::make_unique<Bridge>();
  }
  Process& server = bridge->server();
  ASSERT_GT(::fcntl(server.err(), F_SETPIPE_SZ, 4096), 0);
  // One line of some 200 bytes a call: 1,000 calls are well over 64 KiB.
  int answered = 0;
  Clock::duration longest{};
  for (int i = 0; i < 1000; ++i) {
    httplib::Client c = bridge->client();
    c.set_read_timeout(2, 0);
    const auto start = Clock::now();
    const httplib::Result r =
        c.Post(i % 2 == 0 ? "/v1/ports/4/commands" : "/v1/ports/5/rc",
               i % 2 == 0 ? R"({"text":"1"})" : R"({"a":1,"b":2})", "application/json");
    longest = std::max(longest, Clock::now() - start);
    if (!r || r->status != 200) break;
    ++answered;
  }
  EXPECT_EQ(answered, 1000);
  EXPECT_LT(longest, 1s);
  // Read at last, the library's lines are all there, one a call, each whole.
  const std::string log = read_for(server.err(), 2000ms);
  EXPECT_GT(log.size(), std::size_t{64} * 1024);
  std::istringstream lines(log);
  int calls = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.find(" qelmar pid ") != std::string::npos) << line;
    calls += line.find(" qelmar pid ") != std::string::npos;
  }
  EXPECT_EQ(calls, 1000) << log.substr(0, 600);

  EXPECT_TRUE(bridge->post("/v1/ports/3/commands", R"({"text":"1"})"));
  EXPECT_EQ(bridge->display().read_through_marker(), std::vector<std::uint8_t>{0x01});
  const auto stopping = Clock::now();
  EXPECT_EQ(server.stop(SIGTERM), 0);
  EXPECT_LT(Clock::now() - stopping, 1s);

  // A file named by QELMAR_LOG still gets the lines, one a call.
  TempDir dir;
  const std::string file = dir.path() + "/qelmar.log";
  {
    const LibraryLogTo to_file(file.c_str());
    bridge = std::make_unique<Bridge>();
  }
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(bridge->post("/v1/ports/4/commands", R"({"text":"1"})"));
  bridge->server().stop(SIGTERM);
  std::ifstream written(file);
  int in_file = 0;
  for (std::string line; std::getline(written, line); ++in_file)
    EXPECT_NE(line.find(" qelmar_send_many port 4 tried "), std::string::npos) << line;
  EXPECT_EQ(in_file, 3);
}

}  // namespace
}  // namespace qelmar::test
