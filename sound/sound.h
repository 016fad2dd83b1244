#pragma once

namespace qelmar::sound {

// Plays the file to the end before it returns. A file that cannot be played
// gives the default alert instead; a null path, or no sound device, plays nothing.
void play(const char* path) noexcept;

}  // namespace qelmar::sound
