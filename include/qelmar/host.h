/* SPDX-License-Identifier: MIT */
/**
 * @file qelmar/host.h
 * The display's calls with what became of each: for hosts that want to know.
 *
 * This is the second face of the library, in a library of its own
 * (`libqelmar-host.so.1` on Linux, `qelmar-host.dll` on Windows), beside the
 * three legacy functions of qelmar.h, which stay as they are. Both run the same
 * code: the same frames on the line, the same turns on a port, the same
 * results (for the port numbers hosts use, #QELMAR_PORT_MIN to
 * #QELMAR_PORT_MAX). What this face adds:
 *
 * - each call fills a #qelmar_status: the outcome, the device paths tried, the
 *   bytes in the frame and the bytes sent, the time taken, and for a failure
 *   what the system can tell (the owning group, the holding process, the
 *   encoder's reason); qelmar_describe() puts it in words;
 * - qelmar_list_ports() lists the serial devices, never opening one;
 * - qelmar_set_log_hook() hands each call's log line to the host;
 * - the version, as qelmar_version() and as the macros of qelmar/version.h.
 *
 * @section host_contract The contract
 * - Any thread of any process may call at any time; calls on a port take turns
 *   with every call of either face, in this process or another (see qelmar.h).
 * - No C++ exception ever leaves the library.
 * - The records are filled in place: sending, describing and the log hook
 *   allocate nothing. Listing ports may allocate while it reads the system,
 *   and frees it before it returns.
 * - A status passed as NULL is allowed: the call then behaves as its legacy
 *   twin. A status is written only by the call it is given to.
 * - From its first call on (any function of this header), the library stays
 *   loaded until the process ends, as qelmar.h says of its own: unloading it
 *   while another thread is inside a call does not crash, and the texts that
 *   qelmar_version() and qelmar_outcome_name() return stay valid.
 *
 * @section host_records Records that grow
 * Each record starts with its `size`, which the host sets to the size of the
 * record it was built with (QELMAR_STATUS_INIT(), QELMAR_PORT_INFO_INIT()).
 * Later versions only ever append fields, so that:
 * - the library writes nothing past `size`: a host built against an older
 *   header gets the fields it knows, filled; one built against a newer header
 *   than the library's gets the fields the library knows, and the rest keep
 *   what the host put there (zeros, from the init macros);
 * - a `size` below the first version's record (QELMAR_STATUS_V1_SIZE,
 *   QELMAR_PORT_INFO_V1_SIZE), or above QELMAR_RECORD_SIZE_MAX (a record that
 *   was never set up), is refused: nothing is written. A send, rc or play
 *   still does its work and returns its legacy result, as with a NULL status;
 *   qelmar_describe() describes it as an unfilled record; qelmar_list_ports()
 *   returns -1.
 *
 * Every field sits at a multiple of its own size, with the padding written
 * out, so the layout is the same under any packing (`#pragma pack`, `/Zp`, a
 * VB6 or Delphi record) and on every compiler: `int64_t` and `double` at
 * multiples of 8, and each record's size a multiple of 8.
 *
 * @section host_versions Versions
 * The major version is the ABI's: it is in the library's file name
 * (`libqelmar-host.so.1`) and changes only when a host built against the
 * previous header could misread the library (a record's layout, a function's
 * arguments or meaning). The minor version changes when calls, outcomes or
 * fields are added; the patch version for fixes alone. Each export carries the
 * symbol version of the release that added it (`QELMAR_HOST_1.0`,
 * `QELMAR_HOST_1.1`).
 */
#ifndef QELMAR_HOST_H
#define QELMAR_HOST_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "qelmar.h"
#include "qelmar/outcomes.h"
#include "qelmar/version.h"

/** Marks the host library's exports (imported from the DLL on Windows). */
#if defined(_WIN32)
#if defined(QELMAR_BUILDING)
#define QELMAR_HOST_API
#else
#define QELMAR_HOST_API __declspec(dllimport)
#endif
#else
#define QELMAR_HOST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** @cond internal */
#define QELMAR_OUTCOME_CONSTANT_(constant, value, name, words) QELMAR_##constant = value
#define QELMAR_OUTCOME_COMMA_ ,
/** @endcond */

