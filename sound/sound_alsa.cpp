// Sound through ALSA's default PCM (which reaches PulseAudio or PipeWire where
// they run), files decoded by libsndfile.
#include <alsa/asoundlib.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "sound/sound.h"

namespace qelmar::sound {
namespace {

constexpr unsigned latency_us = 100000;

class Pcm {
 public:
  Pcm(unsigned channels, unsigned rate) {
    // Opened non-blocking so that a busy device cannot hold the call.
    if (snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
      pcm_ = nullptr;
      return;
    }
    if (snd_pcm_nonblock(pcm_, 0) < 0 ||
        snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate,
                           1, latency_us) < 0) {
      snd_pcm_close(pcm_);
      pcm_ = nullptr;
    }
    channels_ = channels;
  }
  ~Pcm() {
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
  }
  Pcm(const Pcm&) = delete;
  Pcm& operator=(const Pcm&) = delete;

  bool ok() const { return pcm_ != nullptr; }

  bool write(const std::int16_t* samples, snd_pcm_uframes_t frames) {
    while (frames > 0) {
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, frames);
      if (n < 0) {
        if (snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0) return false;
        continue;
      }
      samples += static_cast<std::size_t>(n) * channels_;
      frames -= static_cast<snd_pcm_uframes_t>(n);
    }
    return true;
  }

  // Returns once the last sample has been played.
  void drain() { snd_pcm_drain(pcm_); }

 private:
  snd_pcm_t* pcm_ = nullptr;
  unsigned channels_ = 1;
};

// The default alert: two short 880 Hz beeps.
void play_alert() {
  constexpr unsigned rate = 44100;
  constexpr unsigned beep = rate / 8;
  constexpr unsigned gap = rate / 16;
  std::vector<std::int16_t> samples(2 * beep + gap, 0);
  for (unsigned i = 0; i < beep; ++i) {
    const double fade = std::min(1.0, std::min(i, beep - i) / 200.0);
    const auto s = static_cast<std::int16_t>(12000.0 * fade *
                                             std::sin(2.0 * std::numbers::pi * 880.0 * i / rate));
    samples[i] = s;
    samples[beep + gap + i] = s;
  }
  Pcm pcm(1, rate);
  if (!pcm.ok()) return;
  if (pcm.write(samples.data(), samples.size())) pcm.drain();
}

}  // namespace

void play(const char* path) noexcept {
  if (path == nullptr) return;

  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (file == nullptr || info.channels <= 0 || info.samplerate <= 0) {
    if (file != nullptr) sf_close(file);
    play_alert();
    return;
  }

  const auto channels = static_cast<unsigned>(info.channels);
  Pcm pcm(channels, static_cast<unsigned>(info.samplerate));
  if (pcm.ok()) {
    constexpr sf_count_t chunk = 4096;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(chunk) * channels);
    bool playing = true;
    while (playing) {
      const sf_count_t frames = sf_readf_short(file, samples.data(), chunk);
      if (frames <= 0) break;
      playing = pcm.write(samples.data(), static_cast<snd_pcm_uframes_t>(frames));
    }
    if (playing) pcm.drain();
  }
  sf_close(file);
}

}  // namespace qelmar::sound
