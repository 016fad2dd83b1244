// SPDX-License-Identifier: MIT
// A Windows host for the Wine tests: loads QELMAR.dll, finds the exports by name
// and by ordinal, loads qelmar-host.dll and finds its exports by name, and makes
// the calls that the Linux side asks for on stdin.
//   dll PORT HEX|=|-   (the command's bytes in hex; = empty, - a null pointer)
//   rc PORT A B
//   add HEX|-
//   burst PORT THREADS CALLS [FIRST]   (thread t sends tavrc(PORT, FIRST + t, i) for i < CALLS)
//   hog PORT SECONDS   (tavdll(PORT, "F") back to back; RESULT is how many)
//   cycles N PORT      (after a warm-up, N times: load, tavrc(PORT, 1, i), unload; RESULT is
//                       how many bytes the process heaps grew by per cycle)
//   unload legacy|host PORT   (holds PORT's turn, starts tavdll(PORT, "12") or qelmar_send on
//                       a thread, which waits for it, unloads that DLL meanwhile, and waits
//                       for the call to come back; RESULT is 1 when the DLL stayed loaded,
//                       0 when it went; then loads it again)
// Each call answers "RESULT STACK_DELTA MILLISECONDS". The host library's calls
// answer the same, followed by what they tell:
//   send PORT HEX|=|-, send_rc PORT A B, play HEX|-
//                      (then the outcome's name, the status's call and port, and
//                       qelmar_describe's words)
//   list               (RESULT is the count; then per port
//                       "PATH|KIND|DRIVER|PORTS|NAME|VENDOR:PRODUCT|MANUFACTURER;")
//   resolve PORT       (RESULT is the route; then the path and its whole length)
//   send_many PORT HEX,HEX,...   (texts as for send; then each text's outcome, by
//                       name, joined by commas)
//   send_frame PORT HEX|=|-   (the frame's bytes; then as for send)
// and these answer "0 0 MILLISECONDS":
//   hold PORT MS       (takes PORT's turn as another process's call in progress does, for
//                       MS ms; answers once it has it, or "-1 0 0")
//   serialcomm NAME COMn|-   (sets, or with -, deletes the SERIALCOMM value NAME)
//   portsdevice COMn HARDWARE_ID|-   (adds to SetupAPI's Ports class a device named
//                       "Qelmar Test Port (COMn)" with that PortName and hardware id, or
//                       with -, removes every device added so)
#include <windows.h>
// After windows.h, which they need.
#include <devguid.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "qelmar/host.h"

namespace {

HMODULE dll = nullptr;
FARPROC entry[4];  // by ordinal
const char* const names[4] = {nullptr, "tavadd", "tavdll", "tavrc"};

// Every function of qelmar/host.h, found by name.
const char* const host_names[] = {
    "qelmar_send",         "qelmar_send_rc",      "qelmar_play",      "qelmar_describe",
    "qelmar_encode",       "qelmar_outcome_name", "qelmar_version",   "qelmar_set_log_hook",
    "qelmar_list_ports",   "qelmar_resolve_port", "qelmar_send_many", "qelmar_send_frame",
    "qelmar_display_text", "qelmar_rc_frame",     "qelmar_port_range"};
HMODULE host_dll = nullptr;
long unload_port = 0;  // the port of unload_mid_call's call

FARPROC host(const char* name) { return GetProcAddress(host_dll, name); }

// Loads the DLL and finds each export, by ordinal and by name; false if either fails.
bool load() {
  dll = LoadLibraryA("QELMAR.dll");
  if (dll == nullptr) {
    std::printf("error LoadLibrary %lu\n", GetLastError());
    return false;
  }
  for (int ordinal = 1; ordinal <= 3; ++ordinal) {
    entry[ordinal] = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
    FARPROC by_name = GetProcAddress(dll, names[ordinal]);
    if (entry[ordinal] == nullptr || entry[ordinal] != by_name) {
      std::printf("error export %s\n", names[ordinal]);
      return false;
    }
  }
  return true;
}

bool load_host() {
  host_dll = LoadLibraryA("qelmar-host.dll");
  if (host_dll == nullptr) {
    std::printf("error LoadLibrary qelmar-host.dll %lu\n", GetLastError());
    return false;
  }
  for (const char* name : host_names) {
    if (host(name) == nullptr) {
      std::printf("error export %s\n", name);
      return false;
    }
  }
  return true;
}

std::string unhex(const char* hex) {
  std::string out;
  for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    char byte[3] = {hex[i], hex[i + 1], 0};
    out += static_cast<char>(std::strtoul(byte, nullptr, 16));
  }
  return out;
}