/** What became of a call: one value for each entry of #QELMAR_OUTCOMES
 * (qelmar/outcomes.h), which says what each means. */
typedef enum qelmar_outcome {
  QELMAR_OUTCOMES(QELMAR_OUTCOME_CONSTANT_, QELMAR_OUTCOME_COMMA_)
} qelmar_outcome;

/** The longest device path a record holds, its NUL included. */
#define QELMAR_PATH_SIZE 1024

/** The lowest port number: port N is the device hosts call COMN. */
#define QELMAR_PORT_MIN 1

/**
 * The highest port number. A call of this header given a port outside
 * #QELMAR_PORT_MIN to #QELMAR_PORT_MAX opens nothing: it ends as
 * `QELMAR_NOT_FOUND` with a `reason` saying so (unless the text alone already
 * sends nothing), and qelmar_resolve_port() answers #QELMAR_ROUTE_NONE. The
 * legacy functions of qelmar.h try any number, as they always have.
 */
#define QELMAR_PORT_MAX 255

/** What became of one call. */
typedef struct qelmar_status {
  /** Set by the host: the size of the record it was built with. */
  uint32_t size;
  /** What became of the call; 4 bytes, as every compiler lays an enum out. */
  qelmar_outcome outcome;
  /** The call that filled it: "send", "rc" or "play". */
  char call[8];
  /** The legacy result: what tavdll(), tavrc() or tavadd() would return. */
  int32_t result;
  /** The port number the call was given (0 for a sound). */
  int32_t port;
  /** How many device paths were tried. */
  int32_t tried_count;
  /** Device paths tried, in order. */
  char tried[2][QELMAR_PATH_SIZE];
  /** For QELMAR_NO_PERMISSION: the group that owns the device. */
  char group[64];
  /** Zero: keeps `holder` at a multiple of 8. */
  uint32_t padding1;
  /** For QELMAR_BUSY: the holding process, where the system can tell; else 0. */
  int64_t holder;
  /** The encoder's reason for QELMAR_DROPPED, a sound's reason for
   * QELMAR_ALERT_INSTEAD, QELMAR_NOT_PLAYED, QELMAR_BAD_FILE or QELMAR_STUCK,
   * or more on QELMAR_NOT_FOUND. */
  char reason[160];
  /** Bytes in the frame. */
  uint32_t frame_bytes;
  /** Bytes that left. */
  uint32_t sent_bytes;
  /** The call's time. */
  double milliseconds;
  /** A sound: its format as read. */
  char sound_format[64];
  /** A sound: its length as read. */
  double sound_seconds;
  /** A sound: the output device. */
  char sound_device[64];
} qelmar_status;

/** The size of the first version's status, the least a call takes. */
#define QELMAR_STATUS_V1_SIZE 2464

/** The largest `size` a record may claim: more is a record never set up. */
#define QELMAR_RECORD_SIZE_MAX 65536

/** Zeroes a status (an lvalue, not a pointer) and sets its size. */
#define QELMAR_STATUS_INIT(record) \
  (memset(&(record), 0, sizeof(qelmar_status)), (record).size = (uint32_t)sizeof(qelmar_status))

/**
 * A send's bound, in milliseconds from the call's start: the wait for the
 * port, the frame and the F key's pause all fit in it. A frame goes out
 * within it or not at all (the call then says why). A host that must not
 * show a price later than a moment of its own hands the call over at least
 * this long before that moment.
 */
#define QELMAR_CALL_BOUND_MS 848

/**
 * The port numbers the calls of this header take, for hosts that learn them
 * from the library they loaded rather than the header they were built with.
 * @param lowest   gets #QELMAR_PORT_MIN, when not NULL
 * @param highest  gets #QELMAR_PORT_MAX, when not NULL
 */
QELMAR_HOST_API void QELMAR_CALL qelmar_port_range(int32_t *lowest,
                                                   int32_t *highest) QELMAR_NOEXCEPT;

