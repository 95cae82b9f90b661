#ifndef KORBALT_PLATFORM_POSIXTHREADS_H
#define KORBALT_PLATFORM_POSIXTHREADS_H

#include <pthread.h>
#include <cstddef>

// Results: 0 success, 1 failure.
int createPosixThread(pthread_t* threadId, void* (*function)(void*), void* argument);
int joinPosixThread(pthread_t threadId, void** result);
void exitPosixThread(void* value);
int setPosixThreadStackSize(size_t size);
int getPosixThreadStackSize(size_t* size);

int initPosixMutex(pthread_mutex_t* mutex);
int destroyPosixMutex(pthread_mutex_t* mutex);
int lockPosixMutex(pthread_mutex_t* mutex);
int unlockPosixMutex(pthread_mutex_t* mutex);
int trylockPosixMutex(pthread_mutex_t* mutex);

int sendSignalToThread(pthread_t threadId, int signal);

#endif
