#ifndef KORBALT_TESTS_FUZZHARNESS_H
#define KORBALT_TESTS_FUZZHARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Each runs one input through a part of the analyser. Shared by the fuzz targets
// and by the regression test that replays what they found. None of them keeps
// state from one input to the next; a fault shows as a sanitizer report or abort().
//
// The container paths (transport, FLV) read their last two input bytes as settings
// (chunking, duration limit, heartbeat clock) and the rest as the stream, so a seed
// that is a plain stream keeps its packets at offset 0.
void fuzzTransportPath(const uint8_t* data, size_t size);
void fuzzFlvPath(const uint8_t* data, size_t size);
void fuzzPsiReaders(const uint8_t* data, size_t size);
void fuzzPesReaders(const uint8_t* data, size_t size);
void fuzzAudioReaders(const uint8_t* data, size_t size);
void fuzzH262Readers(const uint8_t* data, size_t size);
void fuzzH264Readers(const uint8_t* data, size_t size);

typedef void (*FuzzHarnessFunction)(const uint8_t* data, size_t size);

// The harness of a target by its executable name ("fuzz_transport", ...); null when unknown.
FuzzHarnessFunction getFuzzHarness(const std::string& targetName);
// Every target name, in a fixed order.
std::vector<std::string> getFuzzTargetNames();

// Options of the container paths, exposed so tests can build inputs that pick them.
struct FuzzPathSettings {
    int chunkMode;        // 0 whole, 1 fixed size, 2 small random, 3 large random
    unsigned chunkSize;   // mode 1: 1..64
    unsigned seed;        // modes 2, 3
    int durationSeconds;  // 0 (all) or 1..3
    bool fastClock;       // the heartbeat clock jumps a second per look
    // Derived, not encoded: for a cut stream without a duration limit and a quarter of the
    // seeds, the stream also runs whole and the two text reports must be equal.
    bool compareWhole;
};
FuzzPathSettings decodeFuzzPathSettings(const uint8_t* data, size_t size);
// The two setting bytes to append to a stream so that it runs with these settings.
void encodeFuzzPathSettings(const FuzzPathSettings& settings, uint8_t out[2]);

// Counters of the last container-path run on this thread, for tests that check the
// harness really reached the report.
struct FuzzPathResult {
    size_t chunks;
    size_t messages;
    bool xmlParsed;
    bool txtWritten;
    std::string txtReport;  // the reports' text, when kept (setFuzzKeepReports)
    std::string xmlReport;
};
const FuzzPathResult& getLastFuzzPathResult();
// Off by default (the fuzz targets): the reports are only written, parsed and removed.
void setFuzzKeepReports(bool keep);

#endif
