// Sound through the Windows multimedia service.
#include <windows.h>

// After windows.h, which it needs.
#include <mmsystem.h>

#include "sound/sound.h"

namespace qelmar::sound {

// Synchronous, with the system's default sound when the file cannot be played.
void play(const char* path) noexcept { sndPlaySoundA(path, 0); }

}  // namespace qelmar::sound
