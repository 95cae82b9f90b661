#ifndef KORBALT_CALLBACKS_GENERALCALLBACKS_H
#define KORBALT_CALLBACKS_GENERALCALLBACKS_H

#include <cstdint>

class StreamMessagePool;

// Callbacks of the events that do not depend on the container's syntax.
// Static members only; never instantiated.
class GeneralCallbacks {
public:
    GeneralCallbacks() = delete;

    // Event 0: payload is a std::string* naming the container; the message
    // description is a copy of that text (empty when the pointer is null).
    static void transportTypeCb(void* payload, StreamMessagePool* pool);
    // Event 62: the percentage travels as the pointer value itself; the message
    // keeps it as payload kind 1 with count 0 (not owned).
    static void percentCompleteCb(void* payload, StreamMessagePool* pool);
    // Event 63: "Status Alive" heartbeat. At most one message per second of
    // wall-clock time enters the pool; firings in between are dropped here.
    static void statusAliveCb(void* payload, StreamMessagePool* pool);
    // Event 64: not registered by the driver; ready for it.
    static void analysisCompleteCb(void* payload, StreamMessagePool* pool);

    // Minimum wall-clock spacing of status-alive messages, in milliseconds.
    static constexpr int64_t kStatusAliveIntervalMs = 1000;

    // Forget the time of the last status-alive message, so that the next firing
    // sends one at once (start of a run; tests).
    static void resetStatusAliveClock();

    // The rate decision itself, on a monotonic time in milliseconds: true when a
    // message may be sent now (and records it as sent). statusAliveCb calls it
    // with the steady clock.
    static bool statusAliveDue(int64_t nowMs);
};

#endif
