#ifndef KORBALT_PLATFORM_PAGINGLOCK_H
#define KORBALT_PLATFORM_PAGINGLOCK_H

// Locks all pages of the process: the current ones (futureToo 0) or current and future.
// 0 or -1. Applies to the whole process, not to one thread.
int lockProcessPagesInRam(int futureToo);
// 0 or -1.
int unlockProcessPages();

#endif
