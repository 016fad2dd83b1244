// SPDX-License-Identifier: MIT
// qelmar-serve.exe --service: the bridge under the Service Control Manager, as
// the installer registers it. Its options come from serve.conf under
// %ProgramData%\qelmar, what it would print goes to serve.log beside it, and a
// stop or shutdown request becomes the Ctrl-C on which the console program
// already ends within its second.
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/log_file.h"
#include "bridge/service.h"

namespace qelmar::bridge {
namespace {

// The name the installer registers; an own-process service may give any.
wchar_t service_name[] = L"qelmar-serve";
// serve.log and serve.log.1 together stay under 2 MiB.
constexpr std::uintmax_t log_limit = std::uintmax_t{1024} * 1024;
// What the log thread still gets to write once the bridge has ended.
constexpr DWORD log_drain_ms = 100;

struct Service {
  ServeFunction serve = nullptr;
  std::vector<std::string> args;  // what followed --service
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  std::mutex mutex;  // the control handler reports from another thread
  int code = 0;
};
// ServiceMain takes no pointer of ours.
Service* the_service = nullptr;

void report(DWORD state, int code = 0) {
  Service& s = *the_service;
  const std::lock_guard lock(s.mutex);
  SERVICE_STATUS& status = s.status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  status.dwServiceSpecificExitCode = static_cast<DWORD>(code);
  const bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
  status.dwCheckPoint = settled ? 0 : status.dwCheckPoint + 1;
  status.dwWaitHint = settled ? 0 : 2000;
  ::SetServiceStatus(s.handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD /*type*/, void* /*data*/, void* /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report(SERVICE_STOP_PENDING);
      // The bridge's signal set ends it as it ends on Ctrl-C: connections
      // cut, calls in progress given their bounded wait.
      std::raise(SIGINT);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The C runtime's narrow file functions take the system's code page.
std::string narrow(std::wstring_view text) {
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

// %ProgramData%\qelmar, made when missing.
std::filesystem::path data_folder() {
  std::filesystem::path folder = L"C:\\ProgramData";
  PWSTR known = nullptr;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) folder = known;
  ::CoTaskMemFree(known);
  folder /= L"qelmar";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return folder;
}

std::string timestamp() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return text;
}

struct LogPipe {
  HANDLE reader = nullptr;  // the thread that writes the file
  std::filesystem::path file;
};

DWORD WINAPI copy_to_log(void* context) {
  auto* pipe = static_cast<LogPipe*>(context);
  LogFile log(pipe->file, log_limit);
  std::string pending;
  char buffer[4096];
  DWORD n = 0;
  HANDLE in = pipe->reader;
  while (::ReadFile(in, buffer, sizeof buffer, &n, nullptr) != FALSE && n > 0) {
    pending.append(buffer, n);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      log.write(timestamp() + pending.substr(0, end + 1));
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty()) log.write(timestamp() + pending + "\n");
  ::CloseHandle(in);
  return 0;
}

// std::cout and std::cerr, which the bridge's messages go through, into the
// pipe: a process started without a console has no C runtime descriptors
// behind stdout and stderr that could be made the pipe instead.
class PipeBuffer : public std::streambuf {
 public:
  explicit PipeBuffer(HANDLE pipe) : pipe_(pipe) {}

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) xsputn(std::string(1, static_cast<char>(c)).data(), 1);
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize n) override {
    const std::lock_guard lock(mutex_);
    line_.append(text, static_cast<std::size_t>(n));
    if (line_.find('\n') != std::string::npos) send();
    return n;
  }
  int sync() override {
    const std::lock_guard lock(mutex_);
    send();
    return 0;
  }

 private:
  void send() {
    DWORD written = 0;
    if (!line_.empty())
      ::WriteFile(pipe_, line_.data(), static_cast<DWORD>(line_.size()), &written, nullptr);
    line_.clear();
  }

