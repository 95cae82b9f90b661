#ifndef KORBALT_ENGINE_KORBALT_H
#define KORBALT_ENGINE_KORBALT_H

// The command-line driver: option parsing, report and log naming, start-up and
// shutdown of one analysis, the listener thread that moves the findings from the
// message pool to the report, and the timing statistics.

#include "engine/msgCallback.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <string>

class StreamDecoder;
class StreamMessage;
class StreamMessagePool;

// Source kinds of the command line.
enum {
    CMD_SOURCE_NONE = 0,
    CMD_SOURCE_FILE = 1,
    CMD_SOURCE_NETWORK = 2
};

const int KORBALT_TEXT_FIELD = 1024;  // every text field: 1023 characters and the zero

// Results of parseCmdLine.
const int CMD_LINE_OK = 0;
const int CMD_LINE_USAGE = -1;
const int CMD_LINE_TOO_LONG = -2;

// Module state set by parseCmdLine (and main).
extern int eSource;
extern char m_acFileName[KORBALT_TEXT_FIELD];
extern char m_acReportDir[KORBALT_TEXT_FIELD];
extern char m_acReportName[KORBALT_TEXT_FIELD];
extern char m_acLogFileName[KORBALT_TEXT_FIELD];
extern char m_acOutgoingQueueName[KORBALT_TEXT_FIELD];
extern uint32_t m_iIpAddr;   // first dotted number in bits 31..24
extern uint16_t m_iPort;
extern uint32_t m_iIntIp;
extern bool m_bDump;
extern bool m_bReportTxtType;  // true: text report, false: XML
extern int m_AnalysisDuration; // seconds from the start of the asset; 0 = all
extern std::atomic<bool> bKeepListening;
extern pthread_t m_uliMsgReader;
extern std::atomic<StreamDecoder*> pcStreamDecoder;

// Defaults of a run: no source, text report, no dump, duration 0, every text empty.
void resetCmdLineDefaults();

// 0 when a source was given, -1 for a usage error (the usage text is due), -2 when the
// file name does not fit. Never reads past argv[argc - 1]; a value that does not fit its
// field is refused (-1), never cut.
int parseCmdLine(int argc, char** argv);

// "a.b.c.d" packed with a in bits 31..24. The text is split in place.
uint32_t parseIpString(char* text);
// The reverse: "%d.%d.%d.%d" from the most significant byte down.
std::string formatDottedIp(uint32_t address);

// The ten-line usage text, each line ending in "\n".
std::string usageText();
void printHelp();

void handlerCtrlC(int signal);

// Names of a run's outputs.
struct ReportNames {
    std::string sourceLabel;   // file name without directory, or the dotted address
    std::string fileNameText;  // "File Name" of the summary: the full path, empty for network
    std::string logName;       // directory + (report name | time stamp) + "_log.txt"
    std::string reportBase;    // directory + (report name | source label): the whole report name
};

// ctime's text of t with every blank and ':' made '_' and the newline dropped.
std::string makeTimeStamp(time_t t);

// The names for the words parsed into the module state, at time now. 0, or -1 when a
// name does not fit its 1024-byte field (refused, never cut). Fills m_acLogFileName
// (and m_acReportDir with "./" when it was empty), as main does.
int buildReportNames(time_t now, ReportNames* names);

// The same from explicit values (no module state touched).
int buildReportNamesFrom(int source, const char* fileName, uint32_t ipAddr, const char* reportDir,
                         const char* reportName, time_t now, ReportNames* names);

// The report name to use for an input file: the report base as it stands, unless it names
// the input itself (the same file, or, for an input that does not exist, the same path),
// in which case ".txt" or ".xml" is appended so that the report can never replace or
// shadow the input.
std::string reportNameForInput(const std::string& reportBase, const char* inputFileName, bool xml);
// The same for the log, which is appended to: ".txt" is appended while the name leads to
// the input. Empty when every name tried still does (hard links), and the run then
// keeps no log rather than write into its input.
std::string logNameForInput(const std::string& logName, const char* inputFileName);

// "HH:MM:SS" of a processor time of ticks microseconds; 75.5 s gives "00:01:15.5".
std::string formatProcessTime(long long ticks);
// The "Time Statistics:" block; returns the ReportProcessTime text.
std::string printTimeStatistics(FILE* out, long long startTicks, long long endTicks);

// main's registrations, in registration order. The status-alive entry (63) is last and is
// registered only with an outgoing queue.
struct CallbackRegistration {
    _CallbackId id;
    MsgCallbackFunction function;
    bool repeat;
};
const CallbackRegistration* getCallbackRegistrations(int* count);
// Registers the table; returns the number of registrations made.
int registerAnalysisCallbacks(MsgCallback* registry, bool withStatusAlive);

// Listener. The report and the driver's summary additions never run at the same time:
// both take the report lock (lockReport/unlockReport) around each touch of the report.
void lockReport();
void unlockReport();

// How the listener files a message it does not turn into a notice; takes ownership.
typedef void (*ListenerFileFunction)(StreamMessage* message, void* context);

struct ListenerConfig {
    StreamMessagePool* pool;
    ListenerFileFunction fileMessage;
    void* context;
    const char* outgoingQueueName;     // null or empty: no notices
    std::atomic<bool>* keepListening;
    int pollIntervalMs;                // sleep when idle and after a notice (1000 in a run)
    int noticesSent;                   // out: notices that reached the queue
    int noticesDropped;                // out: notices the full queue refused
};

// The listener loop on any pool and filing function; returns when keepListening is
// false and the pool is drained. The outgoing queue is opened non-blocking: a full one
// drops notices and never stalls the loop.
void runListener(ListenerConfig* config);

// Body of the listener thread; its argument is the StreamReport. Uses bKeepListening and
// m_acOutgoingQueueName.
void* recieveEngineMessages(void* report);

// The program: returns the exit status (0, or 1 when the input could not be analysed
// or the report could not be written).
int korbaltMain(int argc, char** argv);

#endif
