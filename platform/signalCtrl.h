#ifndef KORBALT_PLATFORM_SIGNALCTRL_H
#define KORBALT_PLATFORM_SIGNALCTRL_H

#include <csignal>

typedef void (*SignalHandler)(int);
typedef void (*RtSignalHandler)(int, siginfo_t*, void*);

void emptySignalSet(sigset_t* set);
void addSignalToSet(sigset_t* set, int signal);

// Per calling thread.
void setBlockedThreadSignals(const sigset_t* set, sigset_t* oldSet);
void setUnblockedThreadSignals(const sigset_t* set, sigset_t* oldSet);

// Process mask (the calling thread's, which new threads inherit). The call's result.
int setBlockedSignals(const sigset_t* set, sigset_t* oldSet);
int setSignalsMask(const sigset_t* set);

// Waits for a signal with mask in force.
void suspendForSignal(const sigset_t* mask);
// Waits until a signal of set is pending; the call's result (0 or -1).
int waitForSignal(const sigset_t* set);

// Plain handler, flags 0 (no SA_RESTART: a blocking call is interrupted), empty mask.
// 0, or -1 after logging "sigaction call failed\n".
int addSignalHandler(int signal, SignalHandler handler);
// Three-argument handler with SA_SIGINFO. 0 or -1.
int addRtSignalHandler(int signal, RtSignalHandler handler);

#endif