  HANDLE pipe_;
  std::mutex mutex_;
  std::string line_;
};

struct Log {
  HANDLE thread = nullptr;
  HANDLE writer = nullptr;
  std::unique_ptr<PipeBuffer> buffer;
  std::streambuf* out = nullptr;  // std::cout's and std::cerr's own, put back at the end
  std::streambuf* err = nullptr;
};

// Everything the bridge prints (its start line, the request log, its errors)
// goes through a pipe to a thread that writes the bounded file: a service has
// no console, and its standard output and error lead nowhere.
void log_to(Log& log, const std::filesystem::path& file) {
  HANDLE reader = nullptr;
  if (::CreatePipe(&reader, &log.writer, nullptr, 0) == FALSE) return;
  static LogPipe pipe;
  pipe = {reader, file};
  log.thread = ::CreateThread(nullptr, 0, copy_to_log, &pipe, 0, nullptr);
  if (log.thread == nullptr) {
    ::CloseHandle(reader);
    ::CloseHandle(log.writer);
    log.writer = nullptr;
    return;
  }
  // The request log and the library's lines write to the standard error handle.
  ::SetStdHandle(STD_OUTPUT_HANDLE, log.writer);
  ::SetStdHandle(STD_ERROR_HANDLE, log.writer);
  log.buffer = std::make_unique<PipeBuffer>(log.writer);
  log.out = std::cout.rdbuf(log.buffer.get());
  log.err = std::cerr.rdbuf(log.buffer.get());
}

// The pipe's writer closed, the thread writes what is left and ends.
void end_log(Log& log) {
  if (log.thread == nullptr) return;
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(log.out);
  std::cerr.rdbuf(log.err);
  ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
  ::CloseHandle(log.writer);
  ::WaitForSingleObject(log.thread, log_drain_ms);
  ::CloseHandle(log.thread);
}

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
  Service& s = *the_service;
  s.handle = ::RegisterServiceCtrlHandlerExW(service_name, on_control, nullptr);
  if (s.handle == nullptr) return;
  report(SERVICE_START_PENDING);
  const std::filesystem::path folder = data_folder();
  Log log;
  log_to(log, folder / L"serve.log");
  // The options: the configuration file, then what the service's command
  // line adds after --service, then what `sc start NAME ...` passes.
  std::vector<std::string> args{"qelmar-serve"};
  const std::filesystem::path config = folder / L"serve.conf";
  std::error_code ec;
  if (std::filesystem::exists(config, ec)) {
    args.insert(args.end(), {"--config", narrow(config.native())});
  } else {
    std::cerr << "qelmar serve: no " << narrow(config.native()) << "; the defaults hold\n";
  }
  args.insert(args.end(), s.args.begin(), s.args.end());
  for (DWORD i = 1; i < argc; ++i) args.push_back(narrow(argv[i]));
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  report(SERVICE_RUNNING);
  s.code = s.serve(static_cast<int>(args.size()), pointers.data());
  end_log(log);
  report(SERVICE_STOPPED, s.code);
  // An uninstall deletes the program and its DLL as soon as the service is
  // reported stopped, and cannot while they are still mapped: the process
  // ends here, its work done, rather than after the runtime's teardown.
  ::ExitProcess(static_cast<UINT>(s.code));
}

}  // namespace

std::optional<int> run_as_service(int argc, char** argv, ServeFunction serve) {
  if (argc < 2 || std::string_view(argv[1]) != "--service") return std::nullopt;
  static Service service;
  service.serve = serve;
  service.args.assign(argv + 2, argv + argc);
  the_service = &service;
  const SERVICE_TABLE_ENTRYW table[] = {{service_name, service_main}, {nullptr, nullptr}};
  if (::StartServiceCtrlDispatcherW(table) == FALSE) {
    // Not started by the Service Control Manager: from a console, say so.
    std::cerr << "qelmar serve: --service is for the Service Control Manager (error "
              << ::GetLastError() << "); run without it from a console\n";
    return 1;
  }
  return service.code;
}

}  // namespace qelmar::bridge
