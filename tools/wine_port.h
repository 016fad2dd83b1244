// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>
#include <string>

#include "tools/ports.h"

namespace qelmar::tools {

struct WinePortOptions {
  int port = 1;
  std::string prefix;  // empty: $WINEPREFIX, else ~/.wine
  std::string device;  // what COMn leads to; unused with `remove`
  bool remove = false;
};

// The prefix to use: `given`, else $WINEPREFIX, else ~/.wine, as Wine picks it.
std::string wine_prefix(const std::string& given);

// `qelmar wine-port`: maps COMn of a Wine prefix to a device (its dosdevices
// link, and the HKLM\Software\Wine\Ports value from which Wine makes that link
// and the SERIALCOMM value at each start), or with `remove` takes back such a
// mapping. Reads the console list and sysfs below `machine`. What it did goes
// to `out`, why not to `err`. Returns 0 when done, else 2.
int wine_port(const Machine& machine, const WinePortOptions& options, std::ostream& out,
              std::ostream& err);

// doctor's line about Wine's COMn in the prefix wine_port would use: nothing
// when there is no prefix or no mapping. False when COMn leads to a device
// that is not there, or to the system console.
bool check_wine_port(const Machine& machine, int port, std::ostream& out);

}  // namespace qelmar::tools