/**
 * Sends one command, as tavdll() does, and tells what became of it.
 * @return tavdll()'s result, which depends on the text alone
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_send(int32_t port, const char *command,
                                                qelmar_status *status) QELMAR_NOEXCEPT;

/**
 * Sends the frame 0x12, first & 0xFF, second & 0xFF, as tavrc() does.
 * @return 0
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_send_rc(int32_t port, int32_t first, int32_t second,
                                                   qelmar_status *status) QELMAR_NOEXCEPT;

/** The most texts qelmar_send_many() sends in one turn. */
#define QELMAR_MANY_MAX 64

/**
 * Sends several commands as one turn on the port: no frame of another call, of
 * this process or another, of either face, comes between their frames. Each
 * text is encoded as qelmar_send() encodes it (a NULL text is empty) and its
 * frame written in order, with the pause after the F key. Taking the port is
 * bounded as for one call; each frame is then bounded from when it begins as
 * one call's frame is. The first frame that does not go out whole ends the
 * batch: the frames after it are not tried (`QELMAR_BEHIND_HELD_UP`). When no
 * text selects a frame the port is not opened. Other calls on the port wait
 * for the whole batch, and give up as busy when it outlasts their wait.
 * @param port      the port number
 * @param commands  `count` texts (NULL: all empty)
 * @param count     0 to #QELMAR_MANY_MAX; 0 sends nothing
 * @param statuses  NULL, or `count` records: each gets what became of its
 *                  text (`call` is "batch", `result` tavdll()'s result); they
 *                  lie as far apart as the first one's `size` says, as for
 *                  qelmar_list_ports()
 * @return how many frames went out whole; -1, with nothing opened or
 *         written, when `count` is below 0 or above #QELMAR_MANY_MAX
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_send_many(int32_t port, const char *const *commands,
                                                     int32_t count,
                                                     qelmar_status *statuses) QELMAR_NOEXCEPT;

/**
 * Sends bytes as they are, as one frame, for what the command texts cannot
 * say; the turn and the bounds are qelmar_send()'s, and the F key's frame
 * alone is followed by its pause. A `length` of 0 or over 81 (the longest
 * frame), or NULL `bytes`, is `QELMAR_DROPPED` with a reason, and the port is
 * not opened. `status->call` is "frame", `status->result` the return value.
 * @param port    the port number
 * @param bytes   the frame
 * @param length  its bytes, 1 to 81
 * @param status  NULL, or the record that gets what became of the frame
 * @return the bytes that left: `length` when the frame went out whole
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_send_frame(int32_t port, const uint8_t *bytes,
                                                      size_t length,
                                                      qelmar_status *status) QELMAR_NOEXCEPT;

/**
 * Plays a sound file, as tavadd() does; `status->port` is 0. The file is
 * looked at first, so that its fault is told even where nothing can play.
 * The outcome is one of:
 * - `QELMAR_DELIVERED`: the file played to its end;
 * - `QELMAR_ALERT_INSTEAD`: the file cannot be played, the default alert
 *   played in its place; `reason` says what is wrong with the file;
 * - `QELMAR_BAD_FILE`: the file cannot be played, nor the alert;
 * - `QELMAR_NOT_PLAYED`: the file is fine (or NULL), but nothing could play;
 * - `QELMAR_STUCK`: the sound device stopped taking the sound, and the call
 *   gave up at the sound's length plus 2 s.
 * @param path    the sound file (NULL plays nothing)
 * @param status  NULL, or the record that gets what became of the sound
 * @return 0
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_play(const char *path,
                                                qelmar_status *status) QELMAR_NOEXCEPT;

/**
 * The outcome in words, without a newline, as the `qelmar` tool and the bridge
 * say it: "delivered 6 bytes in 25.0 ms", "not sent: busy (held by process
 * 812)". Writes at most `size` bytes, the NUL included.
 * @return the length of the whole text (which may exceed what fit)
 */
QELMAR_HOST_API size_t QELMAR_CALL qelmar_describe(const qelmar_status *status, char *buffer,
                                                   size_t size) QELMAR_NOEXCEPT;

