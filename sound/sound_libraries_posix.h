// libsndfile and ALSA, loaded when the first sound plays instead of linked: a
// host that never plays one never loads them, and a host without them still
// shows prices. Compiled against their headers, so the calls keep their types.
#pragma once

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <sndfile.h>

#include <cstdio>

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
};

class SoundLibraries {
 public:
  // Loads both by soname and finds every function. False when any cannot be
  // had, and why_not() says which; what did load is let go again. On success
  // they stay loaded for good: a player thread may still be in them at exit.
  bool load(const char* sndfile, const char* alsa) noexcept;

  bool loaded() const noexcept { return why_not_[0] == '\0'; }
  const SoundFunctions& functions() const noexcept { return functions_; }
  // "libasound.so.2 is not installed"; empty once loaded.
  const char* why_not() const noexcept { return why_not_; }

 private:
  bool fail(const char* soname, const char* missing) noexcept;

  SoundFunctions functions_;
  char why_not_[128] = "not loaded";
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
  // dlerror's text names paths and allocates; the fixed text says enough. The
  // pending error is cleared so that the host's next dlerror is not ours.
  ::dlerror();
  if (missing == nullptr) {
    std::snprintf(why_not_, sizeof why_not_, "%s is not installed", soname);
  } else {
    std::snprintf(why_not_, sizeof why_not_, "%s has no %s", soname, missing);
  }
  return false;
}

inline bool SoundLibraries::load(const char* sndfile, const char* alsa) noexcept {
  using detail::find;
  SoundFunctions& f = functions_;
  const char* missing = nullptr;

  void* const decoder = ::dlopen(sndfile, RTLD_NOW | RTLD_LOCAL);
  if (decoder == nullptr) return fail(sndfile, nullptr);
  if (!(find(decoder, "sf_open_fd", f.sf_open_fd, missing) &&
        find(decoder, "sf_command", f.sf_command, missing) &&
        find(decoder, "sf_readf_short", f.sf_readf_short, missing) &&
        find(decoder, "sf_close", f.sf_close, missing))) {
    ::dlclose(decoder);
    return fail(sndfile, missing);
  }

  void* const output = ::dlopen(alsa, RTLD_NOW | RTLD_LOCAL);
  if (output == nullptr) {
    ::dlclose(decoder);
    return fail(alsa, nullptr);
  }
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
    ::dlclose(decoder);
    return fail(alsa, missing);
  }
  why_not_[0] = '\0';
  return true;
}

}  // namespace qelmar::sound
