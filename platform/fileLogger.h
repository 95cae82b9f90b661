#ifndef KORBALT_PLATFORM_FILELOGGER_H
#define KORBALT_PLATFORM_FILELOGGER_H

// One log file per process; every line is flushed as it is written.
int initFileLogger(const char* name);
bool logMsg(const char* text);
int shutdownFileLogger();

#endif
