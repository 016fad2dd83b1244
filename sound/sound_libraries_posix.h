// SPDX-License-Identifier: MIT
// libsndfile and ALSA, loaded when the first sound plays instead of linked: a
// host that never plays one never loads them, and a host without them still
// shows prices. Compiled against their headers, so the calls keep their types.
#pragma once

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qelmar::sound {

// Every function the sound code calls, as the libraries declare it.
struct SoundFunctions {
  decltype(&::sf_open_fd) sf_open_fd = nullptr;
  decltype(&::sf_command) sf_command = nullptr;
  decltype(&::sf_readf_short) sf_readf_short = nullptr;
  decltype(&::sf_close) sf_close = nullptr;
  decltype(&::snd_pcm_open) snd_pcm_open = nullptr;
  decltype(&::snd_pcm_set_params) snd_pcm_set_params = nullptr;
  decltype(&::snd_pcm_writei) snd_pcm_writei = nullptr;
  decltype(&::snd_pcm_wait) snd_pcm_wait = nullptr;
  decltype(&::snd_pcm_delay) snd_pcm_delay = nullptr;
  decltype(&::snd_pcm_recover) snd_pcm_recover = nullptr;
  decltype(&::snd_pcm_start) snd_pcm_start = nullptr;
  decltype(&::snd_pcm_state) snd_pcm_state = nullptr;
  decltype(&::snd_pcm_close) snd_pcm_close = nullptr;
  // Null where ALSA is too old to have it: its messages then go where it sends them.
  decltype(&::snd_lib_error_set_local) snd_lib_error_set_local = nullptr;
};

class SoundLibraries {
 public:
  // Loads both by soname and finds every function. False when any cannot be
  // had, and why_not() says which; what did load is let go again. On success
  // they stay loaded for good: a player thread may still be in them at exit.
  bool load(const char* sndfile, const char* alsa) noexcept;

  bool loaded() const noexcept { return why_not_[0] == '\0'; }
  const SoundFunctions& functions() const noexcept { return functions_; }
  // "libasound.so.2 is not installed", "libasound.so.2 cannot be loaded: failed
  // to map segment from shared object"; empty once loaded.
  const char* why_not() const noexcept { return why_not_; }

 private:
  bool fail(const char* soname, const char* missing) noexcept;
  bool fail_to_open(const char* soname) noexcept;

  SoundFunctions functions_;
  char why_not_[256] = "not loaded";
};

namespace detail {

// Finds `name` in `library` as `function`; when it is not there, `missing` names it.
template <typename Function>
bool find(void* library, const char* name, Function& function, const char*& missing) noexcept {
  void* const address = ::dlsym(library, name);
  if (address == nullptr) {
    missing = name;
    return false;
  }
  function = reinterpret_cast<Function>(address);
  return true;
}

}  // namespace detail

inline bool SoundLibraries::fail(const char* soname, const char* missing) noexcept {
  functions_ = {};
  // The pending error is cleared so that the host's next dlerror is not ours.
  ::dlerror();
  std::snprintf(why_not_, sizeof why_not_, "%s has no %s", soname, missing);
  return false;
}

// A library that is not there is "not installed"; anything else (memory
// running out above all, which may pass) is said in the loader's words.
inline bool SoundLibraries::fail_to_open(const char* soname) noexcept {
  functions_ = {};
  const char* error = ::dlerror();  // clears it, too
  if (error == nullptr) error = "";
  // The loader's text names the library it could not open, unless memory was
  // too short even for that: "libx.so.1: cannot open shared object file: No
  // such file or directory", in the host's language.
  const std::size_t name_length = std::strlen(soname);
  if (std::strncmp(error, soname, name_length) == 0 &&
      std::strncmp(error + name_length, ": ", 2) == 0) {
    error += name_length + 2;
    char buffer[128];
    const char* const not_found = ::strerror_r(ENOENT, buffer, sizeof buffer);
    const std::size_t length = std::strlen(error), suffix = std::strlen(not_found);
    if (length >= suffix && std::strcmp(error + length - suffix, not_found) == 0) {
      std::snprintf(why_not_, sizeof why_not_, "%s is not installed", soname);
      return false;
    }
  }
  std::snprintf(why_not_, sizeof why_not_, "%s cannot be loaded: %s", soname,
                *error != '\0' ? error : "out of memory");
  return false;
}

inline bool SoundLibraries::load(const char* sndfile, const char* alsa) noexcept {
  using detail::find;
  SoundFunctions& f = functions_;
  const char* missing = nullptr;

  // ALSA first: it brings no other libraries, so a load tried again at every
  // sound costs little while the other is missing.
  void* const output = ::dlopen(alsa, RTLD_NOW | RTLD_LOCAL);
  if (output == nullptr) return fail_to_open(alsa);
  if (!(find(output, "snd_pcm_open", f.snd_pcm_open, missing) &&
        find(output, "snd_pcm_set_params", f.snd_pcm_set_params, missing) &&
        find(output, "snd_pcm_writei", f.snd_pcm_writei, missing) &&
        find(output, "snd_pcm_wait", f.snd_pcm_wait, missing) &&
        find(output, "snd_pcm_delay", f.snd_pcm_delay, missing) &&
        find(output, "snd_pcm_recover", f.snd_pcm_recover, missing) &&
        find(output, "snd_pcm_start", f.snd_pcm_start, missing) &&
        find(output, "snd_pcm_state", f.snd_pcm_state, missing) &&
        find(output, "snd_pcm_close", f.snd_pcm_close, missing))) {
    ::dlclose(output);
    return fail(alsa, missing);
  }
  f.snd_lib_error_set_local = reinterpret_cast<decltype(f.snd_lib_error_set_local)>(
      ::dlsym(output, "snd_lib_error_set_local"));
  ::dlerror();

  void* const decoder = ::dlopen(sndfile, RTLD_NOW | RTLD_LOCAL);
  if (decoder == nullptr) {
    fail_to_open(sndfile);  // first: a dlclose would clear the loader's error
    ::dlclose(output);
    return false;
  }
  if (!(find(decoder, "sf_open_fd", f.sf_open_fd, missing) &&
        find(decoder, "sf_command", f.sf_command, missing) &&
        find(decoder, "sf_readf_short", f.sf_readf_short, missing) &&
        find(decoder, "sf_close", f.sf_close, missing))) {
    ::dlclose(decoder);
    ::dlclose(output);
    return fail(sndfile, missing);
  }
  why_not_[0] = '\0';
  return true;
}

}  // namespace qelmar::sound
