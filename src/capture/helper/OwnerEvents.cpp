#include "capture/helper/OwnerEvents.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <unistd.h>

#include "capture/CgroupRoot.h"
#include "capture/helper/bpf/OwnerEvent.h"

// The kernel programs' object, built with this program.
#define QUILLET_STR2(x) #x
#define QUILLET_STR(x) QUILLET_STR2(x)
asm(".section .rodata\n"
    ".balign 8\n"
    ".global quillet_owners_bpf\n"
    "quillet_owners_bpf:\n"
    ".incbin \"" QUILLET_STR(QUILLET_OWNERS_BPF_OBJECT) "\"\n"
    ".global quillet_owners_bpf_end\n"
    "quillet_owners_bpf_end:\n"
    ".previous\n");
extern "C" const unsigned char quillet_owners_bpf[];
extern "C" const unsigned char quillet_owners_bpf_end[];

namespace quillet {

namespace ch = channel;

namespace {

// Events taken per call, so the capture is never kept waiting.
constexpr int kEventsPerConsume = 4096;

int Silent(libbpf_print_level, const char*, va_list) { return 0; }

int OnEvent(void* self, void* data, std::size_t size)
{
    static_cast<OwnerEvents*>(self)->Take(data, size);
    return 0;
}

std::int64_t ClockNs(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

OwnerEvents::~OwnerEvents()
{
    if (ring_)
        ring_buffer__free(ring_);
    for (bpf_link* link : links_)
        bpf_link__destroy(link);
    if (object_)
        bpf_object__close(object_);
}

bool OwnerEvents::Load(bool withComm, int cgroupFd)
{
    const auto size = static_cast<std::size_t>(quillet_owners_bpf_end - quillet_owners_bpf);
    object_ = bpf_object__open_mem(quillet_owners_bpf, size, nullptr);
    if (!object_) {
        why_ = std::string("open: ") + std::strerror(errno);
        return false;
    }
    bpf_map* rodata = bpf_object__find_map_by_name(object_, ".rodata");
    std::size_t rodataSize = 0;
    const auto* initial = rodata ? static_cast<const std::uint8_t*>(bpf_map__initial_value(rodata, &rodataSize)) : nullptr;
    if (!initial || rodataSize < 1) {
        why_ = "the object has no settings";
        return false;
    }
    std::vector<std::uint8_t> settings(initial, initial + rodataSize);
    settings[0] = withComm ? 1 : 0;  // with_comm, the object's only constant
    if (bpf_map__set_initial_value(rodata, settings.data(), settings.size()) != 0) {
        why_ = "the object's settings cannot be set";
        return false;
    }
    if (const int e = bpf_object__load(object_); e != 0) {
        why_ = std::string("load: ") + std::strerror(-e);
        return false;
    }
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, object_) {
        bpf_link* link = bpf_program__attach_cgroup(program, cgroupFd);
        if (!link) {
            why_ = std::string("attach ") + bpf_program__name(program) + ": " + std::strerror(errno);
            return false;
        }
        links_.push_back(link);
    }
    return true;
}

bool OwnerEvents::Start()
{
    libbpf_set_print(Silent);
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    const std::string root = CgroupV2Root(text.str());
    if (root.empty()) {
        why_ = "no cgroup v2 hierarchy";
        return false;
    }
    const int cgroupFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroupFd < 0) {
        why_ = root + ": " + std::strerror(errno);
        return false;
    }
    // The name read in the kernel needs a right of its own; without it the
    // name is read here as each socket is told.
    bool loaded = false;
    for (const bool withComm : {true, false}) {
        for (bpf_link* link : links_)
            bpf_link__destroy(link);
        links_.clear();
        if (object_)
            bpf_object__close(object_);
        object_ = nullptr;
        withComm_ = withComm;
        if ((loaded = Load(withComm, cgroupFd)))
            break;
    }
    close(cgroupFd);
    if (!loaded)
        return false;
    bpf_map* events = bpf_object__find_map_by_name(object_, "events");
    ring_ = events ? ring_buffer__new(bpf_map__fd(events), OnEvent, this, nullptr) : nullptr;
    if (!ring_) {
        why_ = "no event ring";
        return false;
    }
    fd_ = bpf_map__fd(events);
    // Once loaded, the object's variables are the map's own memory.
    bpf_map* bss = bpf_object__find_map_by_name(object_, ".bss");
    std::size_t bssSize = 0;
    const void* counters = bss ? bpf_map__initial_value(bss, &bssSize) : nullptr;
    lost_ = bssSize >= sizeof(std::uint64_t) ? static_cast<const volatile std::uint64_t*>(counters) : nullptr;
    offsetNs_ = ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC);
    return true;
}

