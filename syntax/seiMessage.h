#ifndef KORBALT_SYNTAX_SEIMESSAGE_H
#define KORBALT_SYNTAX_SEIMESSAGE_H

// H.264 SEI message headers and registered ITU-T T.35 user data.

struct ItuDataRegistered {
    unsigned int user_identifier;             // "GA94" for ATSC
    unsigned short itu_t_t35_provider_code;
    unsigned short itu_t_t35_country_code;    // 0xFF00 | extension byte when escaped
};

// Payload type and size, each coded as 255 per leading 0xFF byte plus the first other byte.
// Returns the bytes of both, or 0 when the data ends before they are complete.
int getSeiMsgTypeAndSize(const unsigned char* p, int length, unsigned int* type,
                         unsigned int* size);

// Zeroes the record and reads the country code; only for country code 0xB5 the provider code
// and the user identifier follow. Returns the bytes read (the offset of the next byte), or 0
// when the data ends first.
int fillItuDataRegistered(const unsigned char* p, int length, ItuDataRegistered* data);

// True when the two bytes are 0x80 0x00 (a stop bit and alignment zeros, then padding).
bool isRbspTrailingBits(const unsigned char* p, int length);

#endif
