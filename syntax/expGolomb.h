#ifndef KORBALT_SYNTAX_EXPGOLOMB_H
#define KORBALT_SYNTAX_EXPGOLOMB_H

// MSB-first bit fields and Exp-Golomb codes, as H.264 syntax needs them.
//
// A read position is a byte pointer plus a bit offset 0..7 within that byte (0 = the most
// significant bit). Every reader takes the position and the end of the readable data (one past
// the last byte) and returns the number of bits it consumed; the caller advances its own
// position. A read that would run past the end, a width above 32 bits, an offset above 7 or an
// Exp-Golomb code whose value does not fit in 32 bits returns -1 and reads nothing outside
// [p, end).

// One ue(v) code. Returns 2n + 1 for n leading zero bits; n above 31 is refused.
int getExpGolombUe(const unsigned char* p, int bit, unsigned int* value, const unsigned char* end);

// One se(v) code (the ue(v) code k mapped to (-1)^(k+1) * ceil(k / 2)).
int getExpGolombSe(const unsigned char* p, int bit, int* value, const unsigned char* end);

// 8 bits; returns 8.
int getUnsignedChar(const unsigned char* p, unsigned int bit, unsigned char* value,
                    const unsigned char* end);

// 16 bits, high byte first; returns 16.
int getUnsignedShort(const unsigned char* p, unsigned int bit, unsigned int* value,
                     const unsigned char* end);

// 32 bits, high half first; the upper 32 bits of the result are 0; returns 32.
int getUnsignedLong(const unsigned char* p, unsigned int bit, unsigned long long* value,
                    const unsigned char* end);

// n bits shifted one at a time into *value from the right (value = value * 2 + bit). *value is
// not cleared first: set it to 0 before the call. Returns n, 0 for n below 1, -1 for n above 32
// or a read past the end.
int readNBitsUnsignedInt(const unsigned char* p, long bit, unsigned int n, unsigned int* value,
                         const unsigned char* end);

// A bounded read position that advances itself. The error flag is sticky: once a read has
// failed, every later read yields 0 and leaves the position alone, so a parser can read a whole
// structure and check the flag once at the end.
struct BitReader {
    const unsigned char* p;    // current byte
    unsigned int bit;          // 0..7 from the most significant bit
    const unsigned char* end;  // one past the last readable byte
    bool error;
};

void initBitReader(BitReader* reader, const unsigned char* data, long length);
// n of 0..32 bits; more is an error.
unsigned int readBits(BitReader* reader, unsigned int n);
bool readFlag(BitReader* reader);
unsigned int readUe(BitReader* reader);
int readSe(BitReader* reader);
void skipBits(BitReader* reader, unsigned long n);
// Bits still readable (0 after an error).
long getBitsLeft(const BitReader* reader);

#endif
