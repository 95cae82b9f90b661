#include "syntax/expGolomb.h"

namespace {

// Bits readable from (p, bit) to end; negative when the position is already past it.
long long bitsAvailable(const unsigned char* p, long long bit, const unsigned char* end)
{
    if (p == nullptr || end == nullptr || bit < 0)
        return -1;
    return (long long)(end - p) * 8 - bit;
}

inline unsigned int bitAt(const unsigned char* p, long long bit)
{
    return (p[bit >> 3] >> (7 - (bit & 7))) & 1u;
}

}  // namespace

int getExpGolombUe(const unsigned char* p, int bit, unsigned int* value, const unsigned char* end)
{
    if (value == nullptr || bit > 7)
        return -1;
    long long avail = bitsAvailable(p, bit, end);
    if (avail <= 0)
        return -1;
    long long pos = bit;
    int zeros = 0;
    while (true) {
        if (zeros > 31)
            return -1;  // the value would not fit in 32 bits
        if (pos - bit >= avail)
            return -1;  // no terminating 1 bit before the end
        if (bitAt(p, pos))
            break;
        ++zeros;
        ++pos;
    }
    ++pos;  // the 1 bit
    if (zeros == 0) {
        *value = 0;
        return 1;
    }
    if (pos - bit + zeros > avail)
        return -1;
    unsigned long long b = 0;
    for (int i = 0; i < zeros; ++i, ++pos)
        b = (b << 1) | bitAt(p, pos);
    *value = (unsigned int)(((1ull << zeros) - 1) + b);
    return 2 * zeros + 1;
}

int getExpGolombSe(const unsigned char* p, int bit, int* value, const unsigned char* end)
{
    if (value == nullptr)
        return -1;
    unsigned int k = 0;
    int used = getExpGolombUe(p, bit, &k, end);
    if (used < 0)
        return -1;
    long long magnitude = ((long long)k + 1) / 2;
    *value = (int)((k & 1u) ? magnitude : -magnitude);
    return used;
}

int getUnsignedChar(const unsigned char* p, unsigned int bit, unsigned char* value,
                    const unsigned char* end)
{
    if (value == nullptr)
        return -1;
    if (bit > 7) {
        *value = 0;
        return -1;
    }
    if (bitsAvailable(p, bit, end) < 8)
        return -1;
    if (bit == 0)
        *value = p[0];
    else
        *value = (unsigned char)(((p[0] & (0xFFu >> bit)) << bit) | (p[1] >> (8 - bit)));
    return 8;
}

int getUnsignedShort(const unsigned char* p, unsigned int bit, unsigned int* value,
                     const unsigned char* end)
{
    if (value == nullptr)
        return -1;
    unsigned char hi = 0;
    unsigned char lo = 0;
    if (getUnsignedChar(p, bit, &hi, end) < 0 || getUnsignedChar(p + 1, bit, &lo, end) < 0)
        return -1;
    *value = ((unsigned int)hi << 8) | lo;
    return 16;
}

int getUnsignedLong(const unsigned char* p, unsigned int bit, unsigned long long* value,
                    const unsigned char* end)
{
    if (value == nullptr)
        return -1;
    unsigned int hi = 0;
    unsigned int lo = 0;
    if (getUnsignedShort(p, bit, &hi, end) < 0 || getUnsignedShort(p + 2, bit, &lo, end) < 0)
        return -1;
    *value = ((unsigned long long)hi << 16) | lo;
    return 32;
}

int readNBitsUnsignedInt(const unsigned char* p, long bit, unsigned int n, unsigned int* value,
                         const unsigned char* end)
{
    if (value == nullptr)
        return -1;
    if (n < 1)
        return 0;
    if (n > 32)
        return -1;
    // A bit offset beyond 7 is allowed here: it addresses the bytes after p.
    if (bitsAvailable(p, bit, end) < (long long)n)
        return -1;
    unsigned int v = *value;
    for (unsigned int i = 0; i < n; ++i)
        v = (v << 1) | bitAt(p, bit + i);
    *value = v;
    return (int)n;
}

void initBitReader(BitReader* reader, const unsigned char* data, long length)
{
    reader->p = data;
    reader->bit = 0;
    reader->end = (data != nullptr && length > 0) ? data + length : data;
    reader->error = (data == nullptr || length < 0);
}

namespace {

void advance(BitReader* reader, int used)
{
    unsigned int c = reader->bit + (unsigned int)used;
    reader->p += c / 8;
    reader->bit = c % 8;
}

}  // namespace

unsigned int readBits(BitReader* reader, unsigned int n)
{
    if (reader->error)
        return 0;
    unsigned int value = 0;
    int used = readNBitsUnsignedInt(reader->p, (long)reader->bit, n, &value, reader->end);
    if (used < 0) {
        reader->error = true;
        return 0;
    }
    advance(reader, used);
    return value;
}

bool readFlag(BitReader* reader)
{
    return readBits(reader, 1) != 0;
}

unsigned int readUe(BitReader* reader)
{
    if (reader->error)
        return 0;
    unsigned int value = 0;
    int used = getExpGolombUe(reader->p, (int)reader->bit, &value, reader->end);
    if (used < 0) {
        reader->error = true;
        return 0;
    }
    advance(reader, used);
    return value;
}

int readSe(BitReader* reader)
{
    if (reader->error)
        return 0;
    int value = 0;
    int used = getExpGolombSe(reader->p, (int)reader->bit, &value, reader->end);
    if (used < 0) {
        reader->error = true;
        return 0;
    }
    advance(reader, used);
    return value;
}

void skipBits(BitReader* reader, unsigned long n)
{
    if (reader->error)
        return;
    if ((unsigned long long)getBitsLeft(reader) < (unsigned long long)n) {
        reader->error = true;
        return;
    }
    unsigned long long c = reader->bit + (unsigned long long)n;
    reader->p += c / 8;
    reader->bit = (unsigned int)(c % 8);
}

long getBitsLeft(const BitReader* reader)
{
    if (reader->error)
        return 0;
    long long avail = bitsAvailable(reader->p, reader->bit, reader->end);
    return avail > 0 ? (long)avail : 0;
}
