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

#endif
