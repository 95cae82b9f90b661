#include "platform/udpSockets.h"
#include "platform/debugMap.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The reason of the last failed set-up call, per thread (set-up runs on the caller's thread).
thread_local char t_acLastError[256];

void setLastError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void setLastError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(t_acLastError, sizeof(t_acLastError), format, args);
    va_end(args);
}

void logSocketError(int err)
{
    char scratch[32];
    fileLog("%s", socketErrorText(err, scratch, sizeof(scratch)));
}

// One line per failed receive, as long as the socket has not failed 10,000 times: a feed
// that falls silent fails once a second, for days.
void logFailedReceive(UdpSocket* s, int err)
{
    fileLogCapped(++s->failedReceives, "Further failed receives on socket %d are not logged\n",
                  "Failed to receive from socket %d errno: %d\n", s->sock, err);
}

struct sockaddr_in makeAddress(uint32_t address, uint16_t port)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

int receive(UdpSocket* s, uint32_t* srcAddress, uint16_t* srcPort, unsigned char* buffer, int capacity,
            int* count, bool* truncated, int flags)
{
    if (truncated)
        *truncated = false;
    if (!s || !buffer || capacity < 0) {
        if (count)
            *count = -1;
        return 5;
    }
    struct sockaddr_in from;
    socklen_t fromLen = sizeof(from);
    memset(&from, 0, sizeof(from));
    // MSG_TRUNC makes the call return the datagram's real length, so a cut one is seen.
    ssize_t n = recvfrom(s->sock, buffer, (size_t)capacity, flags | MSG_TRUNC, (struct sockaddr*)&from, &fromLen);
    if (n < 0) {
        int err = errno;
        if (count)
            *count = -1;
        logFailedReceive(s, err);
        errno = err;
        return 5;
    }
    if (n > capacity) {
        if (truncated)
            *truncated = true;
        n = capacity;
    }
    if (count)
        *count = (int)n;
    if (srcAddress)
        *srcAddress = from.sin_addr.s_addr;
    if (srcPort)
        *srcPort = from.sin_port;
    return 0;
}

}  // namespace

const char* getLastSocketErrorText()
{
    return t_acLastError;
}

bool isMulticastAddress(uint32_t address)
{
    return (address & 0xF0000000u) == 0xE0000000u;
}

void formatIpAddress(uint32_t address, char* out, int outSize)
{
    if (!out || outSize < 1)
        return;
    snprintf(out, (size_t)outSize, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
             (address >> 8) & 0xFF, address & 0xFF);
}

const char* socketErrorText(int err, char* scratch, int scratchSize)
{
    switch (err) {
    case ENOENT: return "Error ENOENT\n";
    case EBADF: return "Error EBADF\n";
    case ENOMEM: return "Error ENOMEM\n";
    case EACCES: return "Error EACCES\n";
    case EFAULT: return "Error EFAULT\n";
    case ENOTDIR: return "Error ENOTDIR\n";
    case EINVAL: return "Error EINVAL\n";
    case EROFS: return "Error EROFS\n";
    case ENAMETOOLONG: return "Error ENAMETOOLONG\n";
    case ELOOP: return "Error ELOOP\n";
    case ENOTSOCK: return "Error ENOTSOCK\n";
    case ENOPROTOOPT: return "Error ENOPROTOOPT\n";
    case EADDRINUSE: return "Error EADDRINUSE\n";
    case EADDRNOTAVAIL: return "Error EADDRNOTAVAIL\n";
    default:
        snprintf(scratch, (size_t)scratchSize, "Error %d\n", err);
        return scratch;
    }
}

void printSocketError()
{
    int err = errno;
    logSocketError(err);
    errno = err;
}

void printInt(uint32_t address)
{
    // One call, so that another thread's line cannot land inside the address.
    fileLog("%d.%d.%d.%d", (int)((address >> 24) & 0xFF), (int)((address >> 16) & 0xFF), (int)((address >> 8) & 0xFF),
            (int)(address & 0xFF));
}