/** The outcome's short name: "delivered", "busy", "not_found", ... */
QELMAR_HOST_API const char *QELMAR_CALL qelmar_outcome_name(qelmar_outcome outcome) QELMAR_NOEXCEPT;

/**
 * Receives each call's log line (without its newline) on the calling thread,
 * while the call is still in progress: it must not call back into the library.
 */
typedef void(QELMAR_CALL *qelmar_log_hook)(const char *line, void *user);

/**
 * Sets the function that receives each call's log line instead of the sink
 * that `QELMAR_LOG` names, for the calls of this face; NULL goes back to
 * `QELMAR_LOG`. Takes effect for calls that start after it returns. A hook
 * that is replaced may still be running for calls already in progress: its
 * function and `user` must stay valid until those calls have returned.
 */
QELMAR_HOST_API void QELMAR_CALL qelmar_set_log_hook(qelmar_log_hook hook,
                                                     void *user) QELMAR_NOEXCEPT;

/**
 * Encodes a command as qelmar_send() would send it, sending nothing.
 * @param command     the command text, NUL-terminated; NULL counts as empty
 * @param frame       where to put the frame's bytes (at most 81), or NULL
 * @param size        the room at `frame`
 * @param result      gets tavdll()'s result for the text, when not NULL
 * @param reason      gets why a command that selected a frame is not sent
 *                    (empty otherwise), when not NULL
 * @param reason_size the room at `reason`, its NUL included
 * @return the frame's length, or -1 when the text sends nothing
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_encode(const char *command, uint8_t *frame, size_t size,
                                                  int32_t *result, char *reason,
                                                  size_t reason_size) QELMAR_NOEXCEPT;

/** The library's version, "MAJOR.MINOR.PATCH". */
QELMAR_HOST_API const char *QELMAR_CALL qelmar_version(void) QELMAR_NOEXCEPT;

/** The most port numbers, links and holders a port record holds. */
#define QELMAR_PORT_LIST_SIZE 8

/** The longest link path a port record holds, its NUL included. */
#define QELMAR_LINK_SIZE 288

/** One serial device, as the system describes it. Texts the system does not
 * give are empty. */
typedef struct qelmar_port_info {
  /** Set by the host: the size of the record it was built with. */
  uint32_t size;
  /** /dev/ttyUSB0; on Windows `\\.\COM3`. */
  char path[QELMAR_PATH_SIZE];
  /** "USB", "native UART", "pseudo-terminal" or "other". */
  char kind[32];
  /** The kernel driver (ftdi_sio, serial8250); on Windows the service. */
  char driver[64];
  /** USB only: the vendor's id in hex. */
  char vendor_id[8];
  /** USB only: the product's id in hex. */
  char product_id[8];
  /** USB only: the vendor's name. */
  char manufacturer[128];
  /** USB only: the product's name. */
  char product[128];
  /** USB only: the device's serial number. */
  char serial[128];
  /** The first link in /dev/serial/by-id; on Windows the friendly name. */
  char by_id[QELMAR_PATH_SIZE];
  /** How many port numbers resolve to it now. */
  int32_t port_count;
  /** The first of them. */
  int32_t ports[QELMAR_PORT_LIST_SIZE];
  /** Whether this user may open it for writing. */
  int32_t accessible;
  /** The group that owns it. */
  char group[64];
  /** How many other processes have it open. */
  int32_t holder_count;
  /** The first of them. */
  int64_t holders[QELMAR_PORT_LIST_SIZE];
  /** The system lists it as a console: no port number falls back to it. */
  int32_t console;
  /** Zero: makes the size a multiple of 8. */
  uint32_t padding1;
  /* The first version's record ends here: what follows was appended. On
   * Windows the fields below stay zero and empty. */
  /** How each of the first `holders` was found: QELMAR_HOLDER_OPEN,
   * QELMAR_HOLDER_LOCKED or both. */
  uint32_t holder_how[QELMAR_PORT_LIST_SIZE];
  /** The name each of the first `holders` runs under, as the system gives it
   * (at most 15 bytes); empty when it cannot be told. */
  char holder_names[QELMAR_PORT_LIST_SIZE][16];
  /** How many processes' open files this user may not read (other users',
   * to one who is not root): `holders` may lack those that only have it open.
   * Locks show whoever holds them. 0 when every process could be seen. */
  int32_t unseen_processes;
  /** Its permission bits: 0660, 0600, ... */
  uint32_t mode;
  /** The user that owns it. */
  char owner[64];
  /** Programs running on this machine that probe or claim serial devices:
   * QELMAR_RUNNING_MODEM_MANAGER, QELMAR_RUNNING_BRLTTY. */
  uint32_t running;
  /** A pseudo-terminal: how many processes hold its other side, which keeps
   * it (and its exclusive mode) alive. */
  int32_t master_count;
  /** The first of them. */
  int64_t masters[QELMAR_PORT_LIST_SIZE];
  /** Their names, as for `holder_names`. */
  char master_names[QELMAR_PORT_LIST_SIZE][16];
  /** Why the system's list of consoles could not be read ("No such file or
   * directory", "not a regular file"), so that `console` is 0 for want of
   * knowing; empty when it was read. The same for every device. */
  char consoles_unread[64];
  /** How many links in /dev/serial/by-path lead to it. */
  int32_t by_path_count;
  /** The first of them, whole paths. */
  char by_path[QELMAR_PORT_LIST_SIZE][QELMAR_LINK_SIZE];
  /** Zero: makes the size a multiple of 8. */
  uint32_t padding2;
} qelmar_port_info;

