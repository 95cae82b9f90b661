#ifndef KORBALT_PLATFORM_UDPNTWKREADER_H
#define KORBALT_PLATFORM_UDPNTWKREADER_H

#include "platform/fileReader.h"

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

// Sets up the socket (1-second receive time-out, bind, multicast join) and connects the
// queues on the caller's thread, then starts the reader. Results: 0 started; 1 thread
// not created; 2 no argument list or no memory; 3 a queue could not be connected;
// 4 socket set-up or join failed (getLastSocketErrorText says why).
// Each empty buffer taken gets one datagram (length = bytes received, -1 when nothing
// came within the time-out) and goes to the full queue.
int udpNtwkReaderThreadStart(pthread_t* threadId, ThreadArg* args, int count);

#endif
