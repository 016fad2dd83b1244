// SPDX-License-Identifier: MIT
#pragma once

namespace qelmar::sound {

// What became of one sound, for the diagnostics log and the tool.
struct SoundStatus {
  char format[64] = {};        // as libsndfile names it, with rate and channels
  double seconds = 0;          // the sound's length
  const char* device = "";     // the output device
  const char* fallback = "";   // why the file cannot be played, so the default alert is
                               // tried instead; empty when it can. Told even when
                               // nothing plays at all: it is the fault a user can mend.
  const char* ending = "";     // "played", "no sound device", "given up at the deadline"
  char ending_text[256] = {};  // where `ending` points when it was made for this call
  char alsa_said[512] = {};    // ALSA's messages during the call, "; " between them
};

// Plays the file to the end before it returns. A file that cannot be played
// gives the default alert instead; a null path, or no sound device, plays nothing.
void play(const char* path, SoundStatus* status = nullptr) noexcept;

}  // namespace qelmar::sound
