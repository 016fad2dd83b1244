// Sound through ALSA's default PCM (which reaches PulseAudio or PipeWire where
// they run), files decoded by libsndfile. Nothing here allocates from C++, and
// every wait has a deadline: a sink that stops taking samples cannot hold the call.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "sound/sound.h"

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

void* close_pcm(void* pcm) {
  snd_pcm_close(static_cast<snd_pcm_t*>(pcm));
  return nullptr;
}

// A sink that stopped taking samples can hold a close for as long as it likes
// (the pulse plugin waits for its server), so the close goes on without the
// call. The library then stays loaded, since that thread runs its code.
void close_later(snd_pcm_t* pcm) {
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&close_pcm), &self) != 0 && self.dli_fname != nullptr) {
    ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
  pthread_attr_t attributes;
  pthread_t thread;
  if (::pthread_attr_init(&attributes) != 0) return;  // leaked rather than waited for
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  ::pthread_create(&thread, &attributes, close_pcm, pcm);
  ::pthread_attr_destroy(&attributes);
}

class Pcm {
 public:
  Pcm(unsigned channels, unsigned rate, Clock::time_point deadline)
      : channels_(channels), deadline_(deadline) {
    // Non-blocking throughout: every wait below is bounded by the deadline.
    if (snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
      pcm_ = nullptr;
      return;
    }
    if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate,
                           1, latency_us) < 0) {
      snd_pcm_close(pcm_);
      pcm_ = nullptr;
    }
  }
  ~Pcm() {
    if (pcm_ == nullptr) return;
    if (Clock::now() < deadline_) {
      snd_pcm_close(pcm_);
    } else {
      close_later(pcm_);
    }
  }
  Pcm(const Pcm&) = delete;
  Pcm& operator=(const Pcm&) = delete;

  bool ok() const { return pcm_ != nullptr; }

  bool write(const std::int16_t* samples, snd_pcm_uframes_t frames) {
    while (frames > 0) {
      const snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, frames);
      if (n == -EAGAIN) {
        if (Clock::now() >= deadline_) return false;
        snd_pcm_wait(pcm_, milliseconds_until(deadline_));
        continue;
      }
      if (n < 0) {
        if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return false;
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
    if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm_);
    while (Clock::now() < deadline_) {
      snd_pcm_sframes_t delay = 0;
      if (snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING || snd_pcm_delay(pcm_, &delay) < 0 ||
          delay <= 0) {
        return;
      }
      ::usleep(static_cast<useconds_t>(std::min(milliseconds_until(deadline_), 20)) * 1000);
    }
  }

 private:
  snd_pcm_t* pcm_ = nullptr;
  unsigned channels_;
  Clock::time_point deadline_;
};

// The default alert: two short 880 Hz beeps, made a chunk at a time.
void play_alert() {
  constexpr unsigned rate = 44100;
  constexpr unsigned beep = rate / 8;
  constexpr unsigned gap = rate / 16;
  constexpr unsigned length = 2 * beep + gap;
  Pcm pcm(1, rate, Clock::now() + std::chrono::milliseconds(length * 1000 / rate) + margin);
  if (!pcm.ok()) return;
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
                       : 0;
    }
    if (!pcm.write(samples, count)) return;
  }
  pcm.finish();
}

// Only a regular file is read: a FIFO without a writer would block the open,
// and a device would never end.
SNDFILE* open_regular_file(const char* path, SF_INFO& info) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
  if (file == nullptr) ::close(fd);
  return file;
}

}  // namespace

void play(const char* path) noexcept {
  if (path == nullptr) return;

  SF_INFO info{};
  SNDFILE* file = open_regular_file(path, info);
  if (file == nullptr || info.channels <= 0 || info.samplerate <= 0 ||
      static_cast<std::size_t>(info.channels) > chunk_samples) {
    if (file != nullptr) sf_close(file);
    play_alert();
    return;
  }

  const auto channels = static_cast<unsigned>(info.channels);
  // Capped, so that a header claiming an absurd length cannot overflow the clock.
  const double seconds = std::min(static_cast<double>(info.frames) / info.samplerate, 86400.0);
  const Clock::time_point deadline =
      Clock::now() +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) + margin;
  Pcm pcm(channels, static_cast<unsigned>(info.samplerate), deadline);
  if (pcm.ok()) {
    std::int16_t samples[chunk_samples];
    const auto frames_per_chunk = static_cast<sf_count_t>(chunk_samples / channels);
    bool playing = true;
    while (playing) {
      const sf_count_t frames = sf_readf_short(file, samples, frames_per_chunk);
      if (frames <= 0) break;
      playing = pcm.write(samples, static_cast<snd_pcm_uframes_t>(frames));
    }
    if (playing) pcm.finish();
  }
  sf_close(file);
}

}  // namespace qelmar::sound