std::string as_hex(const char* bytes, std::size_t size) {
  std::string out;
  char cell[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(cell, sizeof cell, "%02X", static_cast<unsigned char>(bytes[i]));
    out += cell;
  }
  return out.empty() ? "=" : out;
}

// Calls a stdcall function with the arguments pushed by hand and reports how far
// the stack pointer moved across the call: 0 when the callee removed them. On
// x64 there is one convention, and the caller removes them.
std::intptr_t call(FARPROC fn, std::initializer_list<std::intptr_t> arguments, long* delta) {
  std::intptr_t a[6] = {};
  int count = 0;
  for (const std::intptr_t argument : arguments) a[count++] = argument;
#if defined(__i386__)
  std::intptr_t result;
  long moved;
  int left = count;
  // The callee may change eax, ecx and edx; the arguments are pushed from the
  // last, indexed by ecx, before the call.
  asm volatile(
      "mov %%esp, %%edi\n\t"
      "1:\n\t"
      "test %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%[a],%%ecx,4)\n\t"
      "dec %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%[fn]\n\t"
      "mov %%esp, %%edx\n\t"
      "sub %%edi, %%edx\n\t"
      "mov %%edi, %%esp\n\t"
      : "=a"(result), "=&d"(moved), "+c"(left)
      : [fn] "b"(fn), [a] "S"(a)
      : "edi", "memory", "cc");
  *delta = moved;
  return result;
#else
  *delta = 0;
  // Surplus arguments are harmless here: the caller removes them.
  using Any = std::intptr_t (*)(std::intptr_t, std::intptr_t, std::intptr_t, std::intptr_t,
                                std::intptr_t, std::intptr_t);
  return reinterpret_cast<Any>(reinterpret_cast<void*>(fn))(a[0], a[1], a[2], a[3], a[4], a[5]);
#endif
}

std::int32_t call32(FARPROC fn, std::initializer_list<std::intptr_t> arguments, long* delta) {
  return static_cast<std::int32_t>(call(fn, arguments, delta));
}

struct Burst {
  long port, thread, calls;
};

DWORD WINAPI burst_thread(void* argument) {
  const auto* burst = static_cast<const Burst*>(argument);
  long delta = 0;
  for (long i = 0; i < burst->calls; ++i) call(entry[3], {burst->port, burst->thread, i}, &delta);
  return 0;
}

// Threads that overlap their calls on one port.
std::int32_t burst(long port, long threads, long calls, long first) {
  Burst bursts[16];
  HANDLE handles[16];
  if (threads > 16) threads = 16;
  for (long t = 0; t < threads; ++t) {
    bursts[t] = {port, first + t, calls};
    handles[t] = CreateThread(nullptr, 0, burst_thread, &bursts[t], 0, nullptr);
  }
  WaitForMultipleObjects(static_cast<DWORD>(threads), handles, TRUE, INFINITE);
  for (long t = 0; t < threads; ++t) CloseHandle(handles[t]);
  return 0;
}

// One process holding the port with key commands, each of which keeps it ~100 ms.
std::int32_t hog(long port, long seconds) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  std::int32_t calls = 0;
  long delta = 0;
  for (; GetTickCount64() < end; ++calls) {
    call(entry[2], {port, reinterpret_cast<std::intptr_t>("F")}, &delta);
  }
  return calls;
}