/** The size of the first version's port record, the least a listing takes. */
#define QELMAR_PORT_INFO_V1_SIZE 2728

/** A holder has the device open: its open files show it. */
#define QELMAR_HOLDER_OPEN 1u
/** A holder holds a lock on the device (flock, fcntl, lockf), which keeps the
 * calls out: shown even where its open files cannot be read. */
#define QELMAR_HOLDER_LOCKED 2u

/** ModemManager is running: it probes serial devices as they appear. */
#define QELMAR_RUNNING_MODEM_MANAGER 1u
/** brltty is running: it claims some USB serial adapters as braille displays. */
#define QELMAR_RUNNING_BRLTTY 2u

/** Zeroes a port record (an lvalue, not a pointer) and sets its size. */
#define QELMAR_PORT_INFO_INIT(record)              \
  (memset(&(record), 0, sizeof(qelmar_port_info)), \
   (record).size = (uint32_t)sizeof(qelmar_port_info))

/**
 * Lists the serial devices, never opening one.
 * @param root     "/" or NULL for this machine; a folder laid out like one
 *                 (dev, sys, proc) for tests. Ignored on Windows.
 * @param ports    where to put up to `capacity` records (may be NULL when
 *                 `capacity` is 0). The first record's `size` (see
 *                 QELMAR_PORT_INFO_INIT()) is the distance from one record
 *                 to the next, which is what a host's array of its own
 *                 records has; the other records' `size` is not read, and
 *                 each gets the first one's.
 * @param capacity how many records there is room for
 * @return how many devices there are, which may exceed `capacity`; -1 when
 *         the system cannot be read, or when `capacity` is above 0 and the
 *         first record's `size` is refused (nothing is written then)
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_list_ports(const char *root, qelmar_port_info *ports,
                                                      int32_t capacity) QELMAR_NOEXCEPT;

/** How a port number leads to a device. */
typedef enum qelmar_route {
  /** Nothing to try: a port outside #QELMAR_PORT_MIN to #QELMAR_PORT_MAX, or
   * a device folder too long to name a device in. */
  QELMAR_ROUTE_NONE = 0,
  /** `$QELMAR_DEVICE_DIR/comN`. */
  QELMAR_ROUTE_DEVICE_DIR = 1,
  /** `/dev/comN`, a udev alias. */
  QELMAR_ROUTE_ALIAS = 2,
  /** `/dev/ttyS<N-1>`. */
  QELMAR_ROUTE_FALLBACK = 3,
  /** `/dev/ttyS<N-1>` is a system console, which is never written: the port
   * reaches no device. */
  QELMAR_ROUTE_CONSOLE_SKIPPED = 4,
  /** Windows: `\\.\COMN`. */
  QELMAR_ROUTE_COM = 5
} qelmar_route;

