#ifndef KORBALT_CALLBACKS_MPEG2TSCALLBACKS_H
#define KORBALT_CALLBACKS_MPEG2TSCALLBACKS_H

#include <cstdint>
#include <list>
#include <string>

#include "callbacks/callbackMappedValue.h"
#include "engine/msgCallback.h"
#include "engine/streamMessage.h"

class StreamMessagePool;

// Callbacks of the transport stream events, and the builders they share.
// Every callback has the registry signature (payload, pool): it runs on the
// decoding thread under the registry mutex, builds exactly one message (or none,
// see the individual notes) and appends it to the pool, which hands ownership on.
// Static members only; never instantiated.
class Mpeg2TsCallbacks {
public:
    Mpeg2TsCallbacks() = delete;

    // Type codes of MsgParams::type.
    enum ParamType : uint32_t {
        PARAM_INT = 0,        // value.i
        PARAM_TEXT = 1,       // value.text, may be null
        PARAM_STRING = 2,     // value.str, may be null
        PARAM_LONG_LONG = 3,  // value.ll
        PARAM_DOUBLE = 4      // value.d
    };

    // One typed parameter of sendMsg / sendErrMsg.
    struct MsgParams {
        uint32_t type;
        std::string name;
        union Value {
            int32_t i;
            const char* text;
            std::string* str;
            long long ll;
            double d;
        } value;

        MsgParams() : type(PARAM_INT), name() { value.ll = 0; }
        static MsgParams makeInt(const std::string& n, int32_t v);
        static MsgParams makeText(const std::string& n, const char* v);
        static MsgParams makeString(const std::string& n, std::string* v);
        static MsgParams makeLongLong(const std::string& n, long long v);
        static MsgParams makeDouble(const std::string& n, double v);
    };

    // --- Builders -------------------------------------------------------------

    // Info message with one entry per parameter, in array order. Doubles are
    // fixed with two decimals. A null text gives an empty value for that entry
    // only; an unknown type code gives an empty value; count <= 0 an empty list.
    static void sendMsg(_CallbackId id, std::string desc, MsgParams* params, int count,
                        StreamMessagePool* pool);
    // Same, as an error message; doubles keep the stream's default notation.
    static void sendErrMsg(_CallbackId id, std::string desc, MsgParams* params, int count,
                           StreamMessagePool* pool);
    // Append {"Pid", pid}, then {key, value}. Builds no message.
    static void sendPair(std::list<callbackMappedValue>* list, int pid, std::string key,
                         std::string value);
    // Append {"Pid", pid}, then a deep copy of node (node stays the caller's).
    static void sendPair(std::list<callbackMappedValue>* list, int pid, callbackMappedValue& node);
    // Message of a transport packet event: payload is a PacketEventInfo; type is
    // MSG_TYPE_ERROR or MSG_TYPE_WARNING. List: {"Pid", pid}, {"Pid", pid} with the
    // children Packet, Type (= desc) and Description (the text, empty when null).
    static void sendPacketMsg(_CallbackId id, const char* desc, void* payload, _MessageType type,
                              StreamMessagePool* pool);

    // --- PSI tables (payload TableInfo: PatTable* / PmtTable*) ------------------
    static void mpeg2TsPatCb(void* payload, StreamMessagePool* pool);
    static void mpeg2TsPmtCb(void* payload, StreamMessagePool* pool);

    // --- Duration, closed captions, packet events -------------------------------
    static void mpeg2TsDurationCb(void* payload, StreamMessagePool* pool);             // DurationInfo
    static void mpeg2TsPcrBitrateDataPointCb(void* payload, StreamMessagePool* pool);  // PcrBitrateDataPoint
    static void mpeg2TsCc(void* payload, StreamMessagePool* pool);                     // ClosedCaptionInfo
    static void mpeg2TsSplicePointFlagInfoCb(void* payload, StreamMessagePool* pool);  // PacketEventInfo
    static void mpeg2TsPcrRollOverCb(void* payload, StreamMessagePool* pool);          // PacketEventInfo
    static void mpeg2TsContinuityError(void* payload, StreamMessagePool* pool);        // PacketEventInfo
    static void mpeg2TsReservedBitsError(void* payload, StreamMessagePool* pool);      // PacketEventInfo
    static void mpeg2TsSyncLoss(void* payload, StreamMessagePool* pool);               // PacketEventInfo
    static void mpeg2TsInputGap(void* payload, StreamMessagePool* pool);               // PacketEventInfo
    static void mpeg2TsDatagramCut(void* payload, StreamMessagePool* pool);            // PacketEventInfo

