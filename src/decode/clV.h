#pragma once

#include <string_view>

#include "decode/RecordFields.h"

namespace quillet {

// One captured datagram as the texts every view shows. Set once through add()
// right after creation and never changed; the store owns it, views read it by
// reference.
//
// Each field gives back exactly the text the views show (text()), held in a
// few bytes (RecordFields.h); the payload bytes live in the store, which
// reads them by mData.
class clV {
public:
    ProtocolText7 mProtocol;  // "ICMP", "TCP", "UDP" or the protocol number
    AddressText mSrcAddr;     // dotted decimal
    AddressText mDestAddr;    // dotted decimal
    PortText5 mSrcPort;       // TCP/UDP port 0..65535, empty otherwise
    PortText5 mDestPort;
    SizeText mSize;           // payload size in bytes, decimal
    PayloadRef mData;         // where the payload bytes are kept
    TimeText mHora;           // HH:MM:SS, decimal separator, hundredths

    // Parameters pair each address with its port; the fields hold both
    // addresses before both ports.
    void add(std::string_view Proto, std::string_view SrcAddr, std::string_view SrcPort,
             std::string_view DestAddr, std::string_view DestPort, std::string_view Size, PayloadRef Data,
             std::string_view Hora)
    {
        mProtocol = Proto;
        mSrcAddr = SrcAddr;
        mSrcPort = SrcPort;
        mDestAddr = DestAddr;
        mDestPort = DestPort;
        mSize = Size;
        mData = Data;
        mHora = Hora;
    }
};

static_assert(sizeof(clV) <= 48, "a packet record stays small");

}  // namespace quillet
