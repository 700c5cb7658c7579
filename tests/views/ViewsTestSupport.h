#pragma once

#include <string>
#include <vector>

#include "views/PacketViews.h"

namespace quillet::test {

constexpr const char* kLocal = "10.0.0.1";
constexpr const char* kLocal2 = "10.0.0.2";
constexpr const char* kOther = "192.168.5.9";
constexpr const char* kBroadcast = "10.0.0.255";

inline void Prepare(PacketViews& v)
{
    v.arrivalTime = ArrivalTime(".");
    v.SetLocalAddrs({kLocal, kLocal2, "127.0.0.1"});
}

inline std::int64_t Store(PacketViews& v, const std::string& src, const std::string& dest,
                          const std::string& srcPort = "1025", const std::string& destPort = "80",
                          const std::string& proto = "TCP", const std::string& data = "payload")
{
    return v.StorePacket(proto, src, dest, srcPort, destPort, data, static_cast<std::int32_t>(data.size()),
                         "12:00:00.00");
}

// The sequence numbers of the list's rows, pending ones included.
inline std::vector<std::int64_t> RowSeqs(const PacketListModel& m)
{
    std::vector<std::int64_t> seqs;
    for (std::size_t r = 0; r < m.totalRows(); ++r)
        seqs.push_back(m.sequenceOf(r));
    return seqs;
}

}  // namespace quillet::test
