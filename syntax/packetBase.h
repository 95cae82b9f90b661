#ifndef KORBALT_SYNTAX_PACKETBASE_H
#define KORBALT_SYNTAX_PACKETBASE_H

// Fixed layout of a 188-byte MPEG-2 transport packet. Every function takes a
// pointer to the sync byte of one whole packet and never looks past its 188 bytes.

const unsigned int TS_PACKET_SIZE = 188;
const unsigned char TS_SYNC_BYTE = 0x47;

inline unsigned int getPacketPid(const unsigned char* packet)
{
    return ((packet[1] & 0x1Fu) << 8) | packet[2];
}
inline bool getPayloadUnitStart(const unsigned char* packet) { return (packet[1] & 0x40) != 0; }
inline unsigned int getAdaptationFieldControl(const unsigned char* packet) { return (packet[3] >> 4) & 0x03u; }
inline unsigned int getContinuityCounter(const unsigned char* packet) { return packet[3] & 0x0Fu; }

// Offset of the first payload byte: 4, or 5 + adaptation_field_length when an
// adaptation field precedes the payload. 188 (no payload) for adaptation_field_control
// 0 or 2, and for an adaptation field that would reach past the packet.
unsigned int getPacketPayloadOffset(const unsigned char* packet);

// Section bytes of a PSI packet (the payload is taken to start after any adaptation field).
// atSectionStart 0 and payload_unit_start_indicator set: the tail of the previous
//   section (pointer_field bytes, right after the pointer_field); skip is not used.
// otherwise: the payload from (1 if atSectionStart) + skip on. With atSectionStart 1,
//   skip is the pointer_field (getPointerField).
// *length is always bounded to the packet: a pointer_field that reaches past the
// packet gives what is left (tail) or 0 (section start). The pointer returned is never
// null; with *length 0 it must not be read.
unsigned char* getMpegPacketPrivateSectionRawData(unsigned char* packet, unsigned int skip,
                                                  unsigned int* length, int atSectionStart);

// pointer_field of a PUSI packet (the first payload byte), 0 when there is no payload.
unsigned int getPointerField(const unsigned char* packet);

// Both parts of one PSI packet in one call, everything bounded to the packet.
struct PsiPacketPayload {
    const unsigned char* tail;     // bytes that finish the section in progress
    unsigned int tailLength;
    const unsigned char* section;  // start of a new section (PUSI only) to the packet end
    unsigned int sectionLength;    // 0 when no new section starts here
    bool unitStart;                // payload_unit_start_indicator
};

// 0: filled. 1: no payload (adaptation_field_control 0 or 2, or an adaptation field
// that fills the packet). 2: PUSI with a pointer_field past the packet end (the tail is
// what is left of the packet, no section start).
int getPsiPacketPayload(const unsigned char* packet, PsiPacketPayload* out);

// ---- searching a buffer of whole packets
// Offsets are counted from the start of the buffer, packets lie at from, from +/- 188, ...;
// only packets wholly inside the first length bytes and starting with the sync byte are
// read. A partial packet at the end of the buffer is never looked at.

// Offset of the first packet of pid at from or after it (backward: at from or before
// it, stepping back 188 bytes); -1 when there is none.
long findPidPacket(const unsigned char* buffer, unsigned long length, long from, unsigned int pid,
                   bool backward = false);

// Offset of the first packet of pid at from or after it whose adaptation field carries
// a PCR (adaptation_field_length and the packet hold all six bytes); -1 when none.
long findPcrPacket(const unsigned char* buffer, unsigned long length, long from, unsigned int pid);

// Caller's test that the bytes gathered so far hold a whole section.
typedef bool (*SectionCompleteTest)(const unsigned char* section, unsigned int length);

// The usual test: the 3-byte header is there and 3 + section_length bytes follow from it.
bool isPsiSectionComplete(const unsigned char* section, unsigned int length);

const int SECTION_GATHERED = 0;
const int SECTION_BUFFER_ENDED = 1;  // the buffer ended before the section was complete
const int SECTION_TOO_LONG = 2;      // capacity filled before the section was complete

// Gathers into out (capacity bytes) the first section of pid that starts at from or
// after it, across the packets of pid, until complete says it is whole. A packet that
// breaks the section (a continuity counter gap, or a new section start before the
// test is satisfied) drops what was gathered, and gathering goes on from the next
// section start. A repeated packet (same counter) is skipped. *gathered is the number of
// bytes in out (the section and what followed it in its last packet, as far as it fits);
// *next, when given, the offset after the last packet used.
int gatherPidSection(const unsigned char* buffer, unsigned long length, long from, unsigned int pid,
                     SectionCompleteTest complete, unsigned char* out, unsigned int capacity,
                     unsigned int* gathered, long* next = nullptr);

#endif
