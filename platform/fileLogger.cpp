#include "platform/fileLogger.h"
#include "platform/posixThreads.h"

#include <cstdio>
#include <cstring>

static FILE* m_pLogFile = nullptr;
static pthread_mutex_t m_LogMutex;

int initFileLogger(const char* name)
{
    if (m_pLogFile || !name)
        return 0;
    FILE* f = fopen(name, "a");
    if (!f)
        return 0;
    if (initPosixMutex(&m_LogMutex) != 0) {
        // Without a lock, concurrent writers could interleave: keep logging off.
        fclose(f);
        return 0;
    }
    m_pLogFile = f;
    return 1;
}

bool logMsg(const char* text)
{
    if (!m_pLogFile || !text)
        return false;
    if (lockPosixMutex(&m_LogMutex) != 0)
        return false;
    if (m_pLogFile) {
        fwrite(text, 1, strlen(text), m_pLogFile);
        fflush(m_pLogFile);
    }
    return unlockPosixMutex(&m_LogMutex) == 0;
}

int shutdownFileLogger()
{
    if (!m_pLogFile)
        return 0;
    FILE* f = m_pLogFile;
    m_pLogFile = nullptr;
    fflush(f);
    fclose(f);
    destroyPosixMutex(&m_LogMutex);
    return 0;
}
