/* Who owns the sockets: cgroup programs on the root of the cgroup v2
 * hierarchy, loaded by the capture program. They only watch: every program
 * allows what it sees and changes nothing. Each socket carries in its own
 * storage what was told about it already, so a steady stream costs one
 * storage look-up and a compare per outgoing datagram, and nothing per
 * incoming one. */
#include <linux/bpf.h>
#include <linux/in.h>
#include <linux/in6.h>
#include <linux/socket.h>
#include <bpf/bpf_helpers.h>
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
 * read it), else the capture program reads it. */
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

SEC("cgroup/sock_release")
int sock_release(struct bpf_sock *sk)
{
    if (!watched(sk->family, sk->protocol))
        return 1;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_CLOSED;
    e->cookie = bpf_get_socket_cookie(sk);
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

/* Connect, send and receive: told when the process differs from the one
 * last told for the socket (a socket handed on through fork and exec). */
static __always_inline int used(struct bpf_sock_addr *ctx)
{
    struct bpf_sock *sk = ctx->sk;
    if (!sk)
        return 1;
    struct told *t = bpf_sk_storage_get(&told_map, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    __u32 tgid = bpf_get_current_pid_tgid() >> 32;
    if (!t || t->tgid == tgid)
        return 1;
    t->tgid = tgid;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_USED;
    e->v6 = ctx->user_family == AF_INET6;
    e->protocol = ctx->protocol;
    e->cookie = bpf_get_socket_cookie(ctx);
    fill_process(e);
    bpf_ringbuf_submit(e, 0);
    return 1;
}

SEC("cgroup/connect4")
int connect4(struct bpf_sock_addr *ctx) { return used(ctx); }
SEC("cgroup/connect6")
int connect6(struct bpf_sock_addr *ctx) { return used(ctx); }
SEC("cgroup/sendmsg4")
int sendmsg4(struct bpf_sock_addr *ctx) { return used(ctx); }
SEC("cgroup/sendmsg6")
int sendmsg6(struct bpf_sock_addr *ctx) { return used(ctx); }
SEC("cgroup/recvmsg4")
int recvmsg4(struct bpf_sock_addr *ctx) { return used(ctx); }
SEC("cgroup/recvmsg6")
int recvmsg6(struct bpf_sock_addr *ctx) { return used(ctx); }

/* Outgoing datagrams tell the local endpoint the socket holds once it is
 * bound, also when the kernel chose its port at the first send or connect
 * (no bind told it then): read from the socket itself, no packet bytes,
 * told once per socket and endpoint. Incoming datagrams need no program: a
 * socket receives on an endpoint it was bound to (told by post_bind) or
 * that its first outgoing datagram told. A socket on every address is told
 * as such (address of zeros); the window answers for each address then. */
SEC("cgroup_skb/egress")
int skb_egress(struct __sk_buff *skb)
{
    struct bpf_sock *sk = skb->sk;
    if (!sk)
        return 1;
    sk = bpf_sk_fullsock(sk);
    if (!sk)
        return 1;
    const __u32 family = sk->family, protocol = sk->protocol;
    if (!watched(family, protocol))
        return 1;
    struct told *t = bpf_sk_storage_get(&told_map, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!t)
        return 1;
    /* Each field read once, unconditionally: the verifier takes no address
     * of a socket field chosen at run time. */
    const __u16 port = sk->src_port;
    const __u32 ip4 = sk->src_ip4;
    const __u32 ip6_0 = sk->src_ip6[0], ip6_1 = sk->src_ip6[1], ip6_2 = sk->src_ip6[2], ip6_3 = sk->src_ip6[3];
    __u32 local[4] = {};
    __u8 v6 = 0;
    if (family == AF_INET) {
        local[0] = ip4;
    } else if (skb->protocol == bpf_htons(0x0800)) {
        /* IPv4 on an IPv6 socket: its address mapped, or every address. */
        local[0] = ip6_3;
    } else {
        v6 = 1;
        local[0] = ip6_0;
        local[1] = ip6_1;
        local[2] = ip6_2;
        local[3] = ip6_3;
    }
    const __u32 *was = (const __u32 *)t->local;
    if (t->protocol == protocol && t->local_port == port && t->v6 == v6 && was[0] == local[0] && was[1] == local[1]
        && was[2] == local[2] && was[3] == local[3])
        return 1;
    t->protocol = protocol;
    t->local_port = port;
    t->v6 = v6;
    __builtin_memcpy(t->local, local, 16);
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_PACKET;
    e->v6 = v6;
    e->protocol = protocol;
    e->cookie = bpf_get_socket_cookie(skb);
    e->local_port = port;
    __builtin_memcpy(e->local, local, 16);
    bpf_ringbuf_submit(e, 0);
    return 1;
}
