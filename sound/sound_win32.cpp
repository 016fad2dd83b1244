// SPDX-License-Identifier: MIT
// Sound through the Windows multimedia service.
#include <windows.h>

// After windows.h, which it needs.
#include <mmsystem.h>

#include "sound/sound.h"

namespace qelmar::sound {

namespace {

// Why the service could not play the file, found before it is asked: it says
// only whether something played, and plays the default sound in its place.
// Whether the file is a sound it can decode is the service's own to know.
const char* file_fault(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
        return "no such file";
      case ERROR_ACCESS_DENIED:
        return "the file may not be read (permission denied)";
      default:
        return "the file cannot be opened";
    }
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "not a regular file";
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_ACCESS_DENIED ? "the file may not be read (permission denied)"
                                                 : "the file cannot be opened";
  }
  CloseHandle(file);
  return "";
}

}  // namespace

// Synchronous, with the system's default sound when the file cannot be played.
void play(const char* path, SoundStatus* status) noexcept {
  if (status != nullptr) {
    status->device = "the Windows sound service";
    if (path != nullptr) status->fallback = file_fault(path);
  }
  // A null path too: the service then stops what it plays, and plays nothing.
  const BOOL played = sndPlaySoundA(path, 0);
  if (status == nullptr) return;
  if (path == nullptr) {
    status->ending = "nothing played: no file named";
    return;
  }
  status->ending = played ? "played" : "not played";
}

}  // namespace qelmar::sound
