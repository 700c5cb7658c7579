#pragma once

#include <string>
#include <string_view>

#include "core/FixedText.h"

namespace quillet {

// One captured datagram as the texts every view shows. Set once through add()
// right after creation and never changed; the store owns it, views read it by
// reference.
//
// Each field holds exactly the text the views show. The short fields are kept
// inline (no allocation); only the payload lives on the heap when it is longer
// than the small-string buffer.
class clV {
public:
    FixedText<7> mProtocol;   // "ICMP", "TCP", "UDP" or the protocol number
    FixedText<15> mSrcAddr;   // dotted decimal
    FixedText<15> mDestAddr;  // dotted decimal
    FixedText<5> mSrcPort;    // TCP/UDP port 0..65535, empty otherwise
    FixedText<5> mDestPort;
    FixedText<10> mSize;      // payload size in bytes, decimal
    std::string mData;        // payload, one character per byte (Latin-1)
    FixedText<15> mHora;      // HH:MM:SS, decimal separator, hundredths

    // Parameters pair each address with its port; the fields hold both
    // addresses before both ports.
    void add(std::string_view Proto, std::string_view SrcAddr, std::string_view SrcPort,
             std::string_view DestAddr, std::string_view DestPort, std::string_view Size,
             std::string Data, std::string_view Hora)
    {
        mProtocol = Proto;
        mSrcAddr = SrcAddr;
        mSrcPort = SrcPort;
        mDestAddr = DestAddr;
        mDestPort = DestPort;
        mSize = Size;
        mData = std::move(Data);
        mHora = Hora;
    }
};

}  // namespace quillet
