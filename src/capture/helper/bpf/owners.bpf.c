/* Who owns the sockets: cgroup programs on the root of the cgroup v2
 * hierarchy, loaded by the capture program. They only watch: every program
 * allows what it sees and changes nothing. Each socket carries in its own
 * storage what was told about it already, so a steady stream costs one
 * storage look-up and a compare per datagram. */
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

struct told {
    __u32 tgid;     /* the process last told to use it */
    __u8 protocol;
    __u8 v6;
    __u16 local_port;
    __u16 remote_port;
    __u16 pad;
    __u8 local[16] __attribute__((aligned(8)));
    __u8 remote[16] __attribute__((aligned(8)));
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

static __always_inline int same16(const __u8 *a, const __u8 *b)
{
    const __u64 *x = (const __u64 *)a, *y = (const __u64 *)b;
    return x[0] == y[0] && x[1] == y[1];
}

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

/* Tells of a (socket, endpoints) pair not told before, and keeps it. */
static __always_inline int tell(struct __sk_buff *skb, struct told *t, struct told *now)
{
    now->tgid = t->tgid;
    *t = *now;
    struct owner_event *e = reserve();
    if (!e)
        return 1;
    e->kind = OWNER_PACKET;
    e->v6 = now->v6;
    e->protocol = now->protocol;
    e->cookie = bpf_get_socket_cookie(skb);
    e->local_port = now->local_port;
    e->remote_port = now->remote_port;
    __builtin_memcpy(e->local, now->local, 16);
    __builtin_memcpy(e->remote, now->remote, 16);
    bpf_ringbuf_submit(e, 0);
    return 1;
}

/* The datagram's endpoints, the local one first; told once per socket and
 * pair of endpoints. */
static __always_inline int packet(struct __sk_buff *skb, int egress)
{
    struct bpf_sock *sk = skb->sk;
    if (!sk)
        return 1;
    sk = bpf_sk_fullsock(sk);
    if (!sk || !watched(sk->family, sk->protocol))
        return 1;
    struct told now = {};
    __u8 proto = 0;
    __u32 ports_at = 0;
    /* A connected IPv4 socket names both ends itself: no packet bytes read. */
    if (sk->family == AF_INET && sk->dst_port != 0 && skb->protocol == bpf_htons(0x0800)) {
        struct told *t = bpf_sk_storage_get(&told_map, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
        if (!t)
            return 1;
        __u32 local = sk->src_ip4, remote = sk->dst_ip4;
        __u16 lport = sk->src_port, rport = bpf_ntohs((__u16)sk->dst_port);
        if (t->protocol == sk->protocol && !t->v6 && t->local_port == lport && t->remote_port == rport
            && *(__u32 *)t->local == local && *(__u32 *)t->remote == remote)
            return 1;
        now.protocol = sk->protocol;
        now.local_port = lport;
        now.remote_port = rport;
        *(__u32 *)now.local = local;
        *(__u32 *)now.remote = remote;
        return tell(skb, t, &now);
    }
    if (skb->protocol == bpf_htons(0x0800)) {
        __u8 head[20];
        if (bpf_skb_load_bytes(skb, 0, head, sizeof(head)) != 0)
            return 1;
        proto = head[9];
        ports_at = (head[0] & 0x0F) * 4;
        __builtin_memcpy(egress ? now.local : now.remote, head + 12, 4);
        __builtin_memcpy(egress ? now.remote : now.local, head + 16, 4);
    } else if (skb->protocol == bpf_htons(0x86DD)) {
        __u8 head[40];
        if (bpf_skb_load_bytes(skb, 0, head, sizeof(head)) != 0)
            return 1;
        proto = head[6];
        ports_at = 40;
        now.v6 = 1;
        __builtin_memcpy(egress ? now.local : now.remote, head + 8, 16);
        __builtin_memcpy(egress ? now.remote : now.local, head + 24, 16);
    } else {
        return 1;
    }
    if (proto != IPPROTO_TCP && proto != IPPROTO_UDP)
        return 1;
    __u16 ports[2];
    if (bpf_skb_load_bytes(skb, ports_at, ports, sizeof(ports)) != 0)
        return 1;
    now.protocol = proto;
    now.local_port = bpf_ntohs(egress ? ports[0] : ports[1]);
    now.remote_port = bpf_ntohs(egress ? ports[1] : ports[0]);

    struct told *t = bpf_sk_storage_get(&told_map, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!t)
        return 1;
    if (t->protocol == now.protocol && t->v6 == now.v6 && t->local_port == now.local_port
        && t->remote_port == now.remote_port && same16(t->local, now.local) && same16(t->remote, now.remote))
        return 1;
    return tell(skb, t, &now);
}

SEC("cgroup_skb/ingress")
int skb_ingress(struct __sk_buff *skb) { return packet(skb, 0); }

SEC("cgroup_skb/egress")
int skb_egress(struct __sk_buff *skb) { return packet(skb, 1); }
