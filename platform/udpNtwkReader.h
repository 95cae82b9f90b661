#ifndef KORBALT_PLATFORM_UDPNTWKREADER_H
#define KORBALT_PLATFORM_UDPNTWKREADER_H

#include "platform/fileReader.h"

#include <cstdint>
#include <pthread.h>

// UDP reader argument types.
enum {
    UDP_READER_ARG_ADDRESS = 0,      // stream IPv4 address, host order: bound and joined
    UDP_READER_ARG_PORT = 1,         // UDP port
    UDP_READER_ARG_INTERFACE = 2,    // local interface IPv4 address, host order
    UDP_READER_ARG_EMPTY_QUEUE = 3,  // const char*: queue that supplies empty buffers
    UDP_READER_ARG_FULL_QUEUE = 4,   // const char*: queue that receives filled buffers
    UDP_READER_ARG_RECV_BUFF = 5     // SO_RCVBUF in bytes
};

// A network buffer as the reader fills it: the datagrams' bytes back to back from its
// start (the length of the buffer's message counts them), and in its last
// UDP_TABLE_BYTES a table that tells the datagrams apart.
struct UdpDatagramRecord {
    uint32_t length;     // bytes stored
    uint32_t lostBytes;  // bytes of the datagram that did not fit and are lost
    uint32_t gapMs;      // milliseconds without data before it, when over a second; else 0
};
const int UDP_MAX_DATAGRAMS = 2048;
struct UdpDatagramTable {
    uint32_t count;
    UdpDatagramRecord records[UDP_MAX_DATAGRAMS];
};
const int UDP_TABLE_BYTES = (int)((sizeof(UdpDatagramTable) + 7) & ~(size_t)7);
// The largest UDP payload over IPv4.
const int UDP_MAX_DATAGRAM = 65507;
// Gaps in reception longer than this are recorded.
const uint32_t UDP_GAP_MS = 1000;

// The table of a buffer of capacity bytes; null when the buffer has no room for it.
UdpDatagramTable* udpDatagramTable(unsigned char* buffer, int capacity);
// Bytes of such a buffer that hold datagrams.
int udpDataCapacity(int capacity);

// Sets up the socket (1-second receive time-out, receive buffer, arrival times, bind,
// multicast join) and connects the queues on the caller's thread, then starts the reader.
// Results: 0 started; 1 thread not created; 2 no argument list or no memory; 3 a queue
// could not be connected; 4 socket set-up or join failed (getLastSocketErrorText says why).
// Each empty buffer taken waits (up to the time-out) for a datagram, then gathers what
// follows for a few milliseconds, each datagram whole while room for the largest one is
// left, and goes to the full queue with its table; length -1 when nothing came.
int udpNtwkReaderThreadStart(pthread_t* threadId, ThreadArg* args, int count);

#endif
