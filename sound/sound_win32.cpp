// Sound through the Windows multimedia service.
#include <windows.h>

// After windows.h, which it needs.
#include <mmsystem.h>

#include "sound/sound.h"

namespace qelmar::sound {

// Synchronous, with the system's default sound when the file cannot be played.
void play(const char* path, SoundStatus* status) noexcept {
  const BOOL played = sndPlaySoundA(path, 0);
  if (status == nullptr) return;
  status->device = "the Windows sound service";
  status->ending = played ? "played" : "not played";
}

}  // namespace qelmar::sound
