/* SPDX-License-Identifier: MIT */
/* The host records' layout, compiled (never run) by each compiler under each
   packing a host may use: -DPACK=1, 4 or 8 for #pragma pack, none for the
   compiler's own. A host's packing applies to the header it includes, so the
   same sizes and offsets must come out under all of them; any other would
   misread the records the library fills. Compiled with -std=c89 -pedantic, it
   checks instead that the public headers are plain C89. */
#if defined(PACK) && PACK == 1
#pragma pack(1)
#elif defined(PACK) && PACK == 4
#pragma pack(4)
#elif defined(PACK) && PACK == 8
#pragma pack(8)
#endif

#include <stddef.h>

#include "qelmar.h"
#include "qelmar/host.h"

#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define AT(record, field, offset) \
  _Static_assert(offsetof(record, field) == (offset), #record "." #field " at " #offset)

_Static_assert(sizeof(qelmar_outcome) == 4, "an outcome takes 4 bytes");
_Static_assert(sizeof(qelmar_route) == 4, "a route takes 4 bytes");

_Static_assert(sizeof(qelmar_status) == 2464, "qelmar_status is 2464 bytes");
_Static_assert(sizeof(qelmar_status) == QELMAR_STATUS_V1_SIZE, "the first version's status");
AT(qelmar_status, size, 0);
AT(qelmar_status, outcome, 4);
AT(qelmar_status, call, 8);
AT(qelmar_status, result, 16);
AT(qelmar_status, port, 20);
AT(qelmar_status, tried_count, 24);
AT(qelmar_status, tried, 28);
AT(qelmar_status, group, 2076);
AT(qelmar_status, padding1, 2140);
AT(qelmar_status, holder, 2144);
AT(qelmar_status, reason, 2152);
AT(qelmar_status, frame_bytes, 2312);
AT(qelmar_status, sent_bytes, 2316);
AT(qelmar_status, milliseconds, 2320);
AT(qelmar_status, sound_format, 2328);
AT(qelmar_status, sound_seconds, 2392);
AT(qelmar_status, sound_device, 2400);

_Static_assert(sizeof(qelmar_port_info) == 5536, "qelmar_port_info is 5536 bytes");
_Static_assert(QELMAR_PORT_INFO_V1_SIZE == 2728, "the first version's port record");
AT(qelmar_port_info, size, 0);
AT(qelmar_port_info, path, 4);
AT(qelmar_port_info, kind, 1028);
AT(qelmar_port_info, driver, 1060);
AT(qelmar_port_info, vendor_id, 1124);
AT(qelmar_port_info, product_id, 1132);
AT(qelmar_port_info, manufacturer, 1140);
AT(qelmar_port_info, product, 1268);
AT(qelmar_port_info, serial, 1396);
AT(qelmar_port_info, by_id, 1524);
AT(qelmar_port_info, port_count, 2548);
AT(qelmar_port_info, ports, 2552);
AT(qelmar_port_info, accessible, 2584);
AT(qelmar_port_info, group, 2588);
AT(qelmar_port_info, holder_count, 2652);
AT(qelmar_port_info, holders, 2656);
AT(qelmar_port_info, console, 2720);
AT(qelmar_port_info, padding1, 2724);
/* Appended since: the first version's fields stay where they were. */
AT(qelmar_port_info, holder_how, 2728);
AT(qelmar_port_info, holder_names, 2760);
AT(qelmar_port_info, unseen_processes, 2888);
AT(qelmar_port_info, mode, 2892);
AT(qelmar_port_info, owner, 2896);
AT(qelmar_port_info, running, 2960);
AT(qelmar_port_info, master_count, 2964);
AT(qelmar_port_info, masters, 2968);
AT(qelmar_port_info, master_names, 3032);
AT(qelmar_port_info, consoles_unread, 3160);
AT(qelmar_port_info, by_path_count, 3224);
AT(qelmar_port_info, by_path, 3228);
AT(qelmar_port_info, padding2, 5532);
#endif

/* The init macros as a C89 host writes them. */
int records_set_up(void);
int records_set_up(void) {
  qelmar_status status;
  qelmar_port_info ports[2];
  QELMAR_STATUS_INIT(status);
  QELMAR_PORT_INFO_INIT(ports[0]);
  return (int)(status.size + ports[0].size);
}
