/* Who owns the sockets: cgroup programs on the root of the cgroup v2
 * hierarchy, loaded by the capture program. They only watch: every program
 * allows what it sees and changes nothing. None runs per packet: a socket's
 * local endpoint is told when it is bound, when it sends or receives through
 * an address given with the call (the kernel chose its port by then), when a
 * TCP connection picks its port, and, for a connected UDP socket, when it is
 * released. Each socket carries in its own storage what was told about it
 * already, so a steady stream of unconnected datagrams costs one storage
 * look-up and a compare per call, and a connected socket nothing. */
#include <linux/bpf.h>
#include <linux/in.h>
#include <linux/in6.h>
#include <linux/socket.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>

#include "OwnerEvent.h"

#ifndef AF_INET
#define AF_INET 2
#endif
#ifndef AF_INET6
#define AF_INET6 10
#endif

char LICENSE[] SEC("license") = "GPL";

/* Set before loading: the process name may be read here (with the right to
 * read it), else the capture program reads it. The same right lets the
 * release of a connected UDP socket read the endpoint it held. */
const volatile __u8 with_comm = 0;

/* What was told of a socket, in the socket's own storage. */
struct told {
    __u32 tgid;     /* the process last told to use it */
    __u8 protocol;  /* with the local endpoint last told; 0: none yet */
    __u8 v6;
    __u16 local_port;
    __u8 local[16] __attribute__((aligned(4)));
};

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct told);
} told_map SEC(".maps");

/* Events the ring had no room for; written only when one is lost, read by
 * the capture program through the map's memory. */
__u64 lost_events = 0;

static __always_inline struct owner_event *reserve(void)
{
    struct owner_event *e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
    if (!e) {
        __sync_fetch_and_add(&lost_events, 1);
        return 0;
    }
    __builtin_memset(e, 0, sizeof(*e));
    e->time_ns = bpf_ktime_get_ns();
    return e;
}

static __always_inline void fill_process(struct owner_event *e)
{
    e->tgid = bpf_get_current_pid_tgid() >> 32;
    e->uid = (__u32)bpf_get_current_uid_gid();
    if (with_comm) {
        bpf_get_current_comm(e->comm, sizeof(e->comm));
        e->has_comm = 1;
    }
}

static __always_inline int watched(__u32 family, __u32 protocol)
{
    return (family == AF_INET || family == AF_INET6) && (protocol == IPPROTO_TCP || protocol == IPPROTO_UDP);
}

SEC("cgroup/sock_create")
int sock_create(struct bpf_sock *sk)
{
    if (!watched(sk->family, sk->protocol))
        return 1;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_CREATED;
    e->v6 = sk->family == AF_INET6;
    e->protocol = sk->protocol;
    e->cookie = bpf_get_socket_cookie(sk);
    fill_process(e);
    bpf_ringbuf_submit(e, 0);
    return 1;
}

/* Each attach point may read only its own family's address. */
static __always_inline int bound(struct bpf_sock *sk, const int v6)
{
    if (!watched(sk->family, sk->protocol))
        return 1;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_BOUND;
    e->v6 = v6;
    e->protocol = sk->protocol;
    e->cookie = bpf_get_socket_cookie(sk);
    e->local_port = sk->src_port;
    if (v6) {
        __u32 *l = (__u32 *)e->local;
        l[0] = sk->src_ip6[0];
        l[1] = sk->src_ip6[1];
        l[2] = sk->src_ip6[2];
        l[3] = sk->src_ip6[3];
    } else {
        *(__u32 *)e->local = sk->src_ip4;
    }
    fill_process(e);
    bpf_ringbuf_submit(e, 0);
    return 1;
}

SEC("cgroup/post_bind4")
int post_bind4(struct bpf_sock *sk) { return bound(sk, 0); }

SEC("cgroup/post_bind6")
int post_bind6(struct bpf_sock *sk) { return bound(sk, 1); }

/* The local endpoint in a socket's storage and in an event: told when it
 * differs from the one told last for the socket. */
static __always_inline int endpoint_is_new(struct told *t, __u8 protocol, __u8 v6, __u16 port, const __u32 *local)
{
    const __u32 *was = (const __u32 *)t->local;
    if (t->protocol == protocol && t->local_port == port && t->v6 == v6 && was[0] == local[0] && was[1] == local[1]
        && was[2] == local[2] && was[3] == local[3])
        return 0;
    t->protocol = protocol;
    t->local_port = port;
    t->v6 = v6;
    __builtin_memcpy(t->local, local, 16);
    return 1;
}

/* Connect, send and receive through an address given with the call: told
 * when the process differs from the one last told for the socket (a socket
 * handed on through fork and exec), or the socket holds a local endpoint
 * not told yet (a send has bound it to a port by now; a connect not yet). An
 * IPv4 address on an IPv6 socket comes through the IPv4 hooks: its local
 * address is the IPv4 one then (or every address). */