int createUdpSocket(UdpSocket* s)
{
    t_acLastError[0] = 0;
    s->failedReceives = 0;
    s->sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (s->sock < 0) {
        int err = errno;
        fileLog("Failed to create socket errno: %d\n", err);
        setLastError("cannot create a UDP socket: %s", strerror(err));
        s->sock = -1;
        return 5;
    }
    int one = 1;
    if (setsockopt(s->sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        int err = errno;
        fileLog("Failed to create socket errno: %d\n", err);
        logSocketError(err);
        setLastError("cannot set SO_REUSEADDR: %s", strerror(err));
        close(s->sock);
        s->sock = -1;
        return 5;
    }
    return 0;
}

int setSocketRecvTimeout(UdpSocket* s, int seconds)
{
    struct timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = 0;
    if (setsockopt(s->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
        setLastError("cannot set the receive time-out: %s", strerror(errno));
        return 5;
    }
    return 0;
}

int setSocketRecvBuff(UdpSocket* s, int bytes)
{
    // A privileged process gets the size it asks for; others get what the system's limit allows.
    if (setsockopt(s->sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) == 0)
        return 0;
    if (setsockopt(s->sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0) {
        setLastError("cannot set the receive buffer size: %s", strerror(errno));
        return 5;
    }
    return 0;
}

int getSocketRecvBuff(UdpSocket* s, int* bytes)
{
    int value = 0;
    socklen_t size = sizeof(value);
    if (getsockopt(s->sock, SOL_SOCKET, SO_RCVBUF, &value, &size) != 0) {
        *bytes = 0;
        return 5;
    }
    *bytes = value;
    return 0;
}

int setSocketArrivalTimes(UdpSocket* s)
{
    int one = 1;
    if (setsockopt(s->sock, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one)) != 0) {
        setLastError("cannot have arrival times stamped: %s", strerror(errno));
        return 5;
    }
    return 0;
}

int bindUdpSocket(UdpSocket* s, uint32_t address, uint16_t port)
{
    char text[16];
    formatIpAddress(address, text, sizeof(text));
    fileLog("Binding Socket to network ip %s and port %d\n", text, (int)port);
    struct sockaddr_in sa = makeAddress(address, port);
    if (bind(s->sock, (struct sockaddr*)&sa, sizeof(sa)) != 0) {
        int err = errno;
        fileLog("Failed to bind socket %d errno: %d\n", s->sock, err);
        logSocketError(err);
        setLastError("cannot bind to %s port %u: %s", text, (unsigned)port, strerror(err));
        errno = err;
        return 5;
    }
    return 0;
}

int getNetworkIntfsNameAndId(uint32_t address, char* name, int nameSize, int* position)
{
    int scratch = socket(AF_INET, SOCK_DGRAM, 0);
    if (scratch < 0)
        return 1;

    // Start with room for a few dozen entries and grow while the list fills the buffer,
    // since the system cuts the list silently at the buffer's end.
    int result = 3;
    size_t size = 1024;
    char* buffer = nullptr;
    struct ifconf ifc;
    for (;;) {
        char* grown = (char*)realloc(buffer, size);
        if (!grown) {
            result = 2;
            break;
        }
        buffer = grown;
        memset(buffer, 0, size);
        ifc.ifc_len = (int)size;
        ifc.ifc_buf = buffer;
        if (ioctl(scratch, SIOCGIFCONF, &ifc) != 0) {
            result = 2;
            break;
        }
        if ((size_t)ifc.ifc_len + sizeof(struct ifreq) <= size || size >= 1024 * 1024)
            break;
        size *= 2;
    }

    if (result != 2) {
        // Walk only what the system returned.
        int entries = ifc.ifc_len / (int)sizeof(struct ifreq);
        struct ifreq* req = (struct ifreq*)buffer;
        for (int i = 0; i < entries; ++i) {
            int family = req[i].ifr_addr.sa_family;
            if (family == AF_INET6) {
                fileLog("AF_INET6 is not supported %s %d\n", "getNetworkIntfsNameAndId", 157);
                continue;
            }
            if (family != AF_INET)
                continue;
            struct sockaddr_in* sin = (struct sockaddr_in*)&req[i].ifr_addr;
            if (ntohl(sin->sin_addr.s_addr) != address)
                continue;
            if (name && nameSize > 0) {
                memset(name, 0, (size_t)nameSize);
                size_t n = strnlen(req[i].ifr_name, sizeof(req[i].ifr_name));
                if (n > (size_t)nameSize - 1)
                    n = (size_t)nameSize - 1;
                memcpy(name, req[i].ifr_name, n);
            }
            if (position)
                *position = i;
            result = 0;
            break;
        }
    }
    free(buffer);
    close(scratch);
    return result;
}

int joinMcastUdpSocket(UdpSocket* s, uint32_t interfaceAddress, uint32_t groupAddress)
{
    char group[16];
    char intf[16];
    formatIpAddress(groupAddress, group, sizeof(group));
    formatIpAddress(interfaceAddress, intf, sizeof(intf));

    char name[IFNAMSIZ + 1];
    int position = 0;
    int found = getNetworkIntfsNameAndId(interfaceAddress, name, sizeof(name), &position);
    // A unicast address on an interface address that no interface has joins nothing, and
    // the stream is received on the bound address.
    if (found != 0 && !isMulticastAddress(groupAddress))
        return 0;
    if (found != 0) {
        fileLog("No local interface has address %s, cannot join %s\n", intf, group);
        if (found == 3)
            setLastError("cannot join multicast group %s: no local interface has address %s", group, intf);
        else
            setLastError("cannot join multicast group %s: the interface list cannot be read", group);
        return 4;
    }

    fileLog("Joining multicast %s on interface %s\n", group, intf);

    struct ip_mreq req;
    memset(&req, 0, sizeof(req));
    req.imr_multiaddr.s_addr = htonl(groupAddress);
    req.imr_interface.s_addr = htonl(interfaceAddress);
    // The system refuses a unicast address as a group (EINVAL).
    if (setsockopt(s->sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) != 0) {
        int err = errno;
        logSocketError(err);
        if (!isMulticastAddress(groupAddress))
            setLastError("cannot join %s on interface %s: it is not a multicast group address (%s)", group, intf,
                         strerror(err));
        else
            setLastError("cannot join multicast group %s on interface %s: %s", group, intf, strerror(err));
        errno = err;
        return 4;
    }
    return 0;
}

int bindUdpSocketToNtwkInt(UdpSocket* s, uint32_t interfaceAddress)
{
    char intf[16];
    formatIpAddress(interfaceAddress, intf, sizeof(intf));
    fileLog("Binding Socket to network interface %s\n", intf);
    char name[IFNAMSIZ + 1];
    int position = 0;
    if (getNetworkIntfsNameAndId(interfaceAddress, name, sizeof(name), &position) != 0) {
        printSocketError();
        return 0;
    }
    if (setsockopt(s->sock, SOL_SOCKET, SO_BINDTODEVICE, name, (socklen_t)strlen(name)) != 0) {
        int err = errno;
        fileLog("Failed to set SO_BINDTODEVICE socket option\n");
        logSocketError(err);
        errno = err;
        return 5;
    }
    return 0;
}

int recvFromUdpSocket(UdpSocket* s, uint32_t* srcAddress, uint16_t* srcPort, unsigned char* buffer,
                      int capacity, int* count, bool* truncated)
{
    return receive(s, srcAddress, srcPort, buffer, capacity, count, truncated, 0);
}

int recvFromUdpSocketNonBlock(UdpSocket* s, uint32_t* srcAddress, uint16_t* srcPort, unsigned char* buffer,
                              int capacity, int* count, bool* truncated)
{
    return receive(s, srcAddress, srcPort, buffer, capacity, count, truncated, MSG_DONTWAIT);
}

int recvManyFromUdpSocket(UdpSocket* s, struct mmsghdr* msgs, int count, int flags)
{
    if (!s || !msgs || count < 1)
        return -1;
    int n = recvmmsg(s->sock, msgs, (unsigned int)count, flags | MSG_TRUNC, nullptr);
    if (n < 0) {
        int err = errno;
        if (!((flags & MSG_DONTWAIT) && (err == EAGAIN || err == EWOULDBLOCK)))
            logFailedReceive(s, err);
        errno = err;
        return -1;
    }
    return n;
}

int sendToUdpSocket(UdpSocket* s, const uint32_t& address, const uint16_t& port, const unsigned char* buffer,
                    int count)
{
    struct sockaddr_in sa = makeAddress(address, port);
    ssize_t n = sendto(s->sock, buffer, count > 0 ? (size_t)count : 0, 0, (struct sockaddr*)&sa, sizeof(sa));
    if (n < 0) {
        int err = errno;
        fileLog("Failed to send from socket %d errno: %d\n", s->sock, err);
        errno = err;
        return 5;
    }
    return 0;
}

int closeUdpSocket(UdpSocket* s)
{
    if (s->sock < 0)
        return 0;
    if (close(s->sock) != 0) {
        int err = errno;
        fileLog("Failed to shutfown socket %d errno: %d\n", s->sock, err);
        s->sock = -1;
        errno = err;
        return 5;
    }
    s->sock = -1;
    return 0;
}
