#pragma once
// An IPv4 socket address from its dotted text and port, for the tests' own
// sockets and the helper programs they start.
#include <cstdint>

#include <arpa/inet.h>
#include <netinet/in.h>

inline sockaddr_in At(const char* addr, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}
