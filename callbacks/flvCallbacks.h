#ifndef KORBALT_CALLBACKS_FLVCALLBACKS_H
#define KORBALT_CALLBACKS_FLVCALLBACKS_H

class StreamMessagePool;

// Messages of the three FLV events; entries only, no "Pid" elements.
class FlvCallbacks {
public:
    FlvCallbacks() = delete;

    static void flvHeaderCb(void* data, StreamMessagePool* pool);     // FlvHeader*
    static void flvAudioDataCb(void* data, StreamMessagePool* pool);  // AudioData*
    static void flvVideoDataCb(void* data, StreamMessagePool* pool);  // VideoData*
};

#endif
