#ifndef KORBALT_TESTS_FUZZHARNESS_H
#define KORBALT_TESTS_FUZZHARNESS_H

#include <cstddef>
#include <cstdint>

// Each runs one input through a part of the analyser. Shared by the fuzz targets
// and by the regression test that replays what they found.
void fuzzTransportPath(const uint8_t* data, size_t size);
void fuzzFlvPath(const uint8_t* data, size_t size);
void fuzzPsiReaders(const uint8_t* data, size_t size);
void fuzzPesReaders(const uint8_t* data, size_t size);
void fuzzAudioReaders(const uint8_t* data, size_t size);
void fuzzH262Readers(const uint8_t* data, size_t size);
void fuzzH264Readers(const uint8_t* data, size_t size);

#endif