// The busy blocks of every heap of the process, in bytes.
long long heap_in_use() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  long long busy = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    const bool locked = HeapLock(heaps[i]) != FALSE;
    PROCESS_HEAP_ENTRY block{};
    while (HeapWalk(heaps[i], &block)) {
      if ((block.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) busy += block.cbData;
    }
    if (locked) HeapUnlock(heaps[i]);
  }
  return busy;
}

// Heap growth per load, call and unload, with the host's own reference let go
// first so that each FreeLibrary really unloads (unless the DLL keeps itself).
std::int32_t cycles(long count, long port) {
  constexpr long warm_up = 20;
  FreeLibrary(dll);
  long long before = 0;
  long delta = 0;
  for (long i = 0; i < warm_up + count; ++i) {
    if (i == warm_up) before = heap_in_use();
    if (!load()) return -1;
    call(entry[3], {port, 1, i & 0xFF}, &delta);
    FreeLibrary(dll);
  }
  const long long grown = heap_in_use() - before;
  if (!load()) return -1;
  return static_cast<std::int32_t>(grown / count);
}

// What a host call's status tells, after its result: the outcome's name, the
// call and port it names, and qelmar_describe's words. Each call's stack is
// checked as the call's own.
std::string told(const qelmar_status& status, long* delta) {
  long moved = 0;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the pointer came back in a register
  const auto* name = reinterpret_cast<const char*>(
      call(host("qelmar_outcome_name"), {static_cast<std::intptr_t>(status.outcome)}, &moved));
  *delta += moved;
  char words[512];
  const std::size_t length = static_cast<std::size_t>(
      call(host("qelmar_describe"),
           {reinterpret_cast<std::intptr_t>(&status), reinterpret_cast<std::intptr_t>(words),
            static_cast<std::intptr_t>(sizeof words)},
           &moved));
  *delta += moved;
  char out[700];
  std::snprintf(out, sizeof out, " %s %s %ld %s%s", name, status.call,
                static_cast<long>(status.port), words,
                length == std::strlen(words) ? "" : " (describe's length differs)");
  return out;
}

// Every port the host library lists, one "PATH|KIND|DRIVER|PORTS|NAME|VID:PID|MAKER;" each.
std::string listed(std::int32_t count, const qelmar_port_info* ports, std::int32_t capacity) {
  std::string out = " ";
  for (std::int32_t i = 0; i < count && i < capacity; ++i) {
    const qelmar_port_info& port = ports[i];
    out += std::string(port.path) + "|" + port.kind + "|" + port.driver + "|";
    for (std::int32_t n = 0; n < port.port_count && n < QELMAR_PORT_LIST_SIZE; ++n) {
      out += (n > 0 ? "," : "") + std::to_string(port.ports[n]);
    }
    out += std::string("|") + port.by_id + "|" + port.vendor_id + ":" + port.product_id + "|" +
           port.manufacturer + ";";
  }
  return out;
}

struct Hold {
  long port;
  DWORD milliseconds;
  HANDLE ready;
  bool taken;
};

DWORD WINAPI hold_turn(void* argument) {
  auto* hold = static_cast<Hold*>(argument);
  char name[48];
  std::snprintf(name, sizeof name, "Local\\qelmar-com%ld", hold->port);
  const HANDLE turn = CreateMutexA(nullptr, FALSE, name);
  hold->taken = turn != nullptr && WaitForSingleObject(turn, 0) == WAIT_OBJECT_0;
  SetEvent(hold->ready);
  if (hold->taken) {
    Sleep(hold->milliseconds);
    ReleaseMutex(turn);
  }
  if (turn != nullptr) CloseHandle(turn);
  return 0;
}

