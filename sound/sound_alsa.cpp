// SPDX-License-Identifier: MIT
// Sound through ALSA's default PCM (which reaches PulseAudio or PipeWire where
// they run), files decoded by libsndfile; both loaded with the first sound.
// Nothing here allocates from C++.
//
// A sound server can hold an open, a write or a close for as long as it likes
// (the pulse plugin waits up to 30 s for a server that stopped answering), so
// the sound plays on a thread of its own and the call waits for it only until
// the sound's length plus a margin. A process plays one sound at a time: a
// later one waits for the sound in progress, within its own bound, and while
// a player is held past its call no other is started: each would only be held too.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <numbers>

#include "sound/sound.h"
#include "sound/sound_libraries_posix.h"

namespace qelmar::sound {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned latency_us = 100000;

// How much longer than the sound itself a call may take.
constexpr auto margin = std::chrono::seconds(2);

// Samples per chunk, whatever the channels.
constexpr std::size_t chunk_samples = 8192;

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 100));
}

class Pcm {
 public:
  Pcm(const SoundFunctions& lib, unsigned channels, unsigned rate, Clock::time_point deadline)
      : lib_(lib), channels_(channels), deadline_(deadline) {
    // Non-blocking throughout: every wait below is bounded by the deadline.
    if (lib_.snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
      pcm_ = nullptr;
      return;
    }
    if (lib_.snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                rate, 1, latency_us) < 0) {
      lib_.snd_pcm_close(pcm_);
      pcm_ = nullptr;
    }
  }
  ~Pcm() {
    if (pcm_ != nullptr) lib_.snd_pcm_close(pcm_);
  }
  Pcm(const Pcm&) = delete;
  Pcm& operator=(const Pcm&) = delete;

  bool ok() const { return pcm_ != nullptr; }

  bool write(const std::int16_t* samples, snd_pcm_uframes_t frames) {
    while (frames > 0) {
      const snd_pcm_sframes_t n = lib_.snd_pcm_writei(pcm_, samples, frames);
      if (n == -EAGAIN) {
        if (Clock::now() >= deadline_) return false;
        lib_.snd_pcm_wait(pcm_, milliseconds_until(deadline_));
        continue;
      }
      if (n < 0) {
        if (lib_.snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return false;
        continue;
      }
      samples += static_cast<std::size_t>(n) * channels_;
      frames -= static_cast<snd_pcm_uframes_t>(n);
    }
    return true;
  }

  // Returns once the last sample has been played, or at the deadline. Not
  // snd_pcm_drain, which some plugins answer only when the sound server does.
  void finish() {
    if (lib_.snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) lib_.snd_pcm_start(pcm_);
    while (Clock::now() < deadline_) {
      snd_pcm_sframes_t delay = 0;
      if (lib_.snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING ||
          lib_.snd_pcm_delay(pcm_, &delay) < 0 || delay <= 0) {
        return;
      }
      ::usleep(static_cast<useconds_t>(std::min(milliseconds_until(deadline_), 20)) * 1000);
    }
  }

 private:
  const SoundFunctions& lib_;
  snd_pcm_t* pcm_ = nullptr;
  unsigned channels_;
  Clock::time_point deadline_;
};

// The default alert: two short 880 Hz beeps, made a chunk at a time.
constexpr unsigned alert_rate = 44100;
constexpr unsigned beep = alert_rate / 8;
constexpr unsigned gap = alert_rate / 16;
constexpr auto alert_length = std::chrono::milliseconds((2 * beep + gap) * 1000 / alert_rate);

bool play_alert(const SoundFunctions& lib, Clock::time_point deadline) {
  constexpr unsigned rate = alert_rate;
  constexpr unsigned length = 2 * beep + gap;
  Pcm pcm(lib, 1, rate, deadline);
  if (!pcm.ok()) return false;
  std::int16_t samples[chunk_samples];
  for (unsigned start = 0; start < length; start += chunk_samples) {
    const unsigned count = std::min<unsigned>(chunk_samples, length - start);
    for (unsigned k = 0; k < count; ++k) {
      const unsigned i = start + k;
      const unsigned t = i < beep ? i : i - beep - gap;  // position within its beep
      const bool sounding = i < beep || i >= beep + gap;
      const double fade = std::min(1.0, std::min(t, beep - t) / 200.0);
      samples[k] = sounding
                       ? static_cast<std::int16_t>(
                             12000.0 * fade * std::sin(2.0 * std::numbers::pi * 880.0 * t / rate))
                       : std::int16_t{0};
    }
    if (!pcm.write(samples, count)) return true;
  }
  pcm.finish();
  return true;
}

// A decoder and the descriptor it reads, which stays ours to close: libsndfile
// closes it on some failures and not on others.
struct SoundFile {
  SNDFILE* file = nullptr;
  int fd = -1;
};

