#include "tests/fuzz/fuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzAudioReaders(data, size);
    return 0;
}