// Takes the port's turn as a call in progress in another process holds it (the
// mutex per port that the README names), for `milliseconds`; false when it cannot. Wine
// does not refuse a second open of a COM port, so holding it open would not do.
bool hold(long port, long milliseconds) {
  static Hold held;
  held = {port, static_cast<DWORD>(milliseconds), CreateEventA(nullptr, TRUE, FALSE, nullptr),
          false};
  const HANDLE thread = CreateThread(nullptr, 0, hold_turn, &held, 0, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(held.ready, INFINITE);
  CloseHandle(held.ready);
  CloseHandle(thread);
  return held.taken;
}

DWORD WINAPI waiting_call(void* argument) {
  const auto* legacy = static_cast<const bool*>(argument);
  long delta = 0;
  const auto text = reinterpret_cast<std::intptr_t>("12");
  if (*legacy) {
    call(entry[2], {unload_port, text}, &delta);
  } else {
    call(host("qelmar_send"), {unload_port, text, 0}, &delta);
  }
  return 0;
}

// A host that unloads a DLL while another of its threads is inside a call
// (one waiting for its port's turn, held here past the wait).
std::int32_t unload_mid_call(bool legacy, long port) {
  unload_port = port;
  if (!hold(port, 1500)) return -1;
  const HANDLE thread = CreateThread(nullptr, 0, waiting_call, &legacy, 0, nullptr);
  if (thread == nullptr) return -1;
  Sleep(200);
  FreeLibrary(legacy ? dll : host_dll);
  const bool stayed = GetModuleHandleA(legacy ? "QELMAR.dll" : "qelmar-host.dll") != nullptr;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (!(legacy ? load() : load_host())) return -1;
  return stayed ? 1 : 0;
}

// Sets the SERIALCOMM value `device` to `com`, or deletes it for "-", as a
// driver does when it adds a port.
bool serialcomm(const char* device, const char* com) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                      REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS done =
      std::strcmp(com, "-") == 0
          ? RegDeleteValueA(key, device)
          : RegSetValueExA(key, device, 0, REG_SZ, reinterpret_cast<const BYTE*>(com),
                           static_cast<DWORD>(std::strlen(com) + 1));
  RegCloseKey(key);
  return done == ERROR_SUCCESS;
}

constexpr char test_device[] = "QelmarTestPort";

// Adds a device of the Ports class with PortName `com`, as a driver's
// installation does: a friendly name, a hardware id, a service and a maker.
bool add_ports_device(const char* com, const char* hardware) {
  const HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  char name[64];
  std::snprintf(name, sizeof name, "Qelmar Test Port (%s)", com);
  char ids[256] = {};  // a list: the id, then an empty string
  std::snprintf(ids, sizeof ids - 1, "%s", hardware);
  const auto set_text = [&](DWORD property, const char* text, std::size_t size) {
    return SetupDiSetDeviceRegistryPropertyA(set, &device, property,
                                             reinterpret_cast<const BYTE*>(text),
                                             static_cast<DWORD>(size)) != FALSE;
  };
  bool done = SetupDiCreateDeviceInfoA(set, test_device, &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                       DICD_GENERATE_ID, &device) != FALSE &&
              set_text(SPDRP_HARDWAREID, ids, std::strlen(ids) + 2) &&
              set_text(SPDRP_FRIENDLYNAME, name, std::strlen(name) + 1) &&
              set_text(SPDRP_SERVICE, "QelmarSer", sizeof "QelmarSer") &&
              set_text(SPDRP_MFG, "Qelmar Test", sizeof "Qelmar Test") &&
              SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) != FALSE;
  const HKEY key =
      done ? SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr)
           : static_cast<HKEY>(INVALID_HANDLE_VALUE);
  done = key != INVALID_HANDLE_VALUE &&
         RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(com),
                        static_cast<DWORD>(std::strlen(com) + 1)) == ERROR_SUCCESS;
  if (key != INVALID_HANDLE_VALUE) RegCloseKey(key);
  SetupDiDestroyDeviceInfoList(set);
  return done;
}

// Removes every device that add_ports_device() added.
bool remove_ports_devices() {
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return false;
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "ROOT\\%s\\", test_device);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  bool done = true;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device) != FALSE; ++i) {
    char id[256] = {};
    if (SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr) != FALSE &&
        _strnicmp(id, prefix, std::strlen(prefix)) == 0) {
      done = SetupDiRemoveDevice(set, &device) != FALSE && done;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return done;
}

