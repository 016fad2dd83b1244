// SPDX-License-Identifier: MIT
// qelmar-serve.exe --service: the bridge under the Service Control Manager, as
// the installer registers it. Its options come from serve.conf under
// %ProgramData%\qelmar, what it would print goes to serve.log beside it, and a
// stop or shutdown request becomes the Ctrl-C on which the console program
// already ends within its second.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
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
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known)))
    folder = known;
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

// Everything the bridge prints (its start line, the request log, its errors)
// goes through a pipe to a thread that writes the bounded file: a service has
// no console, and its stdout and stderr lead nowhere. Returns that thread.
HANDLE log_to(const std::filesystem::path& file) {
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  if (::CreatePipe(&reader, &writer, nullptr, 0) == FALSE) return nullptr;
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(writer), _O_BINARY | _O_WRONLY);
  if (fd < 0) {
    ::CloseHandle(reader);
    ::CloseHandle(writer);
    return nullptr;
  }
  // A process started without a console may have no descriptors behind
  // stdout and stderr: each is given one first, then made the pipe.
  for (std::FILE* stream : {stdout, stderr}) {
    if (std::freopen("NUL", "wb", stream) != nullptr) ::_dup2(fd, ::_fileno(stream));
  }
  ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stdout))));
  ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stderr))));
  ::_close(fd);
  static LogPipe pipe;
  pipe = {reader, file};
  HANDLE thread = ::CreateThread(nullptr, 0, copy_to_log, &pipe, 0, nullptr);
  if (thread == nullptr) ::CloseHandle(reader);
  return thread;
}

// The pipe's last writers closed, the thread writes what is left and ends.
void end_log(HANDLE thread) {
  if (thread == nullptr) return;
  std::fflush(nullptr);
  ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
  for (std::FILE* stream : {stdout, stderr}) ::_close(::_fileno(stream));
  ::WaitForSingleObject(thread, log_drain_ms);
  ::CloseHandle(thread);
}

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
  Service& s = *the_service;
  s.handle = ::RegisterServiceCtrlHandlerExW(service_name, on_control, nullptr);
  if (s.handle == nullptr) return;
  report(SERVICE_START_PENDING);
  const std::filesystem::path folder = data_folder();
  const HANDLE log = log_to(folder / L"serve.log");
  // The options: the configuration file, then what the service's command
  // line adds after --service, then what `sc start NAME ...` passes.
  std::vector<std::string> args{"qelmar-serve"};
  const std::filesystem::path config = folder / L"serve.conf";
  std::error_code ec;
  if (std::filesystem::exists(config, ec)) {
    args.insert(args.end(), {"--config", narrow(config.native())});
  } else {
    std::fprintf(stderr, "qelmar serve: no %s; the defaults hold\n",
                 narrow(config.native()).c_str());
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
    std::fprintf(stderr,
                 "qelmar serve: --service is for the Service Control Manager (error %lu); "
                 "run without it from a console\n",
                 ::GetLastError());
    return 1;
  }
  return service.code;
}

}  // namespace qelmar::bridge
