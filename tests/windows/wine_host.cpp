// A Windows host for the Wine tests: loads QELMAR.dll, finds the exports by name
// and by ordinal, and makes the calls that the Linux side asks for on stdin.
//   dll PORT HEX|=|-   (the command's bytes in hex; = empty, - a null pointer)
//   rc PORT A B
//   add HEX|-
//   burst PORT THREADS CALLS [FIRST]   (thread t sends tavrc(PORT, FIRST + t, i) for i < CALLS)
//   hog PORT SECONDS   (tavdll(PORT, "F") back to back; RESULT is how many)
//   cycles N PORT      (after a warm-up, N times: load, tavrc(PORT, 1, i), unload; RESULT is
//                       how many bytes the process heaps grew by per cycle)
// Each call answers "RESULT STACK_DELTA MILLISECONDS".
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

HMODULE dll = nullptr;
FARPROC entry[4];  // by ordinal
const char* const names[4] = {nullptr, "tavadd", "tavdll", "tavrc"};

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

std::string unhex(const char* hex) {
  std::string out;
  for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    char byte[3] = {hex[i], hex[i + 1], 0};
    out += static_cast<char>(std::strtoul(byte, nullptr, 16));
  }
  return out;
}

// Calls a stdcall function with the arguments pushed by hand and reports how far
// the stack pointer moved across the call: 0 when the callee removed them.
std::int32_t call(FARPROC fn, std::intptr_t a, std::intptr_t b, std::intptr_t c, int count,
                  long* delta) {
#if defined(__i386__)
  std::int32_t result;
  long moved;
  // The callee may change eax, ecx and edx, so b travels in ecx as an in-out
  // operand. c and count are read before the first push moves esp.
  std::intptr_t b_in_ecx = b;
  asm volatile(
      "mov %%esp, %%edi\n\t"
      "cmpl $3, %[count]\n\t"
      "jne 1f\n\t"
      "pushl %[c]\n\t"
      "1:\n\t"
      "push %[b]\n\t"
      "push %[a]\n\t"
      "call *%[fn]\n\t"
      "mov %%esp, %%edx\n\t"
      "sub %%edi, %%edx\n\t"
      "mov %%edi, %%esp\n\t"
      : "=a"(result), "=&d"(moved), [b] "+c"(b_in_ecx)
      : [fn] "b"(fn), [a] "S"(a), [c] "m"(c), [count] "m"(count)
      : "edi", "memory", "cc");
  *delta = moved;
  return result;
#else
  *delta = 0;
  if (count == 3) {
    return reinterpret_cast<std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t)>(
        reinterpret_cast<void*>(fn))(static_cast<std::int32_t>(a), static_cast<std::int32_t>(b),
                                     static_cast<std::int32_t>(c));
  }
  return reinterpret_cast<std::int32_t (*)(std::int32_t, const char*)>(reinterpret_cast<void*>(fn))(
      static_cast<std::int32_t>(a), reinterpret_cast<const char*>(b));
#endif
}

struct Burst {
  long port, thread, calls;
};

DWORD WINAPI burst_thread(void* argument) {
  const auto* burst = static_cast<const Burst*>(argument);
  long delta = 0;
  for (long i = 0; i < burst->calls; ++i) call(entry[3], burst->port, burst->thread, i, 3, &delta);
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
    call(entry[2], port, reinterpret_cast<std::intptr_t>("F"), 0, 2, &delta);
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
    call(entry[3], port, 1, i & 0xFF, 3, &delta);
    FreeLibrary(dll);
  }
  const long long grown = heap_in_use() - before;
  if (!load()) return -1;
  return static_cast<std::int32_t>(grown / count);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!load()) return 1;
#if defined(__i386__)
  // The measurement must see a callee that leaves its arguments behind.
  long cdecl_delta = 0;
  call(GetProcAddress(LoadLibraryA("msvcrt.dll"), "labs"), -5, 0, 0, 2, &cdecl_delta);
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
    std::string text;
    std::int32_t result = -1;
    long delta = 0;
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (std::sscanf(line, "dll %ld %3999s", &port, arg) == 2) {
      text = unhex(arg);
      const char* pointer = arg[0] == '-' ? nullptr : text.c_str();
      result = call(entry[2], port, reinterpret_cast<std::intptr_t>(pointer), 0, 2, &delta);
    } else if (std::sscanf(line, "rc %ld %ld %ld", &port, &a, &b) == 3) {
      result = call(entry[3], port, a, b, 3, &delta);
    } else if (long first = 0;
               std::sscanf(line, "burst %ld %ld %ld %ld", &port, &a, &b, &first) >= 3) {
      result = burst(port, a, b, first);
    } else if (std::sscanf(line, "hog %ld %ld", &port, &a) == 2) {
      result = hog(port, a);
    } else if (std::sscanf(line, "cycles %ld %ld", &a, &port) == 2 && a > 0) {
      result = cycles(a, port);
    } else if (std::sscanf(line, "add %3999s", arg) == 1) {
      text = unhex(arg);
      const char* pointer = arg[0] == '-' ? nullptr : text.c_str();
      result = call(entry[1], 7, reinterpret_cast<std::intptr_t>(pointer), 0, 2, &delta);
    } else if (std::sscanf(line, "%7s", verb) == 1 && std::strcmp(verb, "quit") == 0) {
      return 0;
    } else {
      std::printf("error %s", line);
      continue;
    }
    QueryPerformanceCounter(&end);
    std::printf("%ld %ld %lld\n", static_cast<long>(result), delta,
                (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
  }
  return 0;
}
