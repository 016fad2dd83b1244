// qelmar-serve: the bridge on its own, so that `qelmar send` never loads the
// HTTP and TLS libraries. `qelmar serve` runs it.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "tools/serve.h"

#ifndef QELMAR_SERVE_CONFIG
#define QELMAR_SERVE_CONFIG ""
#endif

namespace qelmar::tools {
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
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
    std::cerr << "qelmar serve: warning: every user can read " << file << "\n";
  return token;
}

int serve(int argc, char** argv) {
  CLI::App app{"Serve the display to browser pages and scripts over local HTTP."};
  app.name("qelmar serve");
  // Packages read their configuration file when it is there; build trees have none.
  app.set_config("--config", QELMAR_SERVE_CONFIG, "Read these options from an INI or TOML file");
  std::string listen = "127.0.0.1:" + std::to_string(qelmar::tools::default_port);
  std::string token_file;
  qelmar::tools::BridgeOptions options;
  app.add_option("--listen", listen,
                 "ADDRESS:PORT to listen on (port 0: any free one); ignored when systemd "
                 "passes a socket")
      ->capture_default_str();
  app.add_option("--allow-origin", options.allow_origins,
                 "A page origin that may call, e.g. http://pos.local:8080 (repeat for more)");
  app.add_option("--token-file", token_file, "Ask every request for this bearer token");
  app.add_option("--sounds", options.sounds_dir, "The folder POST /v1/sounds/NAME plays from");
  app.add_option("--workers", options.workers, "Requests served at once")
      ->capture_default_str()
      ->check(CLI::Range(1, 64));
  app.add_option("--timeout", options.timeout_seconds,
                 "Seconds to wait for a request's bytes, and to write an answer")
      ->capture_default_str()
      ->check(CLI::Range(1, 60));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "qelmar serve: " << e.what() << " (see --help)\n";
    return 1;
  }
  // systemd's LoadCredential=token:... hands the token over without the
  // service's user needing to read the file itself.
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (token_file.empty() && credentials != nullptr &&
      ::access((std::string(credentials) + "/token").c_str(), R_OK) == 0) {
    token_file = std::string(credentials) + "/token";
  }
  if (!token_file.empty()) options.token = read_token(token_file);
  options.client_js = qelmar::tools::client_js;

  // Signals are taken by one thread, which stops the server from outside it.
  sigset_t stopping;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGTERM);
  sigaddset(&stopping, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  qelmar::tools::Bridge bridge(options);
  const std::vector<int> activated = qelmar::tools::activated_sockets();
  int port = -1;
  std::string where;
  if (!activated.empty()) {
    port = bridge.adopt(activated.front());
    where = "the socket systemd passed";
  } else {
    const qelmar::tools::ListenAddress address = qelmar::tools::parse_listen(listen);
    port = bridge.bind(address.host, address.port);
    where = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  }
  if (port < 0) {
    std::cerr << "qelmar serve: cannot listen on " << (activated.empty() ? listen : where) << "\n";
    return 2;
  }
  std::cout << "qelmar serve: listening on " << where << " port " << port << std::endl;
  if (options.token.empty() && where != "127.0.0.1" && where != "[::1]" && activated.empty()) {
    std::cerr << "qelmar serve: warning: listening beyond this machine without --token-file; "
                 "any host that reaches it can drive the display\n";
  }

  // stop() does nothing until the server runs, so it is repeated until it has.
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    const timespec tick{0, 100'000'000};
    bool asked = false;
    while (!done) {
      asked = sigtimedwait(&stopping, nullptr, &tick) > 0 || asked;
      if (asked) bridge.stop();
    }
  });
  const bool ran = bridge.run();
  done = true;
  waiter.join();
  return ran ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  try {
    return serve(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "qelmar serve: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "qelmar serve: failed\n";
  }
  return 1;
}
