// The bridge: real HTTP over loopback to a running qelmar-serve, and the frames
// read back from a virtual display on a pseudo-terminal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "command_table.h"
#include "process.h"
#include "virtual_port.h"

namespace qelmar::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string page = "http://pos.example:8080";

// One qelmar-serve on a free loopback port, with a display on port 3.
class Bridge {
 public:
  explicit Bridge(std::vector<std::string> options = {}) : display_(devices_.path(), 3) {
    std::vector<std::string> argv{QELMAR_SERVE, "--listen", "127.0.0.1:0", "--allow-origin", page};
    argv.insert(argv.end(), options.begin(), options.end());
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
        "sh", "-c", "exec 3<&$1; LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" --listen 127.0.0.1:1",
        QELMAR_SERVE, std::to_string(fd)});
    ::close(fd);
    port_ = read_port();
    if (port_ != ntohs(at.sin_port)) throw std::runtime_error("not the socket it was given");
  }

  int port() const { return port_; }
  const VirtualPort& display() const { return display_; }
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

// Each refusal has its status and a message, and nothing reaches the line.
TEST(Bridge, RefusesWhatItMust) {
  const std::vector<Refused> table = {
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
    const httplib::Result r = row.method == "GET"
                                  ? client.Get(row.path.c_str(), headers)
                                  : client.Post(row.path.c_str(), headers, row.body, type.c_str());
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, row.status) << r->body;
    EXPECT_NE(body_of(r)["error"].get<std::string>().find(row.says), std::string::npos) << r->body;
    EXPECT_FALSE(r->has_header("Access-Control-Allow-Origin"));
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

// Everything the service answers on one connection, to its end.
std::string answers_to(int port, const std::string& head, const std::string& body) {
  const int fd = connect_to(port);
  std::string got;
  // The body follows a little later, as a browser's may: the service has
  // answered the head by then.
  if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
    std::this_thread::sleep_for(50ms);
    [[maybe_unused]] const ssize_t sent = ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    ssize_t n = 0;
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
};

// A body the service refused is never read as a request of its own, and a
// body whose size is not known before it is read is refused.
TEST(Bridge, RefusedBodiesAreNeverRequests) {
  Bridge bridge;
  const std::string host = "Host: localhost:" + std::to_string(bridge.port()) + "\r\n";
  const std::string inner = "POST /v1/ports/3/commands HTTP/1.1\r\n" + host +
                            "Content-Type: application/json\r\nContent-Length: 12\r\n\r\n"
                            R"({"text":"7"})";
  const std::string post = "POST /v1/ports/3/commands HTTP/1.1\r\n" + host;
  const std::string length = "Content-Length: " + std::to_string(inner.size()) + "\r\n\r\n";
  const std::string json_type = "Content-Type: application/json\r\n";
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
  };
  for (const Raw& row : table) {
    SCOPED_TRACE(row.name);
    const std::string got = answers_to(bridge.port(), row.head, row.body);
    EXPECT_EQ(got.rfind(row.status, 0), 0u) << got;
    EXPECT_EQ(got.find("HTTP/1.1", 1), std::string::npos) << "a second answer: " << got;
  }
  EXPECT_TRUE(bridge.display().read_through_marker().empty());
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

}  // namespace
}  // namespace qelmar::test
