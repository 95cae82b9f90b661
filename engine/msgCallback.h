#ifndef KORBALT_ENGINE_MSGCALLBACK_H
#define KORBALT_ENGINE_MSGCALLBACK_H

#include <atomic>
#include <cstdint>
#include <pthread.h>

class StreamMessagePool;

// Engine events. Each processor fires them through MsgCallback::callMsgCallback.
enum _CallbackId {
    CB_TRANSPORT_TYPE = 0,
    CB_FLV_HEADER = 1,
    CB_FLV_AUDIO_DATA = 2,
    CB_FLV_VIDEO_DATA = 3,
    CB_MPEG2TS_PAT = 4,
    CB_MPEG2TS_PMT = 5,
    CB_MPEG2TS_DURATION = 6,
    CB_MPEG2TS_MUX_BITRATE = 7,
    CB_MPEG2TS_VIDEO_CBR = 8,
    CB_MPEG2TS_TRANSP_BITRATE = 9,
    CB_MPEG2TS_PES_STREAM_BITRATE = 10,
    CB_MPEG2TS_ELM_STREAM_BITRATE = 11,
    CB_MPEG2TS_STREAM_TYPE = 12,
    CB_MPEG2TS_STREAM_DESC = 13,
    CB_MPEG2TS_PTS_COUNT = 14,
    CB_MPEG2TS_DTS_COUNT = 15,
    CB_MPEG2TS_VIDEO_RES = 16,
    CB_MPEG2TS_FRAME_RATE = 17,
    CB_MPEG2TS_DROP_FRAME = 18,
    CB_MPEG2TS_QUAD_BYTE_ALIGNED = 19,
    CB_MPEG2TS_ASPECT_RATIO = 20,
    CB_MPEG2TS_SAMPLE_ASPECT_RATIO = 21,
    CB_MPEG2TS_PROG_SEQUENCE = 22,
    CB_MPEG2TS_CHROMA = 23,
    CB_MPEG2TS_PROFILE_AND_LEVEL = 24,
    CB_MPEG2TS_VBV_BUFF_SIZE = 25,
    CB_MPEG2TS_BITRATE = 26,
    CB_MPEG2TS_GOP_PAYLOAD = 27,
    CB_MPEG2TS_GOP_STRUCT = 28,
    CB_MPEG2TS_OPEN_CLOSED_GOP = 29,
    CB_MPEG2TS_ADAPTIVE_GOP = 30,
    CB_MPEG2TS_GOP_SIZE = 31,
    CB_MPEG2TS_FIELD_COUNT = 32,
    CB_MPEG2TS_FRAME_COUNT = 33,
    CB_MPEG2TS_CC = 34,
    CB_MPEG2TS_AC3_SAMPLING_RATE = 35,
    CB_MPEG2TS_AC3_BITRATE = 36,
    CB_MPEG2TS_AC3_AUDIO_CODING_MODE = 37,
    CB_MPEG2TS_AC3_CH_ORDERING = 38,
    CB_MPEG2TS_AC3_STREAM_MODE = 39,
    CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS = 40,
    CB_MPEG2TS_MPEG_AUDIO_LAYER = 41,
    CB_MPEG2TS_MPEG_AUDIO_BITRATE = 42,
    CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ = 43,
    CB_MPEG2TS_MPEG_AUDIO_MODE = 44,
    CB_MPEG2TS_AAC_AUDIO_LAYER = 45,
    CB_MPEG2TS_AAC_AUDIO_PROFILE = 46,
    CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ = 47,
    CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS = 48,
    CB_MPEG2TS_AAC_AUDIO_BITRATE = 49,
    CB_MPEG2TS_AAC_AUDIO_MODE = 50,
    CB_MPEG2TS_PCM_AUDIO_FREQ = 51,
    CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH = 52,
    CB_MPEG2TS_PCM_AUDIO_CHAN_ID = 53,
    CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE = 54,
    CB_MPEG2TS_PCM_AUDIO_BITRATE = 55,
    CB_MPEG2TS_PCM_AUDIO_MODE = 56,
    CB_MPEG2TS_PCR_BITRATE_DATA_POINT = 57,
    CB_MPEG2TS_SPLICE_POINT_FLAG_INFO = 58,
    CB_MPEG2TS_PCR_ROLL_OVER = 59,
    CB_MPEG2TS_CONTINUITY_ERROR = 60,
    CB_MPEG2TS_RESERVED_BITS_ERROR = 61,
    CB_PERCENT_COMPLETE = 62,
    CB_STATUS_ALIVE = 63,
    CB_ANALYSIS_COMPLETE = 64,
    CB_MPEG2TS_SYNC_LOSS = 65,
    CB_MPEG2TS_INPUT_GAP = 66,
    CB_MPEG2TS_DATAGRAM_CUT = 67
};

const int CB_ID_COUNT = 68;

// Payload records. Valid only during the firing; a callback copies what it keeps.

// value points at a zero-terminated text, an int, an int64_t, a double or a std::string,
// fixed per event.
struct PidValueInfo {
    int32_t pid;
    void* value;
};

// value points at a double, an int or a zero-terminated text, fixed per event.
struct ValueUnitsInfo {
    int32_t pid;
    void* value;
    const char* units;
};

// text points at the firing processor's own 256-byte buffer.
struct PacketEventInfo {
    int32_t pid;
    char* text;
    uint64_t packetNumber;
};

struct DurationInfo {
    uint32_t hours;
    uint32_t minutes;
    uint32_t seconds;
    uint32_t final;  // 1 at the end of the stream
};

struct PcrBitrateDataPoint {
    uint32_t pcrTimeMs;
    uint32_t bitrateKbps;
};

// The PAT fires a PatTable*, a PMT its PmtTable*; the callbacks read exactly those.
struct TableInfo {
    int32_t pid;
    void* table;
};

struct ClosedCaptionInfo {
    int32_t pid;
    bool atscEia608;
    bool atscEia708;
    bool scte20;
    bool scte21;
};

typedef void (*MsgCallbackFunction)(void*, StreamMessagePool*);

class MsgCallback {
public:
    struct CallbackFunctionAttr {
        MsgCallbackFunction function;
        bool repeat;
        bool fired;
    };

    MsgCallback();
    ~MsgCallback();
    MsgCallback(const MsgCallback&) = delete;
    MsgCallback& operator=(const MsgCallback&) = delete;

    // Return 1; an identifier outside 0..67 is refused (returns 0) before any lock is taken.
    int registerMsgCallback(_CallbackId id, MsgCallbackFunction fn, bool repeat);
    int unregisterMsgCallback(_CallbackId id);
    int callMsgCallback(_CallbackId id, void* data);
    void nullAllCallbacks();

    StreamMessagePool* getMsgPool() { return m_pMsgPool; }

private:
    // Atomic slots let a firing with nothing registered skip the mutex.
    std::atomic<CallbackFunctionAttr*> m_vCallbacks[CB_ID_COUNT];
    pthread_mutex_t m_Mutex;
    StreamMessagePool* m_pMsgPool;
};

#endif
