/* One event of the kernel programs (owners.bpf.c) as it lies in their ring
 * buffer; read by the capture program (OwnerEvents.cpp). C, for both sides. */
#ifndef QUILLET_OWNER_EVENT_H
#define QUILLET_OWNER_EVENT_H

#include <linux/types.h>

enum owner_event_kind {
    OWNER_CREATED = 1, /* a socket made: cookie, process */
    OWNER_USED = 2,    /* connects, sends or receives: another process than the one last told, or a local
                          endpoint not told before (local_port 0: none yet) */
    OWNER_BOUND = 3,   /* bound, or a TCP connection made: local address and port, process */
    OWNER_CLOSED = 5,  /* the socket released; a connected UDP socket with the endpoint it held */
};

struct owner_event {
    __u8 kind;
    __u8 v6;       /* addresses are IPv6 (else IPv4 in the first 4 bytes) */
    __u8 protocol; /* 6 or 17 */
    __u8 has_comm;
    __u32 tgid;    /* 0 for packets: the socket's cookie says whose */
    __u32 uid;
    __u16 local_port; /* host order */
    __u16 pad;
    __u64 cookie;
    __u64 time_ns; /* CLOCK_MONOTONIC */
    __u8 local[16];
    char comm[16];
};

#endif
