/* SPDX-License-Identifier: MIT */
/**
 * @file qelmar/outcomes.h
 * What can become of a call, listed once: the #qelmar_outcome values of
 * qelmar/host.h, their names (qelmar_outcome_name()) and the words that
 * qelmar_describe() begins with are all made from this list.
 */
#ifndef QELMAR_OUTCOMES_H
#define QELMAR_OUTCOMES_H

/**
 * Each outcome as `X(CONSTANT, value, name, words)`, separated by `AND`:
 * `QELMAR_CONSTANT` is its #qelmar_outcome value, `name` what
 * qelmar_outcome_name() returns, `words` what qelmar_describe() says before the
 * call's details. Values never change and never come back; a new outcome is one
 * more line at the end, with the next value.
 *
 * What each means, and which fields of #qelmar_status say more:
 * - UNFILLED: no call filled the record.
 * - DELIVERED: the frame left whole (a sound: it played to its end).
 * - EMPTY: an empty or NULL text; the port was not opened.
 * - NOTHING_TO_SEND: the text selects no frame.
 * - DROPPED: the encoder dropped the command; `reason` says why.
 * - NOT_FOUND: no such device; `reason` may say more (a port number outside
 *   #QELMAR_PORT_MIN to #QELMAR_PORT_MAX, for the calls of qelmar/host.h).
 * - NO_PERMISSION: the device may not be opened; `group` owns it.
 * - BUSY: held by another call or program to the end of the wait; `holder`,
 *   when not 0, is the holding process.
 * - NOT_A_TTY: the device is not a terminal.
 * - NOT_CONFIGURED: the line settings could not be applied.
 * - STUCK: the line did not take the frame by its deadline. A sound: the
 *   sound device stopped taking it, and the call gave up at the sound's length
 *   plus 2 s; sounds after it play nothing until the device lets go.
 * - BEHIND_HELD_UP: queued behind a call that was held up, so not tried.
 * - ALERT_INSTEAD: a sound: the default alert played instead; `reason` says why.
 * - NOT_PLAYED: a sound: nothing could play (no sound device or sound
 *   libraries, no file named, the device still held by a sound that gave up);
 *   `reason` says what.
 * - BAD_FILE: a sound: the file cannot be played (no such file, not readable,
 *   not a regular file, not a sound), and no alert played in its place either;
 *   `reason` says what is wrong with the file, then why no alert played.
 */
/* clang-format off */
#define QELMAR_OUTCOMES(X, AND)                                                            \
  X(UNFILLED, 0, unfilled, "unknown: no call has filled this status")                     \
  AND X(DELIVERED, 1, delivered, "delivered")                                              \
  AND X(EMPTY, 2, empty, "nothing to send: the text is empty, the port was not opened")   \
  AND X(NOTHING_TO_SEND, 3, nothing_to_send, "nothing to send: the text selects no frame") \
  AND X(DROPPED, 4, dropped, "not sent: the command was dropped")                          \
  AND X(NOT_FOUND, 5, not_found, "not sent: no such device")                               \
  AND X(NO_PERMISSION, 6, no_permission, "not sent: permission denied")                    \
  AND X(BUSY, 7, busy, "not sent: busy")                                                   \
  AND X(NOT_A_TTY, 8, not_a_tty, "not sent: not a tty")                                    \
  AND X(NOT_CONFIGURED, 9, not_configured, "not sent: configuring the line failed")        \
  AND X(STUCK, 10, stuck, "not sent: the line was stuck")                                  \
  AND X(BEHIND_HELD_UP, 11, behind_held_up, "not sent: queued behind a call that was held up") \
  AND X(ALERT_INSTEAD, 12, alert_instead, "the default alert instead")                     \
  AND X(NOT_PLAYED, 13, not_played, "not played")                                          \
  AND X(BAD_FILE, 14, bad_file, "not played: the file cannot be played")                   \
  /* the next outcome goes above this line */
/* clang-format on */

#endif