void close_sound(const SoundFunctions& lib, SoundFile& sound) {
  if (sound.file != nullptr) lib.sf_close(sound.file);
  if (sound.fd >= 0) ::close(sound.fd);
  sound = {};
}

// Why a file that cannot be opened cannot, in the words its user acts on.
const char* open_failed(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return "no such file";
    case EACCES:
    case EPERM:
      return "the file may not be read (permission denied)";
    case ENAMETOOLONG:
      return "the file's name is too long";
    default:
      return "the file cannot be opened";
  }
}

// Opened before the sound libraries are looked for, so that a file's fault is
// told even where nothing can play. Only a regular file is read: a FIFO
// without a writer would block the open, and a device would never end.
// `why_not` says why there is nothing to decode.
int open_regular_file(const char* path, const char*& why_not) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (fd < 0) {
    why_not = open_failed(errno);
  } else if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    why_not = "not a regular file";
    ::close(fd);
    return -1;
  }
  return fd;
}

// Takes `fd` over; no decoder when it is -1.
SoundFile decode(const SoundFunctions& lib, int fd, SF_INFO& info, const char*& why_not) {
  SoundFile sound{nullptr, fd};
  if (fd < 0) return sound;
  sound.file = lib.sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (sound.file == nullptr || info.channels <= 0 || info.samplerate <= 0 ||
      static_cast<std::size_t>(info.channels) > chunk_samples) {
    why_not = "the file cannot be decoded";
    close_sound(lib, sound);
  }
  return sound;
}

