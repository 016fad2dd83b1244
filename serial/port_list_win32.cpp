// SPDX-License-Identifier: MIT
// Serial devices on Windows: the COM ports that drivers register under
// HARDWARE\DEVICEMAP\SERIALCOMM, named as the Ports class of SetupAPI names them.
// Nothing here opens a port.
#include <windows.h>
// After windows.h, which they need.
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial/device_path.h"
#include "serial/port_list.h"

namespace qelmar::serial {
namespace {

// "COM7" -> 7; 0 for anything else.
int com_number(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0) return 0;
  char* end = nullptr;
  const long n = std::strtol(name + 3, &end, 10);
  return end != name + 3 && *end == '\0' && n > 0 && n <= INT32_MAX ? static_cast<int>(n) : 0;
}

// A text property of a device (a list's first entry); empty when it has none.
std::string device_text(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  char text[512] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 2, nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return {};
  }
  return text;
}

// The four hex digits after `key` ("VID_") in a hardware id.
std::string id_after(const std::string& id, const char* key) {
  const std::size_t at = id.find(key);
  return at == std::string::npos ? std::string() : id.substr(at + std::strlen(key), 4);
}

// Fills in what the Ports class of SetupAPI says about the device whose
// PortName is `name`; leaves `port` as it is when no device there has that name
// (Wine's COM ports are not in the class).
void describe_from_setupapi(HDEVINFO set, const char* name, SerialDevice& port) {
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device) != FALSE; ++i) {
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char port_name[32] = {};
    DWORD size = sizeof port_name - 1;
    DWORD type = 0;
    const bool named =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port_name),
                         &size) == ERROR_SUCCESS &&
        type == REG_SZ && _stricmp(port_name, name) == 0;
    RegCloseKey(key);
    if (!named) continue;

    const std::string friendly = device_text(set, device, SPDRP_FRIENDLYNAME);
    if (!friendly.empty()) port.by_id.push_back(friendly);
    port.manufacturer = device_text(set, device, SPDRP_MFG);
    const std::string service = device_text(set, device, SPDRP_SERVICE);
    if (!service.empty()) port.driver = service;
    // The first hardware id is the most specific. FTDI's own bus driver names
    // its ports FTDIBUS\VID_..., still USB devices.
    const std::string id = device_text(set, device, SPDRP_HARDWAREID);
    if (_strnicmp(id.c_str(), "USB\\", 4) == 0 || id.find("VID_") != std::string::npos) {
      port.kind = "USB";
      port.vendor_id = id_after(id, "VID_");
      port.product_id = id_after(id, "PID_");
    }
    return;
  }
}

// The registry key and the device list, let go however the listing ends (adding
// to the list may throw).
struct Handles {
  HKEY key = nullptr;
  HDEVINFO set = INVALID_HANDLE_VALUE;
  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    if (key != nullptr) RegCloseKey(key);
  }
};

// The device object's name without its number ("\Device\Serial0" -> "Serial"):
// the in-box driver's service, and for others the driver's own name for it.
std::string driver_of(const char* device) {
  const char* name = std::strrchr(device, '\\');
  std::string driver = name != nullptr ? name + 1 : device;
  while (!driver.empty() && driver.back() >= '0' && driver.back() <= '9') driver.pop_back();
  return driver;
}

}  // namespace

// The COM ports that drivers registered; the root does not apply here.
bool list_ports(const Machine& /*machine*/, std::vector<SerialDevice>& devices) {
  Handles open;
  const LSTATUS opened =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &open.key);
  if (opened != ERROR_SUCCESS) {
    open.key = nullptr;
    // Windows has no such key while no driver has registered a port.
    return opened == ERROR_FILE_NOT_FOUND;
  }
  // Without SetupAPI's list the names stay empty.
  open.set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);

  char device[256];
  char name[32];
  for (DWORD i = 0;; ++i) {
    DWORD device_size = sizeof device;
    DWORD name_size = sizeof name - 1;
    DWORD type = 0;
    std::memset(name, 0, sizeof name);
    const LSTATUS read = RegEnumValueA(open.key, i, device, &device_size, nullptr, &type,
                                       reinterpret_cast<BYTE*>(name), &name_size);
    if (read == ERROR_NO_MORE_ITEMS) break;
    const int number = read == ERROR_SUCCESS && type == REG_SZ ? com_number(name) : 0;
    if (number == 0) continue;
    SerialDevice& port = devices.emplace_back();
    char path[32];
    com_path(number, path, sizeof path);
    port.path = path;
    port.kind = "other";
    port.driver = driver_of(device);
    if (open.set != INVALID_HANDLE_VALUE) describe_from_setupapi(open.set, name, port);
    port.ports.push_back(number);
    // A COM port's default security lets every user open it; only opening it
    // would tell whether another program holds it.
    port.accessible = true;
  }
  std::sort(devices.begin(), devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return a.ports < b.ports; });
  return true;
}

// Port N is \\.\COMN; below 1 there is no such port.
PortRoute resolve_port(const Machine& /*machine*/, std::int32_t port, char* path,
                       std::size_t size) noexcept {
  if (path != nullptr && size > 0) com_path(port, path, size);
  return port > 0 ? PortRoute::com : PortRoute::none;
}

}  // namespace qelmar::serial
