#include "platform/posixThreads.h"
#include "platform/debugMap.h"

#include <cerrno>
#include <csignal>

int createPosixThread(pthread_t* threadId, void* (*function)(void*), void* argument)
{
    if (pthread_create(threadId, nullptr, function, argument) != 0) {
        fileLog("Failed to create thread\n");
        return 1;
    }
    return 0;
}

int joinPosixThread(pthread_t threadId, void** result)
{
    return pthread_join(threadId, result) == 0 ? 0 : 1;
}

void exitPosixThread(void* value)
{
    pthread_exit(value);
}

int setPosixThreadStackSize(size_t size)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        fileLog("Couldn't get thread attributes\n");
        return 1;
    }
    int rc = 0;
    if (pthread_attr_setstacksize(&attr, size) != 0) {
        fileLog("Couldn't set thread stacksize\n");
        rc = 1;
    }
    pthread_attr_destroy(&attr);
    return rc;
}

int getPosixThreadStackSize(size_t* size)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        fileLog("Couldn't get thread attributes\n");
        return 1;
    }
    int rc = 0;
    if (pthread_attr_getstacksize(&attr, size) != 0) {
        fileLog("Couldn't get thread stacksize\n");
        rc = 1;
    }
    pthread_attr_destroy(&attr);
    return rc;
}

int initPosixMutex(pthread_mutex_t* mutex)
{
    int rc = pthread_mutex_init(mutex, nullptr);
    if (rc != 0) {
        fileLog("Couldn't ini mutext errno %d\n", rc);
        return 1;
    }
    return 0;
}

int destroyPosixMutex(pthread_mutex_t* mutex)
{
    if (pthread_mutex_destroy(mutex) != 0) {
        fileLog("Mutex destroy failed\n");
        return 1;
    }
    return 0;
}

int lockPosixMutex(pthread_mutex_t* mutex)
{
    return pthread_mutex_lock(mutex) == 0 ? 0 : 1;
}

int unlockPosixMutex(pthread_mutex_t* mutex)
{
    return pthread_mutex_unlock(mutex) == 0 ? 0 : 1;
}

int trylockPosixMutex(pthread_mutex_t* mutex)
{
    return pthread_mutex_trylock(mutex) == 0 ? 0 : 1;
}

int sendSignalToThread(pthread_t threadId, int signal)
{
    return pthread_kill(threadId, signal) == 0 ? 0 : 1;
}