// "WAV (Microsoft), 16 bit, 44100 Hz, 2 channels"
void describe_format(const SoundFunctions& lib, SNDFILE* file, const SF_INFO& info,
                     char (&out)[64]) {
  SF_FORMAT_INFO major{};
  major.format = info.format & SF_FORMAT_TYPEMASK;
  const bool named = lib.sf_command(file, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0;
  std::snprintf(out, sizeof out, "%s, %d Hz, %d channel%s", named ? major.name : "?",
                info.samplerate, info.channels, info.channels == 1 ? "" : "s");
}

// The process's one player, and what became of it: none, playing within its
// call, or held by the sound device past its call; above it the process that
// counts it, since a child forked meanwhile has none. One at a time, because
// a device that stalls holds every player started meanwhile, not only the
// one that finds out first (as the Windows service plays one sound at a time).
enum PlayerState : std::uint32_t { no_player = 0, playing = 1, held = 2 };
std::atomic<std::uint64_t> the_player{0};

PlayerState player_here(std::uint64_t state) {
  return state >> 32 == static_cast<std::uint64_t>(::getpid())
             ? static_cast<PlayerState>(state & 0xFFFFFFFFU)
             : no_player;
}

std::uint64_t here(PlayerState state) {
  return static_cast<std::uint64_t>(::getpid()) << 32 | state;
}

constexpr const char* still_held = "nothing played: the sound device still holds an earlier sound";

// Takes the player's place for a new sound, waiting for the sound in progress
// until `deadline`. Null once taken, or why nothing plays: a player the device
// holds past its call would hold the next one too (and the alert with it), so
// that ends the wait at once. Polled rather than waited on a condition, which
// a child forked during another thread's sound could find locked for good.
const char* take_place(Clock::time_point deadline) {
  for (;;) {
    std::uint64_t state = the_player.load(std::memory_order_acquire);
    switch (player_here(state)) {
      case no_player:
        if (the_player.compare_exchange_weak(state, here(playing), std::memory_order_acq_rel)) {
          return nullptr;
        }
        continue;
      case held:
        return still_held;
      case playing:
        break;
    }
    if (Clock::now() >= deadline) {
      return "nothing played: an earlier sound played past the deadline";
    }
    ::usleep(5000);
  }
}

// What the call and its player share; whichever lets go last frees it.
struct Playback {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  bool finished;
  bool device_opened;
  int holders;
  const SoundFunctions* lib;
  SoundFile sound;  // none: the alert
  SF_INFO info;
  Clock::time_point deadline;
  char alsa_said[sizeof SoundStatus::alsa_said];
};

// The playback whose player runs on this thread, for ALSA's messages.
thread_local Playback* listening = nullptr;

// ALSA's messages during a sound, which it would print on the host's stderr,
// kept for the log instead; what does not fit is left out.
void alsa_said(const char* /*file*/, int /*line*/, const char* /*function*/, int error,
               const char* format, va_list args) {
  Playback* const playback = listening;
  if (playback == nullptr) return;
  char message[256];
  const int length = std::vsnprintf(message, sizeof message, format, args);
  if (length < 0) return;
  if (error != 0) {
    const std::size_t used = std::min(static_cast<std::size_t>(length), sizeof message - 1);
    char buffer[128];
    std::snprintf(message + used, sizeof message - used, ": %s",
                  ::strerror_r(error < 0 ? -error : error, buffer, sizeof buffer));
  }
  pthread_mutex_lock(&playback->mutex);
  char* const said = playback->alsa_said;
  const std::size_t used = std::strlen(said);
  std::snprintf(said + used, sizeof playback->alsa_said - used, "%s%s", used > 0 ? "; " : "",
                message);
  pthread_mutex_unlock(&playback->mutex);
}

// ALSA's messages on this thread go to the playback while it lives; the
// handler that was there before, the host's own if it set one, is put back.
// ALSA asks this thread's handler only while no handler is set for the whole
// process: a host that set one gets every message, ours too, as it asked.
class AlsaMessages {
 public:
  AlsaMessages(const SoundFunctions& lib, Playback* playback)
      : lib_(lib), previous_listener_(listening) {
    if (lib_.snd_lib_error_set_local == nullptr) return;
    listening = playback;
    previous_ = lib_.snd_lib_error_set_local(alsa_said);
  }
  ~AlsaMessages() {
    if (lib_.snd_lib_error_set_local == nullptr) return;
    lib_.snd_lib_error_set_local(previous_);
    listening = previous_listener_;
  }
  AlsaMessages(const AlsaMessages&) = delete;
  AlsaMessages& operator=(const AlsaMessages&) = delete;

 private:
  const SoundFunctions& lib_;
  Playback* previous_listener_;
  snd_local_error_handler_t previous_ = nullptr;
};

void let_go(Playback* playback) {
  pthread_mutex_lock(&playback->mutex);
  const bool last = --playback->holders == 0;
  pthread_mutex_unlock(&playback->mutex);
  if (!last) return;
  pthread_cond_destroy(&playback->changed);
  pthread_mutex_destroy(&playback->mutex);
  std::free(playback);
}

bool play_file(const SoundFunctions& lib, SNDFILE* file, const SF_INFO& info,
               Clock::time_point deadline) {
  const auto channels = static_cast<unsigned>(info.channels);
  Pcm pcm(lib, channels, static_cast<unsigned>(info.samplerate), deadline);
  if (!pcm.ok()) return false;
  std::int16_t samples[chunk_samples];
  const auto frames_per_chunk = static_cast<sf_count_t>(chunk_samples / channels);
  for (;;) {
    const sf_count_t frames = lib.sf_readf_short(file, samples, frames_per_chunk);
    if (frames <= 0) break;
    if (!pcm.write(samples, static_cast<snd_pcm_uframes_t>(frames))) return true;
  }
  pcm.finish();
  return true;
}

void* player(void* argument) {
  auto* playback = static_cast<Playback*>(argument);
  const SoundFunctions& lib = *playback->lib;
  bool opened = false;
  {
    const AlsaMessages messages(lib, playback);
    if (playback->sound.file != nullptr) {
      opened = play_file(lib, playback->sound.file, playback->info, playback->deadline);
      close_sound(lib, playback->sound);
    } else {
      opened = play_alert(lib, playback->deadline);
    }
  }
  pthread_mutex_lock(&playback->mutex);
  playback->finished = true;
  playback->device_opened = opened;
  // Under the playback's lock, as its call marks it held: the call sees
  // either a finished player or one still in its place.
  the_player.store(here(no_player), std::memory_order_release);
  pthread_cond_signal(&playback->changed);
  pthread_mutex_unlock(&playback->mutex);
  let_go(playback);
  return nullptr;
}

// Loaded by the first sound that can load them, by the names their packages
// install. A failure is not kept: memory may be short only for the moment, or
// the package installed since, so the next sound tries again.
SoundLibraries libraries;
std::atomic<bool> libraries_loaded{false};
pthread_mutex_t loading = PTHREAD_MUTEX_INITIALIZER;

// The libraries' functions, or null with the reason in `status`. A call waits
// for another thread's load only so long: in a child forked during it, the
// load never ends.
const SoundFunctions* sound_functions(SoundStatus* status) {
  if (libraries_loaded.load(std::memory_order_acquire)) return &libraries.functions();
  timespec until{};
  ::clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += 2;
  if (pthread_mutex_clocklock(&loading, CLOCK_MONOTONIC, &until) != 0) {
    if (status != nullptr) status->ending = "nothing played: the sound libraries are still loading";
    return nullptr;
  }
  bool loaded = libraries_loaded.load(std::memory_order_relaxed);
  if (!loaded) {
    loaded = libraries.load("libsndfile.so.1", "libasound.so.2");
    libraries_loaded.store(loaded, std::memory_order_release);
  }
  if (!loaded && status != nullptr) {
    std::snprintf(status->ending_text, sizeof status->ending_text, "%s", libraries.why_not());
    status->ending = status->ending_text;
  }
  pthread_mutex_unlock(&loading);
  return loaded ? &libraries.functions() : nullptr;
}

// Waits for the player until the deadline, and says how it ended; what ALSA
// said meanwhile goes to `status`.
const char* wait_for(Playback* playback, SoundStatus* status) {
  using namespace std::chrono;
  const auto since_epoch = playback->deadline.time_since_epoch();
  timespec until{};
  until.tv_sec = static_cast<time_t>(duration_cast<seconds>(since_epoch).count());
  until.tv_nsec = static_cast<long>((duration_cast<nanoseconds>(since_epoch) % 1s).count());
  pthread_mutex_lock(&playback->mutex);
  while (!playback->finished && pthread_cond_clockwait(&playback->changed, &playback->mutex,
                                                       CLOCK_MONOTONIC, &until) != ETIMEDOUT) {
  }
  const char* ending = !playback->finished       ? "given up at the deadline"
                       : playback->device_opened ? "played"
                                                 : "no sound device";
  if (!playback->finished) the_player.store(here(held), std::memory_order_release);
  if (status != nullptr) {
    std::memcpy(status->alsa_said, playback->alsa_said, sizeof status->alsa_said);
  }
  pthread_mutex_unlock(&playback->mutex);
  return ending;
}

// The libraries to play with, or null when nothing can play now, with why in
// `status`: without either library not even the alert can play, and a device
// that holds a player holds the next one too (the alert would go to it as well).
const SoundFunctions* ready_to_play(SoundStatus* status) {
  const SoundFunctions* const loaded = sound_functions(status);
  if (loaded != nullptr && player_here(the_player.load(std::memory_order_acquire)) == held) {
    if (status != nullptr) status->ending = still_held;
    return nullptr;
  }
  return loaded;
}

}  // namespace

