/* Drives a customer price display on a serial port. */
#ifndef QELMAR_H
#define QELMAR_H

#include <stdint.h>

/* 32-bit Windows hosts call with the system-library convention (callee pops). */
#if defined(_WIN32) && !defined(_WIN64)
#define QELMAR_CALL __stdcall
#else
#define QELMAR_CALL
#endif

#if defined(_WIN32)
#if defined(QELMAR_BUILDING)
#define QELMAR_API
#else
#define QELMAR_API __declspec(dllimport)
#endif
#else
#define QELMAR_API __attribute__((visibility("default")))
#endif

/* No C++ exception ever leaves the library. */
#ifdef __cplusplus
#define QELMAR_NOEXCEPT noexcept
#else
#define QELMAR_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Sends one command to the display on port `port`. Returns 1 for an empty (or
   null) command, otherwise 2 or 750630. */
QELMAR_API int32_t QELMAR_CALL tavdll(int32_t port, const char *command) QELMAR_NOEXCEPT;

/* Sends the three bytes 0x12, first & 0xFF, second & 0xFF. Returns 0. */
QELMAR_API int32_t QELMAR_CALL tavrc(int32_t port, int32_t first, int32_t second) QELMAR_NOEXCEPT;

/* Plays a sound file and returns 0 once it has finished. The first argument is
   not used. */
QELMAR_API int32_t QELMAR_CALL tavadd(int32_t unused, const char *path) QELMAR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
