// SPDX-License-Identifier: MIT
#include <iconv.h>

#include <cerrno>
#include <vector>

#include "api/gb2312.h"

namespace qelmar {
namespace {

// An iconv descriptor, closed whatever happens.
class Converter {
 public:
  explicit Converter(const char* from) : cd_(iconv_open("GB2312", from)) {}
  ~Converter() {
    if (opened()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's documented failure value
  bool opened() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

Gb2312 to_gb2312(std::string_view text, const char* charset) {
  Gb2312 out;
  const Converter converter(charset != nullptr ? charset : "UTF-8");
  if (!converter.opened()) {
    out.fault = Gb2312::Fault::unknown_charset;
    return out;
  }
  // iconv takes its input through a non-const pointer.
  std::vector<char> input(text.begin(), text.end());
  char* src = input.data();
  std::size_t src_left = input.size();
  char buffer[256];
  for (;;) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    // With the input used up, one more call ends a stateful set's shift.
    const std::size_t done = src_left > 0
                                 ? iconv(converter.get(), &src, &src_left, &dst, &dst_left)
                                 : iconv(converter.get(), nullptr, nullptr, &dst, &dst_left);
    out.bytes.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (done != static_cast<std::size_t>(-1)) {
      if (src_left == 0) return out;
    } else if (errno != E2BIG) {
      // EILSEQ: no counterpart, or malformed; EINVAL: cut off at the end.
      out.fault = Gb2312::Fault::no_character;
      out.failed_at = static_cast<std::size_t>(src - input.data());
      out.bytes.clear();
      return out;
    }
  }
}

}  // namespace qelmar
