#ifndef KORBALT_PLATFORM_POSIXMSGQUEUES_H
#define KORBALT_PLATFORM_POSIXMSGQUEUES_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mqueue.h>

enum AppMsgType {
    APP_MSG_EXIT = 0,
    APP_MSG_FILE_BUFFER = 1,
    APP_MSG_NTWK_BUFFER = 2,
    APP_MSG_STATUS_ALIVE = 3,
    APP_MSG_END_OF_FILE = 4
};

// The 24-byte record of every queue in the system. The buffer is an address,
// so buffer queues only make sense between threads of one process.
struct AppMsg {
    int32_t type;        // AppMsgType
    int32_t capacity;    // size of the buffer pointed at (0 in control messages)
    int64_t length;      // valid bytes; below 1 means nothing to use
    unsigned char* buffer;
};
static_assert(sizeof(AppMsg) == 24, "AppMsg is a 24-byte wire record");
static_assert(offsetof(AppMsg, type) == 0, "AppMsg.type at 0");
static_assert(offsetof(AppMsg, capacity) == 4, "AppMsg.capacity at 4");
static_assert(offsetof(AppMsg, length) == 8, "AppMsg.length at 8");
static_assert(offsetof(AppMsg, buffer) == 16, "AppMsg.buffer at 16");

// Queue attributes as the callers see them: flags, max messages, message size, current count.
struct QueueAttr {
    int64_t flags;
    int64_t maxMsg;
    int64_t msgSize;
    int64_t curMsgs;
};

const unsigned int APP_MSG_PRIORITY = 16;
const unsigned int APP_MSG_EXIT_PRIORITY = 30;
const int APP_QUEUE_MODE = 0660;

int createMsgQueue(const char* name, int mode, QueueAttr* attr);
int connectToMsgQueue(const char* name, int access);  // 0 read, 1 write, 2 read-write
// The same with O_NONBLOCK on the descriptor: a send to a full queue fails with EAGAIN
// at once instead of waiting (the outgoing notice queue, whose reader may stop reading).
int connectToMsgQueueNonBlocking(const char* name, int access);
int sendMsg(int queue, const void* msg, size_t length);
int sendPriorityMsg(int queue, const void* msg, size_t length, unsigned int priority);
// Non-blocking or timed variants, for senders that must never wait for ever.
int sendTimedPriorityMsg(int queue, const void* msg, size_t length, unsigned int priority, int timeoutMs);
int receiveMsg(int queue, void* buffer, size_t capacity, int* length);
int receivePriorityMsg(int queue, void* buffer, size_t capacity, int* length, unsigned int* priority);
int receiveTimedPriorityMsg(int queue, void* buffer, size_t capacity, int* length, unsigned int* priority,
                            int timeoutMs);
// The absolute (CLOCK_REALTIME) time timeoutMs from now, as the timed queue calls and
// timed joins take it.
struct timespec realtimeDeadlineIn(int timeoutMs);
int getQueueAttr(int queue, QueueAttr* attr);
int setQueueAttr(int queue, QueueAttr* attr);
int closeMsgQueue(int queue);
int unlinkMsgQueue(const char* name);
void printQueueError();
// The text printQueueError logs for an errno value.
const char* queueErrorText(int err, char* scratch, size_t scratchSize);

#endif