static __always_inline int used(struct bpf_sock_addr *ctx, const int v6)
{
    struct bpf_sock *sk = ctx->sk;
    if (!sk)
        return 1;
    struct told *t = bpf_sk_storage_get(&told_map, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!t)
        return 1;
    /* Each field read once, unconditionally: the verifier takes no address
     * of a socket field chosen at run time. */
    const __u16 port = sk->src_port;
    const __u32 protocol = sk->protocol;
    __u32 local[4] = {};
    if (v6) {
        local[0] = sk->src_ip6[0];
        local[1] = sk->src_ip6[1];
        local[2] = sk->src_ip6[2];
        local[3] = sk->src_ip6[3];
    } else {
        local[0] = sk->src_ip4;
    }
    const __u32 tgid = bpf_get_current_pid_tgid() >> 32;
    const int process = t->tgid != tgid;
    const int endpoint = port != 0 && endpoint_is_new(t, protocol, v6, port, local);
    if (!process && !endpoint)
        return 1;
    t->tgid = tgid;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_USED;
    e->v6 = v6;
    e->protocol = protocol;
    e->cookie = bpf_get_socket_cookie(ctx);
    if (port != 0) {
        e->local_port = port;
        __builtin_memcpy(e->local, local, 16);
    }
    fill_process(e);
    bpf_ringbuf_submit(e, 0);
    return 1;
}

SEC("cgroup/connect4")
int connect4(struct bpf_sock_addr *ctx) { return used(ctx, 0); }
SEC("cgroup/connect6")
int connect6(struct bpf_sock_addr *ctx) { return used(ctx, 1); }
SEC("cgroup/sendmsg4")
int sendmsg4(struct bpf_sock_addr *ctx) { return used(ctx, 0); }
SEC("cgroup/sendmsg6")
int sendmsg6(struct bpf_sock_addr *ctx) { return used(ctx, 1); }
SEC("cgroup/recvmsg4")
int recvmsg4(struct bpf_sock_addr *ctx) { return used(ctx, 0); }
SEC("cgroup/recvmsg6")
int recvmsg6(struct bpf_sock_addr *ctx) { return used(ctx, 1); }

/* A v4-mapped IPv6 address carries IPv4 datagrams: told as IPv4. */
static __always_inline int mapped(const __u32 *a)
{
    return a[0] == 0 && a[1] == 0 && a[2] == bpf_htonl(0xffff);
}

/* A TCP connection made here: its local endpoint once the kernel chose it,
 * in the connecting process. Asks for no other callback (none per packet).
 * A connection accepted holds the endpoint its listener was bound to. */
SEC("sockops")
int tcp_connect(struct bpf_sock_ops *ops)
{
    if (ops->op != BPF_SOCK_OPS_TCP_CONNECT_CB)
        return 1;
    const __u32 family = ops->family;
    const __u32 ip4 = ops->local_ip4;
    __u32 local[4] = {ops->local_ip6[0], ops->local_ip6[1], ops->local_ip6[2], ops->local_ip6[3]};
    const __u16 port = ops->local_port;
    __u8 v6 = family == AF_INET6 && !mapped(local);
    if (!v6) {
        __builtin_memset(local, 0, sizeof local);
        local[0] = family == AF_INET ? ip4 : ops->local_ip6[3];
    }
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_BOUND;
    e->v6 = v6;
    e->protocol = IPPROTO_TCP;
    e->cookie = bpf_get_socket_cookie(ops);
    e->local_port = port;
    __builtin_memcpy(e->local, local, 16);
    fill_process(e);
    bpf_ringbuf_submit(e, 0);
    return 1;
}

/* The kernel's socket, as far as read at the release of a connected UDP
 * socket: the fields' places come from the running kernel's types. */
struct sock_common___owners {
    __u32 skc_rcv_saddr;
    __u16 skc_num;
    struct in6_addr skc_v6_rcv_saddr;
} __attribute__((preserve_access_index));

#define BPF_TCP_ESTABLISHED_STATE 1

SEC("cgroup/sock_release")
int sock_release(struct bpf_sock *sk)
{
    const __u32 family = sk->family, protocol = sk->protocol;
    if (!watched(family, protocol))
        return 1;
    const __u32 state = sk->state;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_CLOSED;
    e->cookie = bpf_get_socket_cookie(sk);
    /* A connected UDP socket sends with no call that tells its endpoint
     * (its port is chosen at the connect, after the hook): told now, so
     * that the window names what it sent. Its release hook may not read the
     * endpoint as a field; the socket's own memory is read instead, which
     * needs the right that reads the process name. */
    if (with_comm && protocol == IPPROTO_UDP && state == BPF_TCP_ESTABLISHED_STATE) {
        const struct sock_common___owners *c = (const void *)sk;
        __u16 port = 0;
        __u32 ip4 = 0;
        __u32 local[4] = {};
        bpf_core_read(&port, sizeof port, &c->skc_num);
        bpf_core_read(&ip4, sizeof ip4, &c->skc_rcv_saddr);
        if (family == AF_INET6)
            bpf_core_read(local, sizeof local, &c->skc_v6_rcv_saddr);
        e->v6 = family == AF_INET6 && !mapped(local);
        if (!e->v6) {
            __builtin_memset(local, 0, sizeof local);
            local[0] = ip4;
        }
        e->protocol = protocol;
        e->local_port = port;
        __builtin_memcpy(e->local, local, 16);
    }
    bpf_ringbuf_submit(e, 0);
    return 1;
}
