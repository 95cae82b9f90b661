#include "tests/fuzz/fuzzHarness.h"

void fuzzTransportPath(const uint8_t*, size_t) {}
void fuzzFlvPath(const uint8_t*, size_t) {}
void fuzzPsiReaders(const uint8_t*, size_t) {}
void fuzzPesReaders(const uint8_t*, size_t) {}
void fuzzAudioReaders(const uint8_t*, size_t) {}
void fuzzH262Readers(const uint8_t*, size_t) {}
void fuzzH264Readers(const uint8_t*, size_t) {}
