// SPDX-License-Identifier: MIT
// Sound through the Windows multimedia service.
#include <windows.h>

// After windows.h, which it needs.
#include <mmsystem.h>

#include "sound/sound.h"

namespace qelmar::sound {

// Synchronous, with the system's default sound when the file cannot be played.
void play(const char* path, SoundStatus* status) noexcept {
  // A null path too: the service then stops what it plays, and plays nothing.
  const BOOL played = sndPlaySoundA(path, 0);
  if (status == nullptr) return;
  status->device = "the Windows sound service";
  if (path == nullptr) {
    status->ending = "nothing played: no file named";
    return;
  }
  status->ending = played ? "played" : "not played";
}

}  // namespace qelmar::sound
