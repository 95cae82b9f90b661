#ifndef KORBALT_PLATFORM_PROCESSCTRL_H
#define KORBALT_PLATFORM_PROCESSCTRL_H

int getProcessId();
int getParentProcessId();
void sendSignalToProcess(int processId, int signal);

#endif
