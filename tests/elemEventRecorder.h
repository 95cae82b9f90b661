// Test support for the PES and elementary stream processors: a registry whose callbacks
// record every firing with its payload decoded by event, and helpers to pull PES payload
// out of a transport stream fixture.
#ifndef KORBALT_TESTS_ELEMEVENTRECORDER_H
#define KORBALT_TESTS_ELEMEVENTRECORDER_H

#include "engine/msgCallback.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace elemtest {

struct RecordedEvent {
    int id = -1;
    int pid = -1;
    std::string text;    // the value as text (numbers formatted)
    double number = 0;   // numeric payloads
    std::string units;
    ClosedCaptionInfo cc{};
};

enum PayloadKind { PK_NONE, PK_TEXT, PK_STRING, PK_INT, PK_INT64, PK_DOUBLE, PK_UNITS_DOUBLE,
                   PK_UNITS_INT, PK_UNITS_TEXT, PK_CC };

inline PayloadKind payloadKind(int id)
{
    switch (id) {
    case 8: case 16: case 17: case 18: case 19: case 22: case 23: case 24: case 27: case 28:
    case 29: case 30: case 37: case 38: case 39: case 41: case 44: case 45: case 46: case 49:
    case 50: case 52: case 53: case 56:
        return PK_TEXT;
    case 12: case 13: return PK_STRING;
    case 25: case 31: case 32: case 33: case 40: case 48: return PK_INT;
    case 14: case 15: return PK_INT64;
    case 20: case 21: return PK_DOUBLE;
    case 7: case 9: case 10: case 11: return PK_UNITS_DOUBLE;
    case 26: case 55: return PK_UNITS_INT;
    case 35: case 36: case 42: case 43: case 47: case 51: case 54: return PK_UNITS_TEXT;
    case 34: return PK_CC;
    default: return PK_NONE;
    }
}

class EventRecorder {
public:
    EventRecorder()
    {
        s_current = this;
        registerAll<0>();
    }
    ~EventRecorder() { s_current = nullptr; }

    MsgCallback* registry() { return &m_Registry; }
    void clear() { m_Events.clear(); }
    const std::vector<RecordedEvent>& events() const { return m_Events; }

    int count(int id) const
    {
        int n = 0;
        for (const auto& e : m_Events)
            n += e.id == id;
        return n;
    }
    // First firing of the event (what a one-shot registration reports); a blank record
    // (id -1) when it never fired.
    RecordedEvent first(int id) const
    {
        for (const auto& e : m_Events)
            if (e.id == id)
                return e;
        return RecordedEvent();
    }
    RecordedEvent last(int id) const
    {
        RecordedEvent r;
        for (const auto& e : m_Events)
            if (e.id == id)
                r = e;
        return r;
    }
    bool fired(int id) const { return count(id) > 0; }

private:
    template <int ID>
    static void callback(void* data, StreamMessagePool*)
    {
        if (s_current)
            s_current->record(ID, data);
    }
    template <int ID>
    void registerAll()
    {
        if constexpr (ID < CB_ID_COUNT) {
            if (payloadKind(ID) != PK_NONE)
                m_Registry.registerMsgCallback((_CallbackId)ID, &EventRecorder::callback<ID>, true);
            registerAll<ID + 1>();
        }
    }

    void record(int id, void* data)
    {
        RecordedEvent e;
        e.id = id;
        char buf[64];
        switch (payloadKind(id)) {
        case PK_TEXT: {
            auto* p = static_cast<PidValueInfo*>(data);
            e.pid = p->pid;
            e.text = p->value ? static_cast<const char*>(p->value) : "<null>";
            break;
        }
        case PK_STRING: {
            auto* p = static_cast<PidValueInfo*>(data);
            e.pid = p->pid;
            e.text = p->value ? *static_cast<std::string*>(p->value) : "<null>";
            break;
        }
        case PK_INT: {
            auto* p = static_cast<PidValueInfo*>(data);
            e.pid = p->pid;
            e.number = *static_cast<int*>(p->value);
            e.text = std::to_string(*static_cast<int*>(p->value));
            break;
        }
        case PK_INT64: {
            auto* p = static_cast<PidValueInfo*>(data);
            e.pid = p->pid;
            e.number = (double)*static_cast<long long*>(p->value);
            e.text = std::to_string(*static_cast<long long*>(p->value));
            break;
        }
        case PK_DOUBLE: {
            auto* p = static_cast<PidValueInfo*>(data);
            e.pid = p->pid;
            e.number = *static_cast<double*>(p->value);
            snprintf(buf, sizeof(buf), "%.4f", e.number);
            e.text = buf;
            break;
        }
        case PK_UNITS_DOUBLE: {
            auto* p = static_cast<ValueUnitsInfo*>(data);
            e.pid = p->pid;
            e.number = *static_cast<double*>(p->value);
            snprintf(buf, sizeof(buf), "%.2f", e.number);
            e.text = buf;
            e.units = p->units ? p->units : "<null>";
            break;
        }
        case PK_UNITS_INT: {
            auto* p = static_cast<ValueUnitsInfo*>(data);
            e.pid = p->pid;
            e.number = *static_cast<int*>(p->value);
            e.text = std::to_string(*static_cast<int*>(p->value));
            e.units = p->units ? p->units : "<null>";
            break;
        }
        case PK_UNITS_TEXT: {
            auto* p = static_cast<ValueUnitsInfo*>(data);
            e.pid = p->pid;
            e.text = p->value ? static_cast<const char*>(p->value) : "<null>";
            e.units = p->units ? p->units : "<null>";
            break;
        }
        case PK_CC: {
            auto* p = static_cast<ClosedCaptionInfo*>(data);
            e.pid = p->pid;
            e.cc = *p;
            break;
        }
        default:
            break;
        }
        m_Events.push_back(e);
    }