    // --- Simple values (payload PidValueInfo) ------------------------------------
    static void mpeg2TsVideoCBRCb(void* payload, StreamMessagePool* pool);            // text
    static void mpeg2TsStreamTypeCb(void* payload, StreamMessagePool* pool);          // std::string
    static void mpeg2TsStreamDescCb(void* payload, StreamMessagePool* pool);          // std::string
    static void mpeg2TsPtsCountCb(void* payload, StreamMessagePool* pool);            // long long
    static void mpeg2TsDtsCountCb(void* payload, StreamMessagePool* pool);            // long long
    static void mpeg2TsVideoResCb(void* payload, StreamMessagePool* pool);            // text
    static void mpeg2TsFrameRateCb(void* payload, StreamMessagePool* pool);           // text
    static void mpeg2TsDropFrameCb(void* payload, StreamMessagePool* pool);           // text
    static void mpeg2TsQuadByteAlignedCb(void* payload, StreamMessagePool* pool);     // text
    static void mpeg2TsAspectRatioCb(void* payload, StreamMessagePool* pool);         // double
    static void mpeg2TsSampleAspectRatioCb(void* payload, StreamMessagePool* pool);   // double
    static void mpeg2TsProgSequenceCb(void* payload, StreamMessagePool* pool);        // text
    static void mpeg2TsChromaCb(void* payload, StreamMessagePool* pool);              // text
    static void mpeg2TsProfileAndLevelCb(void* payload, StreamMessagePool* pool);     // text
    static void mpeg2TsVbvBuffSizeCb(void* payload, StreamMessagePool* pool);         // int
    static void mpeg2TsGopPayloadCb(void* payload, StreamMessagePool* pool);          // text
    static void mpeg2TsGopStructCb(void* payload, StreamMessagePool* pool);           // text
    static void mpeg2TsOpenClosedGopCb(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAdaptiveGopCb(void* payload, StreamMessagePool* pool);         // text
    static void mpeg2TsGopSizeCb(void* payload, StreamMessagePool* pool);             // int
    static void mpeg2TsFieldCountCb(void* payload, StreamMessagePool* pool);          // int
    static void mpeg2TsFrameCountCb(void* payload, StreamMessagePool* pool);          // int
    static void mpeg2TsAc3AudioCodingModeCb(void* payload, StreamMessagePool* pool);  // text
    static void mpeg2TsAc3ChOrderingCb(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAc3StreamModeCb(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAc3NUmberOfChannelsCb(void* payload, StreamMessagePool* pool); // int
    static void mpeg2TsMpegAudioLayerCb(void* payload, StreamMessagePool* pool);      // text
    static void mpeg2TsMpegAudioModeCb(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAacAudioLayerCb(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAacAudioProfileCb(void* payload, StreamMessagePool* pool);     // text
    static void mpeg2TsAacNumberOfChannels(void* payload, StreamMessagePool* pool);   // int
    static void mpeg2TsAacAudioBitrate(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAacAudioMode(void* payload, StreamMessagePool* pool);          // text
    static void mpeg2TsPcmAudioNumOfChCb(void* payload, StreamMessagePool* pool);     // text
    static void mpeg2TsPcmAudioChanIdCb(void* payload, StreamMessagePool* pool);      // text
    static void mpeg2TsPcmAudioMode(void* payload, StreamMessagePool* pool);          // text

    // --- Values with units (payload ValueUnitsInfo) -------------------------------
    static void mpeg2TsMuxBitrateCb(void* payload, StreamMessagePool* pool);            // double, no "Pid"
    static void mpeg2TranspBitrateCb(void* payload, StreamMessagePool* pool);           // double
    static void mpeg2PesStreamBitrateCb(void* payload, StreamMessagePool* pool);        // double
    static void mpeg2ElmStreamBitrateCb(void* payload, StreamMessagePool* pool);        // double
    static void mpeg2TsBitrateCb(void* payload, StreamMessagePool* pool);               // int
    static void mpeg2TsAc3SamplingRateCb(void* payload, StreamMessagePool* pool);       // text
    static void mpeg2TsAc3BitrateCb(void* payload, StreamMessagePool* pool);            // text + ".00"
    static void mpeg2TsMpegAudioBitrateCb(void* payload, StreamMessagePool* pool);      // text + ".00"
    static void mpeg2TsMpegAudioSamplingFreqCb(void* payload, StreamMessagePool* pool); // text
    static void mpeg2TsAacAudioSamplingFreqCb(void* payload, StreamMessagePool* pool);  // text
    static void mpeg2TsPcmAudioFreqCb(void* payload, StreamMessagePool* pool);          // text
    static void mpeg2TsPcmAudioBitPerSampleCb(void* payload, StreamMessagePool* pool);  // text
    static void mpeg2TsPcmAudioBitrate(void* payload, StreamMessagePool* pool);         // int
};

#endif
