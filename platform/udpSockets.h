#ifndef KORBALT_PLATFORM_UDPSOCKETS_H
#define KORBALT_PLATFORM_UDPSOCKETS_H

#include <cstdint>

struct mmsghdr;

// The caller's socket record; the descriptor is its first field (-1 when closed).
struct UdpSocket {
    int sock;
    unsigned long long failedReceives;  // for the log, which names only the first 10,000
};

// Results: 0 success, 4 the multicast join failed, 5 a socket call failed.
int createUdpSocket(UdpSocket* s);
int setSocketRecvTimeout(UdpSocket* s, int seconds);
// Asks for a receive buffer of bytes: as a privileged process beyond the system's limit
// (SO_RCVBUFFORCE), otherwise within it (SO_RCVBUF).
int setSocketRecvBuff(UdpSocket* s, int bytes);
// The receive buffer the system granted (Linux reports twice the size asked, for its
// bookkeeping). 0, or 5 with *bytes 0.
int getSocketRecvBuff(UdpSocket* s, int* bytes);
// Each datagram then carries the time it arrived (SCM_TIMESTAMPNS).
int setSocketArrivalTimes(UdpSocket* s);
// address in host order; port 0..65535.
int bindUdpSocket(UdpSocket* s, uint32_t address, uint16_t port);

// Finds the local interface that has the IPv4 address (host order). 0 found (name and
// position filled), 1 no scratch socket, 2 the list could not be read, 3 not found.
int getNetworkIntfsNameAndId(uint32_t address, char* name, int nameSize, int* position);

// True for 224.0.0.0/4.
bool isMulticastAddress(uint32_t address);

// Joins group on the interface that has interfaceAddress: 0 joined, or 4 with a reason kept
// for getLastSocketErrorText. A multicast group needs a local interface address. A unicast
// address is joined like a group when the interface address is local, and the system
// refuses that (4); with an interface address that no interface has nothing is joined (0).
int joinMcastUdpSocket(UdpSocket* s, uint32_t interfaceAddress, uint32_t groupAddress);
int bindUdpSocketToNtwkInt(UdpSocket* s, uint32_t interfaceAddress);

// One datagram of at most capacity bytes. count gets the bytes stored (or -1);
// truncated (may be null) is set when the datagram was longer than capacity.
// 0, or 5 on a failed or timed-out receive. Source address and port in network order.
int recvFromUdpSocket(UdpSocket* s, uint32_t* srcAddress, uint16_t* srcPort, unsigned char* buffer,
                      int capacity, int* count, bool* truncated = nullptr);
int recvFromUdpSocketNonBlock(UdpSocket* s, uint32_t* srcAddress, uint16_t* srcPort, unsigned char* buffer,
                              int capacity, int* count, bool* truncated = nullptr);
// Up to count datagrams into the caller's headers (recvmmsg with flags, MSG_TRUNC added
// so that each msg_len is the datagram's whole length, however much was stored). The
// number received, or -1 with errno kept; failures are logged, except that with
// MSG_DONTWAIT an empty socket is no failure.
int recvManyFromUdpSocket(UdpSocket* s, struct mmsghdr* msgs, int count, int flags);
// address and port in host order.
int sendToUdpSocket(UdpSocket* s, const uint32_t& address, const uint16_t& port, const unsigned char* buffer,
                    int count);
int closeUdpSocket(UdpSocket* s);

// Logs the address as dotted decimal, no newline.
void printInt(uint32_t address);
// Logs one line for the current errno.
void printSocketError();
// The line printSocketError logs for err.
const char* socketErrorText(int err, char* scratch, int scratchSize);
// Dotted text of a host-order address into out (at least 16 bytes).
void formatIpAddress(uint32_t address, char* out, int outSize);

// Why the last failed set-up call of this thread failed ("no local interface has address
// 10.1.2.3", "joining 239.1.1.1 failed: No such device", ...); empty when none.
const char* getLastSocketErrorText();

#endif
