#pragma once

// The peer's side of the exchange of quillet_talker, the helper program with
// a known name: its datagram and its connection to the peer namespace.

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <QProcess>

#include "SockAddr.h"
#include "support/Netns.h"

namespace quillet::test {

using quillet::testsupport::UniqueFd;
using quillet::testsupport::VethNamespace;

constexpr int kTalkerUdp = 7000;
constexpr int kPeerUdp = 7001;
constexpr int kPeerTcp = 7002;

struct Peer {
    UniqueFd udp, listener;

    explicit Peer(const VethNamespace& net)
        : udp(net.SocketIn(VethNamespace::Side::Peer, AF_INET, SOCK_DGRAM)),
          listener(net.SocketIn(VethNamespace::Side::Peer, AF_INET, SOCK_STREAM))
    {
        const timeval timeout{5, 0};
        setsockopt(udp.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in u = At(VethNamespace::kPeerAddr, kPeerUdp);
        sockaddr_in t = At(VethNamespace::kPeerAddr, kPeerTcp);
        const int one = 1;
        setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        EXPECT_EQ(bind(udp.get(), reinterpret_cast<sockaddr*>(&u), sizeof u), 0);
        EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&t), sizeof t), 0);
        EXPECT_EQ(listen(listener.get(), 4), 0);
    }

    // Answers one talker: its datagram, then its connection. False when it
    // did not come.
    bool Answer()
    {
        char buffer[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (recvfrom(udp.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len) != 4)
            return false;
        sendto(udp.get(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), len);
        pollfd p{listener.get(), POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        UniqueFd conn(accept(listener.get(), nullptr, nullptr));
        const timeval timeout{5, 0};
        setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (recv(conn.get(), buffer, sizeof buffer, 0) != 5)
            return false;
        return send(conn.get(), "world", 5, 0) == 5;
    }
};

// Starts the talker in this namespace and answers it; its TCP port in *tcpPort.
inline bool Talk(QProcess& talker, Peer& peer, int* tcpPort)
{
    talker.start(QStringLiteral(QUILLET_TALKER), {QString::number(kTalkerUdp), QString::number(kPeerUdp),
                                                  QString::number(kPeerTcp)});
    if (!talker.waitForStarted(5000) || !peer.Answer())
        return false;
    if (!talker.waitForReadyRead(5000))
        return false;
    const QString line = QString::fromLatin1(talker.readLine()).trimmed();
    *tcpPort = line.section(' ', 1).toInt();
    return line.startsWith("tcp ") && *tcpPort > 0;
}

}  // namespace quillet::test
