/* SPDX-License-Identifier: MIT */
/**
 * @file qelmar.h
 * Drives a customer price display on a serial port.
 *
 * The library has three functions. Each call is complete in itself: it opens
 * what it needs, does its work and releases everything before it returns. There
 * is nothing to initialise or shut down, and no state carries from one call to
 * the next.
 *
 * @section line The line
 * Frames are written at 2400 baud, 8 data bits, no parity, one stop bit, raw,
 * with no flow control and DTR and RTS inactive. The port is opened and closed
 * within each call, and held (with `flock` on Linux) while the call lasts;
 * nothing of it outlives the process, however the process ends. Nothing is
 * ever read back from the display.
 *
 * On Windows port N is the device `\\.\COMN`. On Linux it is
 * `$QELMAR_DEVICE_DIR/comN` when that variable is set and not empty, else
 * `/dev/comN` when it exists, else `/dev/ttyS<N-1>` unless that is a system
 * console (then nothing).
 *
 * @section failures Failures
 * Failures are not reported. A port that is missing, held by another program
 * past the wait below, or that cannot be configured makes a call send nothing,
 * and the call still returns its usual result. No C++ exception ever leaves the
 * library, and no call allocates memory to send a frame.
 *
 * @section threads Threads and processes
 * Any thread of any process may call at any time. Calls on the same port
 * number, from this process or another, take turns in about the order they
 * came: each frame goes out whole and none is lost on a working line, and a
 * caller calling back to back starves nobody. Calls on different ports do not
 * wait for each other. A process may fork while another of its threads is inside a
 * call; the child may call too.
 *
 * @section unloading Unloading
 * From its first call on, the library stays loaded until the process ends:
 * `dlclose` or `FreeLibrary` after that leaves it in place (a later load
 * finds it), so a host that unloads it while another thread is inside a call,
 * or while a sound plays on past its call, does not crash. Unloading before
 * any call unloads it.
 *
 * @section timing Timing
 * A call blocks the calling thread. It waits at most about 0.85 s for another
 * call or another program to let go of the port, then gives up. Writing a frame
 * takes the frame's time on the line (4.17 ms a byte) and at most 8 ms a byte;
 * what a stuck line has not taken by then is discarded, and calls that were
 * queued behind it give up at once. The F key adds a 100 ms pause.
 */
#ifndef QELMAR_H
#define QELMAR_H

#include <stdint.h>

/** The calling convention: 32-bit Windows hosts call with the system
 * library's (stdcall, the callee pops); elsewhere the platform's C one. */
#if defined(_WIN32) && !defined(_WIN64)
#define QELMAR_CALL __stdcall
#else
#define QELMAR_CALL
#endif

/** Marks the library's exports (imported from the DLL on Windows). */
#if defined(_WIN32)
#if defined(QELMAR_BUILDING)
#define QELMAR_API
#else
#define QELMAR_API __declspec(dllimport)
#endif
#else
#define QELMAR_API __attribute__((visibility("default")))
#endif

/** No C++ exception ever leaves the library: `noexcept` for C++ hosts. */
#ifdef __cplusplus
#define QELMAR_NOEXCEPT noexcept
#else
#define QELMAR_NOEXCEPT
#endif

/** @name Result codes of tavdll()
 * The result depends on the text alone, never on whether the frame arrived.
 * @{ */
/** The text was empty or a null pointer: the port was not opened. */
#define QELMAR_RESULT_EMPTY 1
/** Any other text that is not one of the cases below. */
#define QELMAR_RESULT_DONE 2
/** The text was exactly two characters long (leading spaces included), or its
 * first character after leading spaces was the F key (`F` or `f`). */
#define QELMAR_RESULT_TWO_CHARACTERS 750630
/** @} */

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Sends one command to the display.
 *
 * The first character after leading spaces picks the kind: a digit a number
 * (`12.5H`), a letter a key (`D`, `F`) or a letter's code, `$ * ! % ^ @` a
 * control frame, `#` a text between two `#` marks (GB2312, double-byte). Any
 * other first character sends nothing. A command that cannot be sent whole (a
 * missing closing mark, or longer than a frame holds) is dropped.
 *
 * @param port    the port number (see @ref line)
 * @param command the command text, NUL-terminated; NULL counts as empty
 * @return QELMAR_RESULT_EMPTY, QELMAR_RESULT_DONE or QELMAR_RESULT_TWO_CHARACTERS,
 *         whether or not the frame arrived
 */
QELMAR_API int32_t QELMAR_CALL tavdll(int32_t port, const char *command) QELMAR_NOEXCEPT;

/**
 * Sends the three bytes 0x12, first & 0xFF, second & 0xFF.
 *
 * @param port   the port number (see @ref line)
 * @param first  the first parameter byte; only its low 8 bits are sent
 * @param second the second parameter byte; only its low 8 bits are sent
 * @return 0, whether or not the frame arrived
 */
QELMAR_API int32_t QELMAR_CALL tavrc(int32_t port, int32_t first, int32_t second) QELMAR_NOEXCEPT;

/**
 * Plays a sound file and returns once it has finished. The serial port is not
 * touched.
 *
 * A file that cannot be played gives a short default alert instead. On Linux a
 * NULL path plays nothing, only regular files are read, and the call returns at
 * most 2 s after the sound's length even when the sound server stops taking
 * samples. A process plays one sound at a time: a later call waits for the
 * sound in progress within that same bound, and while the sound server holds an
 * earlier sound past its call, later calls play nothing and return at once. On
 * Windows the path goes to the system's sound service unchanged.
 *
 * @param unused not looked at
 * @param path   the sound file's path, NUL-terminated
 * @return 0
 */
QELMAR_API int32_t QELMAR_CALL tavadd(int32_t unused, const char *path) QELMAR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
