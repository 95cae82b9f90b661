#ifndef KORBALT_PLATFORM_DEBUGMAP_H
#define KORBALT_PLATFORM_DEBUGMAP_H

// printf-style line to the log file; dropped while logging is off.
// Texts longer than 1023 characters are cut at 1023.
bool fileLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Console variant with a level prefix (1 info, 2 location).
void debugPrint(int level, const char* function, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

#endif