// The host library's requests and the test's own (see the top); false for any
// other line.
bool host_request(const char* line, std::int32_t& result, long& delta, std::string& tail) {
  static qelmar_port_info ports[32];
  static char arg[4000], value[64];
  long port = 0, a = 0, b = 0;
  qelmar_status status;
  QELMAR_STATUS_INIT(status);
  std::string text;
  const auto text_arg = [&]() {
    text = unhex(arg);
    return reinterpret_cast<std::intptr_t>(arg[0] == '-' ? nullptr : text.c_str());
  };
  const auto status_arg = reinterpret_cast<std::intptr_t>(&status);
  if (std::sscanf(line, "send_many %ld %3999s", &port, arg) == 2) {
    static std::string texts[QELMAR_MANY_MAX + 1];
    static const char* commands[QELMAR_MANY_MAX + 1];
    static qelmar_status statuses[QELMAR_MANY_MAX + 1];
    std::int32_t count = 0;
    for (char* item = std::strtok(arg, ","); item != nullptr && count <= QELMAR_MANY_MAX;
         item = std::strtok(nullptr, ","), ++count) {
      texts[count] = unhex(item);
      commands[count] = *item == '-' ? nullptr : texts[count].c_str();
    }
    QELMAR_STATUS_INIT(statuses[0]);  // the distance between records
    result = call32(host("qelmar_send_many"),
                    {port, reinterpret_cast<std::intptr_t>(commands), count,
                     reinterpret_cast<std::intptr_t>(statuses)},
                    &delta);
    tail = " ";
    for (std::int32_t i = 0; i < count && result >= 0; ++i) {
      long moved = 0;
      // NOLINTNEXTLINE(performance-no-int-to-ptr): the pointer came back in a register
      tail += reinterpret_cast<const char*>(call(
          host("qelmar_outcome_name"), {static_cast<std::intptr_t>(statuses[i].outcome)}, &moved));
      tail += i + 1 < count ? "," : "";
      delta += moved;
    }
    return true;
  } else if (std::sscanf(line, "send_frame %ld %3999s", &port, arg) == 2) {
    const std::intptr_t bytes = text_arg();
    result = call32(host("qelmar_send_frame"),
                    {port, bytes, static_cast<std::intptr_t>(text.size()), status_arg}, &delta);
  } else if (std::sscanf(line, "send_rc %ld %ld %ld", &port, &a, &b) == 3) {
    result = call32(host("qelmar_send_rc"), {port, a, b, status_arg}, &delta);
  } else if (std::sscanf(line, "send %ld %3999s", &port, arg) == 2) {
    result = call32(host("qelmar_send"), {port, text_arg(), status_arg}, &delta);
  } else if (std::sscanf(line, "play %3999s", arg) == 1) {
    result = call32(host("qelmar_play"), {text_arg(), status_arg}, &delta);
  } else if (std::strncmp(line, "list", 4) == 0) {
    constexpr std::int32_t capacity = sizeof ports / sizeof ports[0];
    QELMAR_PORT_INFO_INIT(ports[0]);
    result = call32(host("qelmar_list_ports"),
                    {0, reinterpret_cast<std::intptr_t>(ports), capacity}, &delta);
    tail = listed(result, ports, capacity);
    return true;
  } else if (std::sscanf(line, "resolve %ld", &port) == 1) {
    char path[QELMAR_PATH_SIZE] = "";
    std::size_t length = 0;
    result = call32(host("qelmar_resolve_port"),
                    {0, port, reinterpret_cast<std::intptr_t>(path), sizeof path,
                     reinterpret_cast<std::intptr_t>(&length)},
                    &delta);
    tail = std::string(" ") + path + " " + std::to_string(length);
    return true;
  } else if (std::sscanf(line, "display_text %3999s %63s", arg, value) == 2) {
    // The converted text in hex, its whole length, and where it failed ("-": nowhere).
    char converted[256] = "";
    std::size_t length = 0, failed_at = 0;
    const std::intptr_t charset =
        std::strcmp(value, "-") == 0 ? 0 : reinterpret_cast<std::intptr_t>(value);
    result = call32(
        host("qelmar_display_text"),
        {text_arg(), charset, reinterpret_cast<std::intptr_t>(converted), sizeof converted,
         reinterpret_cast<std::intptr_t>(&length), reinterpret_cast<std::intptr_t>(&failed_at)},
        &delta);
    tail = " " + as_hex(converted, std::strlen(converted)) + " " + std::to_string(length) + " " +
           (failed_at == QELMAR_NO_FAULT ? std::string("-") : std::to_string(failed_at));
    return true;
  } else if (std::sscanf(line, "rc_frame %ld %ld", &a, &b) == 2) {
    std::uint8_t frame[3] = {};
    result = call32(host("qelmar_rc_frame"),
                    {a, b, reinterpret_cast<std::intptr_t>(frame), sizeof frame}, &delta);
    tail = " " + as_hex(reinterpret_cast<const char*>(frame), sizeof frame);
    return true;
  } else if (std::sscanf(line, "hold %ld %ld", &port, &a) == 2) {
    result = hold(port, a) ? 0 : -1;
    return true;
  } else if (std::sscanf(line, "serialcomm %3999s %63s", arg, value) == 2) {
    result = serialcomm(arg, value) ? 0 : -1;
    return true;
  } else if (std::sscanf(line, "portsdevice %63s %3999s", value, arg) == 2) {
    result = add_ports_device(value, arg) ? 0 : -1;
    return true;
  } else if (std::strncmp(line, "portsdevice -", 13) == 0) {
    result = remove_ports_devices() ? 0 : -1;
    return true;
  } else {
    return false;
  }
  tail = told(status, &delta);
  return true;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!load() || !load_host()) return 1;
