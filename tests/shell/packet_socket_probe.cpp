// Loaded into a window by a test: says whether code running inside it can
// open a packet socket.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" const char* quillet_probe_packet_socket()
{
    static char text[160];
    const int s = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (s >= 0) {
        close(s);
        return "opened";
    }
    std::snprintf(text, sizeof text, "refused (%s)", std::strerror(errno));
    return text;
}