/**
 * Where a call on `port` would go now, found by the same rule the calls use,
 * without opening anything.
 * @param root  as for qelmar_list_ports()
 * @param port    the port number
 * @param path    gets the device path (for QELMAR_ROUTE_NONE and
 *                QELMAR_ROUTE_CONSOLE_SKIPPED, the one that is not used): at
 *                most `size` bytes, the NUL included, cut to fit
 * @param size    the room at `path`, its NUL included
 * @param length  gets the whole path's length, which may exceed what fit;
 *                may be NULL
 * @return how the port leads to the device
 */
QELMAR_HOST_API qelmar_route QELMAR_CALL qelmar_resolve_port(const char *root, int32_t port,
                                                             char *path, size_t size,
                                                             size_t *length) QELMAR_NOEXCEPT;

/**
 * In a qelmar_send_many() batch, the longest a frame after the first may take
 * from when it begins: its `bytes` at the slowest pace the line is allowed,
 * and the F key's pause; the first frame's bound is #QELMAR_CALL_BOUND_MS
 * from the call's start. A host with a deadline of its own sends only the
 * texts whose frames' bounds, added up, end before it. Since 1.1.
 */
#define QELMAR_FRAME_BOUND_MS(bytes) ((bytes)*8 + 100)

/** The `failed_at` of a text that converted whole. */
#define QELMAR_NO_FAULT ((size_t)-1)

/**
 * The command as the display takes it: the text between its '#' marks (to the
 * command's end when there is no closing one) turned from `charset` into
 * GB2312, the display's character set; the rest of the command, and a command
 * whose first character after its spaces is not '#', unchanged. What it gives
 * is what qelmar_send(), qelmar_send_many() and qelmar_encode() take. It
 * may allocate while it converts, and frees it before it returns. Since 1.1.
 * @param command    the command text, NUL-terminated; NULL counts as empty
 * @param charset    the character set of the text between the marks, as the
 *                   system names it (iconv's names on Linux, "UTF-8" or
 *                   "CP<page>" on Windows); NULL for UTF-8
 * @param text       gets the command as the display takes it: at most `size`
 *                   bytes, the NUL included, cut to fit; empty unless the
 *                   outcome is `QELMAR_DELIVERED`. May be NULL when `size` is 0.
 * @param size       the room at `text`, its NUL included
 * @param length     gets the whole converted command's length, without its
 *                   NUL, which may exceed what fit (0 unless
 *                   `QELMAR_DELIVERED`); may be NULL
 * @param failed_at  gets, for `QELMAR_DROPPED`, the byte offset in `command`
 *                   of the first character that GB2312 lacks or that is not
 *                   well formed in `charset`; otherwise #QELMAR_NO_FAULT. May
 *                   be NULL.
 * @return `QELMAR_DELIVERED` when the command converted whole (an empty one,
 *         or one without '#', included); `QELMAR_DROPPED` when a character
 *         could not be converted, as the encoder drops what it cannot send;
 *         `QELMAR_NOT_CONFIGURED` when the system has no conversion from
 *         `charset`, so that none could be set up
 */
QELMAR_HOST_API qelmar_outcome QELMAR_CALL qelmar_display_text(const char *command,
                                                               const char *charset, char *text,
                                                               size_t size, size_t *length,
                                                               size_t *failed_at) QELMAR_NOEXCEPT;

/**
 * The frame that qelmar_send_rc() writes for `first` and `second`: 0x12,
 * first & 0xFF, second & 0xFF. Since 1.1.
 * @param first   the first parameter byte (its low 8 bits are sent)
 * @param second  the second parameter byte
 * @param frame   gets the bytes that fit in `size`; may be NULL when `size`
 *                is 0
 * @param size    the room at `frame`
 * @return the frame's whole length, 3
 */
QELMAR_HOST_API int32_t QELMAR_CALL qelmar_rc_frame(int32_t first, int32_t second, uint8_t *frame,
                                                    size_t size) QELMAR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
