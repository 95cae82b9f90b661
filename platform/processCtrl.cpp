#include "platform/processCtrl.h"

#include <csignal>
#include <unistd.h>

int getProcessId()
{
    return (int)getpid();
}

int getParentProcessId()
{
    return (int)getppid();
}

void sendSignalToProcess(int processId, int signal)
{
    (void)kill((pid_t)processId, signal);
}
