#include "tests/fuzz/fuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzH262Readers(data, size);
    return 0;
}
