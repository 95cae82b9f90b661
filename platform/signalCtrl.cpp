#include "platform/signalCtrl.h"
#include "platform/debugMap.h"

#include <cerrno>
#include <pthread.h>

void emptySignalSet(sigset_t* set)
{
    sigemptyset(set);
}

void addSignalToSet(sigset_t* set, int signal)
{
    sigaddset(set, signal);
}

void setBlockedThreadSignals(const sigset_t* set, sigset_t* oldSet)
{
    pthread_sigmask(SIG_BLOCK, set, oldSet);
}

void setUnblockedThreadSignals(const sigset_t* set, sigset_t* oldSet)
{
    pthread_sigmask(SIG_UNBLOCK, set, oldSet);
}

int setBlockedSignals(const sigset_t* set, sigset_t* oldSet)
{
    return sigprocmask(SIG_BLOCK, set, oldSet);
}

int setSignalsMask(const sigset_t* set)
{
    return sigprocmask(SIG_SETMASK, set, nullptr);
}

void suspendForSignal(const sigset_t* mask)
{
    sigsuspend(mask);
}

int waitForSignal(const sigset_t* set)
{
    int sig = 0;
    return sigwait(set, &sig) == 0 ? 0 : -1;
}

int addSignalHandler(int signal, SignalHandler handler)
{
    struct sigaction sSigAct = {};
    sSigAct.sa_handler = handler;
    sSigAct.sa_flags = 0;
    sigemptyset(&sSigAct.sa_mask);
    fileLog("setting up signal handler: sSigAct.sa_flags = %d\n", sSigAct.sa_flags);
    if (sigaction(signal, &sSigAct, nullptr) != 0) {
        int err = errno;
        fileLog("sigaction call failed\n");
        errno = err;
        return -1;
    }
    return 0;
}

int addRtSignalHandler(int signal, RtSignalHandler handler)
{
    struct sigaction sSigAct = {};
    sSigAct.sa_sigaction = handler;
    sSigAct.sa_flags = SA_SIGINFO;
    sigemptyset(&sSigAct.sa_mask);
    if (sigaction(signal, &sSigAct, nullptr) != 0) {
        int err = errno;
        fileLog("sigaction call failed\n");
        errno = err;
        return -1;
    }
    return 0;
}