void play(const char* path, SoundStatus* status) noexcept {
  if (path == nullptr) {
    if (status != nullptr) status->ending = "nothing played: no file named";
    return;
  }

  if (status != nullptr) status->device = "ALSA default";
  const char* why_not = "";
  const int fd = open_regular_file(path, why_not);
  if (status != nullptr) status->fallback = why_not;
  const SoundFunctions* const loaded = ready_to_play(status);
  if (loaded == nullptr) {
    if (fd >= 0) ::close(fd);
    return;
  }
  const SoundFunctions& lib = *loaded;

  // steady_clock is CLOCK_MONOTONIC, which the wait below counts in.
  static_assert(Clock::is_steady);
  SF_INFO info{};
  SoundFile sound = decode(lib, fd, info, why_not);
  Clock::duration length = alert_length;
  if (sound.file != nullptr) {
    // Capped, so that a header claiming an absurd length cannot overflow the clock.
    const double seconds = std::min(static_cast<double>(info.frames) / info.samplerate, 86400.0);
    length = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  if (status != nullptr) {
    if (sound.file != nullptr) {
      describe_format(lib, sound.file, info, status->format);
      status->seconds = std::chrono::duration<double>(length).count();
    } else {
      status->fallback = why_not;
      status->seconds = std::chrono::duration<double>(alert_length).count();
    }
  }

  // The call's bound counts from here, whatever it waits for below.
  const Clock::time_point deadline = Clock::now() + length + margin;
  if (const char* not_now = take_place(deadline); not_now != nullptr) {
    close_sound(lib, sound);
    if (status != nullptr) status->ending = not_now;
    return;
  }
  auto* playback = static_cast<Playback*>(std::malloc(sizeof(Playback)));
  if (playback == nullptr) {
    close_sound(lib, sound);
    the_player.store(here(no_player), std::memory_order_release);
    if (status != nullptr) status->ending = "nothing played: out of memory";
    return;
  }
  pthread_mutex_init(&playback->mutex, nullptr);
  pthread_cond_init(&playback->changed, nullptr);
  playback->finished = false;
  playback->device_opened = false;
  playback->holders = 2;
  playback->lib = &lib;
  playback->sound = sound;
  playback->info = info;
  playback->deadline = deadline;
  playback->alsa_said[0] = '\0';

  // The player runs this library's code, maybe past the call: the entry point
  // has already made the library stay loaded, whatever the host unloads.
  pthread_attr_t attributes;
  pthread_t thread;
  bool started = pthread_attr_init(&attributes) == 0;
  if (started) {
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    started = pthread_create(&thread, &attributes, player, playback) == 0;
    pthread_attr_destroy(&attributes);
  }
  if (!started) {
    // No thread to be had: play here, still bounded wherever ALSA lets it be.
    player(playback);
  }
  const char* ending = wait_for(playback, status);
  if (status != nullptr) status->ending = ending;
  let_go(playback);
}

}  // namespace qelmar::sound
