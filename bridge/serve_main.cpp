// SPDX-License-Identifier: MIT
// qelmar-serve: the bridge on its own, so that `qelmar send` never loads the
// HTTP server. `qelmar serve` runs it.
#include <CLI/CLI.hpp>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/log_writer.h"
#include "bridge/serve.h"
#include "bridge/service.h"
#include "qelmar/host.h"

#ifndef QELMAR_SERVE_CONFIG
#define QELMAR_SERVE_CONFIG ""
#endif
#ifndef QELMAR_VERSION
#define QELMAR_VERSION "unknown"
#endif

namespace qelmar::bridge {
extern const char* const client_js;
}

namespace {

std::string read_token(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("cannot read the token file " + file);
  std::stringstream text;
  text << in.rdbuf();
  std::string token = text.str();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
    token.pop_back();
  if (token.empty()) throw std::runtime_error("the token file " + file + " is empty");
  std::error_code ec;
  const auto mode = std::filesystem::status(file, ec).permissions();
  if (!ec && (mode & std::filesystem::perms::others_read) != std::filesystem::perms::none)
    std::cerr << "qelmar serve: warning: every user can read " << file << "\n";
  return token;
}

// The library's lines (QELMAR_LOG) go through a writer of ours: a sink that
// blocks, such as a stderr nobody reads, then holds that writer's thread,
// never a worker in a display call.
void QELMAR_CALL library_line(const char* line, void* user) {
  try {
    static_cast<qelmar::bridge::LogWriter*>(user)->write(std::string(line) + "\n");
  } catch (...) {
    // A line lost; nothing may be thrown into the library.
  }
}

// Appended a line at a time, as the library itself writes a file.
void append_line(const std::string& file, std::string_view line) {
  std::FILE* out = std::fopen(file.c_str(), "ab");
  if (out == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fclose(out);
}

// Installed while it lives; none when QELMAR_LOG names no sink.
class LibraryLog {
 public:
  LibraryLog() {
    const char* sink = std::getenv("QELMAR_LOG");
    if (sink == nullptr || *sink == '\0') return;
    const std::string where = sink;
    constexpr std::size_t backlog = std::size_t{256} * 1024;
    const char* what = "library log lines";
    writer_ = where == "stderr"
                  ? std::make_unique<qelmar::bridge::LogWriter>(backlog, qelmar::bridge::write_line,
                                                                what, where)
                  : std::make_unique<qelmar::bridge::LogWriter>(
                        backlog, [where](std::string_view line) { append_line(where, line); }, what,
                        where);
    qelmar_set_log_hook(library_line, writer_.get());
  }
  // The bridge's calls have all returned by now.
  ~LibraryLog() {
    if (writer_) qelmar_set_log_hook(nullptr, nullptr);
  }
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;

 private:
  std::unique_ptr<qelmar::bridge::LogWriter> writer_;
};

// An --allow-origin value as browsers send it; the reason it is not one, or "".
std::string as_origin(std::string& value) {
  try {
    value = qelmar::bridge::parse_origin(value);
    return {};
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

// Each connection is a descriptor: a cap the limit cannot hold would leave
// accepting failing for want of one. The soft limit is raised to the hard one
// first; a cap beyond it is cut down, with a message.
bool fit_to_descriptors(qelmar::bridge::BridgeOptions& options, std::size_t least) {
  qelmar::bridge::prepare_process();
  const std::size_t limit = qelmar::bridge::descriptor_limit();
  const std::size_t room = qelmar::bridge::connections_within(limit);
  if (options.max_connections <= room) return true;
  if (room < least) {
    std::cerr << "qelmar serve: the descriptor limit (" << limit << ") leaves room for " << room
              << " connections, fewer than --workers + --queue + 16 (" << least
              << "); raise it (LimitNOFILE=, ulimit -n)\n";
    return false;
  }
  std::cerr << "qelmar serve: --max-connections " << options.max_connections
            << " is more than the descriptor limit (" << limit << ") holds; using " << room << "\n";
  options.max_connections = room;
  return true;
}

// The configuration file as Windows editors save it: Notepad may begin it
// with a UTF-8 byte order mark, which would make the first key unknown, and
// its "Unicode" is UTF-16, which is refused by name rather than as a key
// full of NULs.
class ConfigFile : public CLI::ConfigTOML {
 public:
  std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
    std::string text{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
    if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
      throw CLI::ConfigError("the configuration file is UTF-16 (\"Unicode\"); save it as UTF-8");
    }
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    std::istringstream rest(text);
    return CLI::ConfigTOML::from_config(rest);
  }
};

int serve(int argc, char** argv) {
  CLI::App app{"Serve the display to browser pages and scripts over local HTTP."};
  app.name("qelmar serve");
  app.set_version_flag("--version", std::string("qelmar serve ") + QELMAR_VERSION);
  // Packages read their configuration file when it is there; build trees have
  // none. A key the bridge does not know is an error, not silently dropped.
  app.set_config("--config", QELMAR_SERVE_CONFIG, "Read these options from an INI or TOML file");
  app.config_formatter(std::make_shared<ConfigFile>());
  app.allow_config_extras(CLI::config_extras_mode::error);
  std::string listen = "127.0.0.1:" + std::to_string(qelmar::bridge::default_port);
  std::string token_file;
  qelmar::bridge::BridgeOptions options;
  int timeout_seconds = 5;
  int request_ms = 0;
  app.add_option("--listen", listen,
                 "ADDRESS:PORT to listen on (port 0: any free one); ignored when systemd "
                 "passes a socket")
      ->capture_default_str();
  app.add_option("--allow-origin", options.allow_origins,
                 "A page origin that may call, e.g. http://pos.local:8080 (repeat for more)")
      ->transform(CLI::Validator(as_origin, "ORIGIN"));
  app.add_option("--token-file", token_file, "Ask every request for this bearer token");
  app.add_option("--sounds", options.sounds_dir, "The folder POST /v1/sounds/NAME plays from");
  app.add_option("--workers", options.workers, "Display calls made at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  app.add_option("--queue", options.queue,
                 "Requests that may wait for a worker; more are answered 503 at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 100000));
  app.add_option("--max-connections", options.max_connections,
                 "Connections open at once; at the cap the one still sending its request that "
                 "has been quiet longest is cut for a new one. At least --workers + --queue + "
                 "16; the default grows to that. Each takes a descriptor: more than the limit "
                 "allows are cut down to it")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  app.add_option("--timeout", timeout_seconds,
                 "Seconds a client has to send its whole request, and to take the answer")
      ->capture_default_str()
      ->check(CLI::Range(1, 60));
  app.add_option("--request-timeout-ms", request_ms,
                 "Milliseconds to send the whole request, instead of --timeout")
      ->check(CLI::Range(50, 600000));
  app.add_flag("--quiet", options.quiet, "No line on stderr for each request");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    // CLI11 words an unknown key as "INI was not able to parse KEY".
    const std::string what = e.what();
    const std::string extra = "INI was not able to parse ";
    if (dynamic_cast<const CLI::ConfigError*>(&e) != nullptr && what.rfind(extra, 0) == 0) {
      std::cerr << "qelmar serve: unknown key in " << app.get_config_ptr()->as<std::string>()
                << ": " << what.substr(extra.size()) << " (see --help for the keys)\n";
      return 1;
    }
    std::cerr << "qelmar serve: " << what << " (see --help)\n";
    return 1;
  }
  // A request waiting for a worker keeps its connection and cannot be cut for
  // a new one: below this, queued requests alone could fill the cap, and not
  // even /v1/health would be read.
  const std::size_t least = options.workers + options.queue + 16;
  if (options.max_connections < least) {
    if (app.count("--max-connections") != 0) {
      std::cerr << "qelmar serve: --max-connections must be at least " << least
                << " (--workers + --queue + 16)\n";
      return 1;
    }
    options.max_connections = least;
  }
  if (!fit_to_descriptors(options, least)) return 1;
  options.write_timeout = std::chrono::seconds(timeout_seconds);
  options.request_timeout = request_ms > 0 ? std::chrono::milliseconds(request_ms)
                                           : std::chrono::milliseconds(options.write_timeout);
  // systemd's LoadCredential=token:... hands the token over without the
  // service's user needing to read the file itself.
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  std::error_code ec;
  if (token_file.empty() && credentials != nullptr &&
      std::filesystem::exists(std::string(credentials) + "/token", ec)) {
    token_file = std::string(credentials) + "/token";
  }
  if (!token_file.empty()) options.token = read_token(token_file);
  options.client_js = qelmar::bridge::client_js;

  qelmar::bridge::prepare_process();
  const LibraryLog library_log;
  qelmar::bridge::Bridge bridge(options);
  const std::vector<qelmar::bridge::InheritedSocket> inherited =
      qelmar::bridge::inherited_sockets();
  int port = -1;
  std::string where;
  if (!inherited.empty()) {
    port = bridge.adopt(inherited.front());
    where = "the socket systemd passed";
  } else {
    const qelmar::bridge::ListenAddress address = qelmar::bridge::parse_listen(listen);
    port = bridge.bind(address.host, address.port);
    where = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  }
  if (port < 0) {
    std::cerr << "qelmar serve: cannot listen on " << (inherited.empty() ? listen : where) << "\n";
    return 2;
  }
  std::cout << "qelmar serve: listening on " << where << " port " << port << std::endl;
  if (options.token.empty() && where != "127.0.0.1" && where != "[::1]" && inherited.empty()) {
    std::cerr << "qelmar serve: warning: listening beyond this machine without --token-file; "
                 "any host that reaches it can drive the display\n";
  }
  return bridge.run() ? 0 : 2;
}

int guarded_serve(int argc, char** argv) {
  try {
    return serve(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "qelmar serve: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qelmar serve: failed\n";
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  // Started by Windows' Service Control Manager, the same bridge under it.
  if (const auto code = qelmar::bridge::run_as_service(argc, argv, guarded_serve)) return *code;
  return guarded_serve(argc, argv);
}
