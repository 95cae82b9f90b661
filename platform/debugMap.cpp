#include "platform/debugMap.h"
#include "platform/fileLogger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

bool fileLog(const char* format, ...)
{
    char line[1024];
    memset(line, 0, sizeof(line));
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);  // bounded: a longer text is cut at 1023
    va_end(args);
    return logMsg(line);
}

bool fileLogCapped(unsigned long long count, const char* further, const char* format, ...)
{
    if (count == 0 || count > LOGGED_REPEAT_LIMIT)
        return false;
    char line[1024];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    bool written = logMsg(line);
    if (count == LOGGED_REPEAT_LIMIT) {
        vsnprintf(line, sizeof(line), further, again);
        written = logMsg(line) && written;
    }
    va_end(again);
    return written;
}

void debugPrint(int level, const char* function, const char* file, int line, const char* format, ...)
{
    char buf[1024];
    memset(buf, 0, sizeof(buf));
    int used;
    if (level == 1)
        used = snprintf(buf, sizeof(buf), "INFO: ");
    else if (level == 2)
        used = snprintf(buf, sizeof(buf), "File: %s; Function: %s; Line: %d; ", file ? file : "",
                        function ? function : "", line);
    else
        used = snprintf(buf, sizeof(buf), "UNKNOWN LEVEL: ");
    if (used < 0)
        used = 0;
    if (used < (int)sizeof(buf)) {
        va_list args;
        va_start(args, format);
        vsnprintf(buf + used, sizeof(buf) - used, format, args);
        va_end(args);
    }
    fputs(buf, stdout);
}
