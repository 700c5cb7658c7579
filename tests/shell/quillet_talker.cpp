// A program with a known name for the program column's tests: from
// 10.77.0.1 it sends one UDP datagram from udpPort to the peer's peerUdpPort
// and waits for the answer, then sends one request over a TCP connection to
// the peer's peerTcpPort and waits for the answer. It prints "tcp <local
// port>" and holds both sockets until its standard input closes.
//
// Usage: quillet_talker udpPort peerUdpPort peerTcpPort
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "SockAddr.h"

namespace {

int Fail(const char* step)
{
    std::perror(step);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return Fail("usage: quillet_talker udpPort peerUdpPort peerTcpPort");
    const timeval timeout{5, 0};
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(udp, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = At("10.77.0.1", std::atoi(argv[1]));
    if (bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return Fail("bind");
    sockaddr_in peer = At("10.77.0.2", std::atoi(argv[2]));
    char buffer[64];
    if (sendto(udp, "ping", 4, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 4)
        return Fail("sendto");
    if (recv(udp, buffer, sizeof buffer, 0) <= 0)
        return Fail("udp answer");

    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in server = At("10.77.0.2", std::atoi(argv[3]));
    if (connect(tcp, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
        return Fail("connect");
    if (send(tcp, "hello", 5, 0) != 5)
        return Fail("send");
    if (recv(tcp, buffer, sizeof buffer, 0) <= 0)
        return Fail("tcp answer");
    sockaddr_in mine{};
    socklen_t len = sizeof mine;
    getsockname(tcp, reinterpret_cast<sockaddr*>(&mine), &len);
    std::printf("tcp %d\n", ntohs(mine.sin_port));
    std::fflush(stdout);
    while (read(0, buffer, sizeof buffer) > 0) {
    }
    close(tcp);
    close(udp);
    return 0;
}
