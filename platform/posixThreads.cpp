#include "platform/posixThreads.h"
#include "platform/debugMap.h"

#include <cerrno>
#include <csignal>

namespace {

// The workers lock every page of the process (mlockall), which makes a thread's whole
// stack resident: the default of 8 MB per thread would be most of the process's memory.
// No thread of the system needs more than a small fraction of this.
const size_t THREAD_STACK_SIZE = 1024 * 1024;

}  // namespace

int createPosixThread(pthread_t* threadId, void* (*function)(void*), void* argument)
{
    pthread_attr_t attr;
    bool haveAttr = pthread_attr_init(&attr) == 0;
    if (haveAttr && pthread_attr_setstacksize(&attr, THREAD_STACK_SIZE) != 0) {
        pthread_attr_destroy(&attr);
        haveAttr = false;  // the default size, then
    }
    int rc = pthread_create(threadId, haveAttr ? &attr : nullptr, function, argument);
    if (haveAttr)
        pthread_attr_destroy(&attr);
    if (rc != 0) {
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
