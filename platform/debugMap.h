#ifndef KORBALT_PLATFORM_DEBUGMAP_H
#define KORBALT_PLATFORM_DEBUGMAP_H

// printf-style line to the log file; dropped while logging is off.
// Texts longer than 1023 characters are cut at 1023.
bool fileLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For a line that a damaged stream can repeat without end (once a packet, for days, on a
// live feed): occurrence count (1 for the first) is written while it is at most limit,
// and the one at limit is followed by further, which takes the same arguments. After
// that nothing is written, so the log stays bounded; the report keeps its own counts.
constexpr unsigned long long LOGGED_REPEAT_LIMIT = 10000;
bool fileLogCapped(unsigned long long count, const char* further, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Console variant with a level prefix (1 info, 2 location).
void debugPrint(int level, const char* function, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

#endif