    static inline EventRecorder* s_current = nullptr;
    MsgCallback m_Registry;
    std::vector<RecordedEvent> m_Events;
};

inline std::vector<unsigned char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
}

inline std::string fixture(const char* name)
{
    return std::string(KORBALT_SOURCE_DIR) + "/tests/data/" + name;
}

inline int tsPid(const unsigned char* p) { return ((p[1] & 0x1F) << 8) | p[2]; }

// Payload of a packet (offset, length); length 0 when there is none.
inline void tsPayload(const unsigned char* p, int* offset, int* length)
{
    int afc = p[3] >> 4;
    int off = 4;
    if (afc == 2 || afc == 0) {
        *offset = 188;
        *length = 0;
        return;
    }
    if (afc == 3)
        off = 5 + p[4];
    if (off > 188)
        off = 188;
    *offset = off;
    *length = 188 - off;
}

// Elementary PID of the first PMT entry with one of the stream types; -1 if none.
inline int findElementaryPid(const std::vector<unsigned char>& ts, const std::vector<int>& types,
                             int* foundType = nullptr)
{
    int pmtPid = -1;
    for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
        const unsigned char* p = &ts[i];
        if (p[0] != 0x47 || !(p[1] & 0x40))
            continue;
        int off, len;
        tsPayload(p, &off, &len);
        if (len < 20)
            continue;
        const unsigned char* s = p + off + 1 + p[off];
        int pid = tsPid(p);
        if (pid == 0 && pmtPid < 0 && s[0] == 0x00) {
            pmtPid = ((s[10] & 0x1F) << 8) | s[11];
        } else if (pid == pmtPid && s[0] == 0x02) {
            int sectionLength = ((s[1] & 0x0F) << 8) | s[2];
            int infoLength = ((s[10] & 0x0F) << 8) | s[11];
            int j = 12 + infoLength;
            while (j + 5 <= 3 + sectionLength - 4) {
                int type = s[j];
                int ep = ((s[j + 1] & 0x1F) << 8) | s[j + 2];
                int esInfo = ((s[j + 3] & 0x0F) << 8) | s[j + 4];
                for (int t : types)
                    if (t == type) {
                        if (foundType)
                            *foundType = type;
                        return ep;
                    }
                j += 5 + esInfo;
            }
            return -1;
        }
    }
    return -1;
}

// The PES payload of one PID: every PES packet's bytes after its header, in order.
inline std::vector<unsigned char> extractElementaryStream(const std::vector<unsigned char>& ts, int pid)
{
    std::vector<unsigned char> es;
    bool started = false;
    std::vector<unsigned char> pes;
    auto flush = [&]() {
        if (pes.size() >= 9 && pes[0] == 0 && pes[1] == 0 && pes[2] == 1) {
            size_t start = 9 + pes[8];
            if (pes[3] == 0xBF || pes[3] == 0xBE)
                start = 6;
            if (start < pes.size())
                es.insert(es.end(), pes.begin() + (long)start, pes.end());
        }
        pes.clear();
    };
    for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
        const unsigned char* p = &ts[i];
        if (p[0] != 0x47 || tsPid(p) != pid)
            continue;
        int off, len;
        tsPayload(p, &off, &len);
        if (len == 0)
            continue;
        if (p[1] & 0x40) {
            if (started)
                flush();
            started = true;
        }
        if (started)
            pes.insert(pes.end(), p + off, p + off + len);
    }
    if (started)
        flush();
    return es;
}

template <class Proc>
void feedInChunks(Proc& proc, const std::vector<unsigned char>& data, size_t chunk)
{
    std::vector<unsigned char> copy(data);
    for (size_t i = 0; i < copy.size(); i += chunk) {
        size_t n = std::min(chunk, copy.size() - i);
        proc.processRawBuff(copy.data() + i, (long long)n);
    }
}

}  // namespace elemtest

#endif