void OwnerEvents::Consume(const Send& send)
{
    if (!ring_)
        return;
    send_ = &send;
    // Each call takes what waits; bounded so frames are read meanwhile.
    for (int taken = 0; taken < kEventsPerConsume;) {
        const int n = ring_buffer__consume(ring_);
        if (n <= 0)
            break;
        taken += n;
    }
    send_ = nullptr;
}

std::uint64_t OwnerEvents::Lost() const
{
    return lost_ ? *lost_ : 0;
}

std::int64_t OwnerEvents::WallUs(std::uint64_t monotonicNs) const
{
    return (static_cast<std::int64_t>(monotonicNs) + offsetNs_) / 1000;
}

void OwnerEvents::Tell(Socket& s, ch::OwnerBody endpoint)
{
    endpoint.pid = s.pid;
    endpoint.uid = s.uid;
    std::memcpy(endpoint.name, s.name, sizeof endpoint.name);
    bool kept = false;
    bool known = false;
    for (ch::OwnerBody& e : s.endpoints)
        if (e.protocol == endpoint.protocol && e.v6 == endpoint.v6 && e.port == endpoint.port
            && std::memcmp(e.address, endpoint.address, sizeof e.address) == 0) {
            kept = true;
            known = e.pid == endpoint.pid;
            e = endpoint;
        }
    if (known)
        return;
    if (!kept && s.endpoints.size() < 16)
        s.endpoints.push_back(endpoint);
    (*send_)(endpoint);
}

void OwnerEvents::Take(const void* data, std::size_t size)
{
    owner_event e;
    if (size < sizeof e)
        return;
    std::memcpy(&e, data, sizeof e);
    e.comm[sizeof e.comm - 1] = '\0';
    const std::int64_t at = WallUs(e.time_ns);
    const auto process = [&](Socket& s) {
        s.pid = e.tgid;
        s.uid = e.uid;
        s.sinceUs = at;
        // Without the right to read it in the kernel, the window reads it
        // (this program may open nothing once confined).
        std::memcpy(s.name, e.has_comm ? e.comm : "", e.has_comm ? sizeof s.name : 1);
    };
    // The local endpoint the event tells, held from fromUs on.
    const auto endpointOf = [&e](std::int64_t fromUs) {
        ch::OwnerBody endpoint{};
        endpoint.fromUs = fromUs;
        endpoint.protocol = e.protocol;
        endpoint.v6 = e.v6;
        endpoint.port = e.local_port;
        std::memcpy(endpoint.address, e.local, sizeof endpoint.address);
        return endpoint;
    };
    switch (e.kind) {
    case OWNER_CREATED: {
        if (sockets_.size() >= kMaxSockets)
            sockets_.erase(sockets_.begin());
        Socket& s = sockets_[e.cookie];
        s = Socket{};
        process(s);
        break;
    }
    case OWNER_USED:
    case OWNER_BOUND: {
        const auto it = sockets_.find(e.cookie);
        if (it == sockets_.end() && e.kind == OWNER_USED)
            break;  // made before the capture: the look-ups find it
        if (it == sockets_.end() && sockets_.size() >= kMaxSockets)
            sockets_.erase(sockets_.begin());
        Socket& s = it != sockets_.end() ? it->second : sockets_[e.cookie];
        if (it == sockets_.end() || s.pid != e.tgid) {
            process(s);
            // Told anew under the process that uses it now.
            for (ch::OwnerBody endpoint : std::vector<ch::OwnerBody>(s.endpoints)) {
                endpoint.fromUs = at;
                Tell(s, endpoint);
            }
        }
        if (e.local_port != 0)
            Tell(s, endpointOf(s.sinceUs));
        break;
    }
    case OWNER_CLOSED: {
        const auto it = sockets_.find(e.cookie);
        if (it == sockets_.end())
            break;
        // A connected UDP socket tells its endpoint only now: it held it
        // since it was made.
        if (e.local_port != 0)
            Tell(it->second, endpointOf(it->second.sinceUs));
        for (ch::OwnerBody endpoint : it->second.endpoints) {
            endpoint.fromUs = at;
            endpoint.pid = 0;
            endpoint.uid = 0;
            std::memset(endpoint.name, 0, sizeof endpoint.name);
            (*send_)(endpoint);
        }
        sockets_.erase(it);
        break;
    }
    default:
        break;
    }
}

}  // namespace quillet