#if defined(__i386__)
  // The measurement must see a callee that leaves its arguments behind.
  long cdecl_delta = 0;
  call(GetProcAddress(LoadLibraryA("msvcrt.dll"), "labs"), {-5, 0}, &cdecl_delta);
  if (cdecl_delta != -8) {
    std::printf("error stack probe %ld\n", cdecl_delta);
    return 1;
  }
#endif
  std::printf("ready\n");

  char line[4096];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    char verb[8] = {}, arg[4000] = {};
    long port = 0, a = 0, b = 0;
    std::string text, tail;
    std::int32_t result = -1;
    long delta = 0;
    const auto text_arg = [&]() {
      text = unhex(arg);
      return reinterpret_cast<std::intptr_t>(arg[0] == '-' ? nullptr : text.c_str());
    };
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (std::sscanf(line, "dll %ld %3999s", &port, arg) == 2) {
      result = call32(entry[2], {port, text_arg()}, &delta);
    } else if (std::sscanf(line, "rc %ld %ld %ld", &port, &a, &b) == 3) {
      result = call32(entry[3], {port, a, b}, &delta);
    } else if (long first = 0;
               std::sscanf(line, "burst %ld %ld %ld %ld", &port, &a, &b, &first) >= 3) {
      result = burst(port, a, b, first);
    } else if (std::sscanf(line, "hog %ld %ld", &port, &a) == 2) {
      result = hog(port, a);
    } else if (std::sscanf(line, "cycles %ld %ld", &a, &port) == 2 && a > 0) {
      result = cycles(a, port);
    } else if (std::sscanf(line, "unload %7s %ld", verb, &port) == 2) {
      result = unload_mid_call(std::strcmp(verb, "legacy") == 0, port);
    } else if (std::sscanf(line, "add %3999s", arg) == 1) {
      result = call32(entry[1], {7, text_arg()}, &delta);
    } else if (!host_request(line, result, delta, tail)) {
      if (std::sscanf(line, "%7s", verb) == 1 && std::strcmp(verb, "quit") == 0) return 0;
      std::printf("error %s", line);
      continue;
    }
    QueryPerformanceCounter(&end);
    std::printf("%ld %ld %lld%s\n", static_cast<long>(result), delta,
                (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, tail.c_str());
  }
  return 0;
}
