/* Paced multicast sender for tools/netload.sh: sends a transport stream file, looped, in
 * datagrams of seven packets from 127.0.0.1 to a group on the loopback interface, at a
 * steady rate, for a number of seconds; then prints what it sent.
 *
 *   netsend FILE GROUP PORT MBITS SECONDS [DATAGRAM_BYTES]
 *
 * Only 239.255.0.0/16 (on loopback) and 127.0.0.0/8 are accepted as destinations: it is
 * meant for a private network namespace where loopback is the only interface. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long nowNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char** argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: %s FILE GROUP PORT MBITS SECONDS [DATAGRAM_BYTES]\n", argv[0]);
        return 2;
    }
    const char* file = argv[1];
    struct in_addr group;
    if (inet_pton(AF_INET, argv[2], &group) != 1) {
        fprintf(stderr, "netsend: bad address %s\n", argv[2]);
        return 2;
    }
    uint32_t g = ntohl(group.s_addr);
    if ((g >> 16) != 0xEFFF && (g >> 24) != 127) {
        fprintf(stderr, "netsend: only 239.255.x.x on loopback or 127.x.x.x\n");
        return 2;
    }
    int port = atoi(argv[3]);
    double mbits = atof(argv[4]);
    double seconds = atof(argv[5]);
    size_t chunk = argc > 6 ? (size_t)atol(argv[6]) : 7 * 188;
    if (port < 1 || port > 65535 || mbits <= 0 || seconds <= 0 || chunk < 1 || chunk > 65507) {
        fprintf(stderr, "netsend: bad arguments\n");
        return 2;
    }

    FILE* in = fopen(file, "rb");
    if (!in) {
        perror(file);
        return 1;
    }
    fseek(in, 0, SEEK_END);
    long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    /* Whole datagrams only, and enough copies that a datagram never wraps. */
    size_t usable = (size_t)size / chunk * chunk;
    if (usable == 0) {
        fprintf(stderr, "netsend: %s is smaller than one datagram\n", file);
        return 1;
    }
    unsigned char* data = malloc(usable);
    if (!data || fread(data, 1, usable, in) != usable) {
        fprintf(stderr, "netsend: cannot read %s\n", file);
        return 1;
    }
    fclose(in);

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct in_addr lo;
    lo.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo));
    int sndbuf = 4 * 1024 * 1024;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr*)&local, sizeof(local)) != 0) {
        perror("bind");
        return 1;
    }
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_addr = group;
    to.sin_port = htons((uint16_t)port);

    const double interval = chunk * 8.0 / (mbits * 1e6) * 1e9; /* ns between datagrams */
    const long long total = (long long)(seconds * 1e9 / interval);
    long long sent = 0, failed = 0, late = 0;
    size_t at = 0;
    const long long start = nowNs();
    for (long long i = 0; i < total; ++i) {
        long long due = start + (long long)(interval * (double)i);
        long long now = nowNs();
        if (due > now) {
            struct timespec ts = {(time_t)(due / 1000000000LL), (long)(due % 1000000000LL)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL);
        } else if (now - due > 1000000) {
            ++late; /* over a millisecond behind the schedule */
        }
        if (sendto(s, data + at, chunk, 0, (struct sockaddr*)&to, sizeof(to)) == (ssize_t)chunk)
            ++sent;
        else
            ++failed;
        at += chunk;
        if (at >= usable)
            at = 0;
    }
    double took = (nowNs() - start) / 1e9;
    printf("sent %lld datagrams %lld bytes failed %lld late %lld in %.3f s (%.1f Mbit/s)\n", sent,
           sent * (long long)chunk, failed, late, took, sent * (double)chunk * 8 / took / 1e6);
    close(s);
    free(data);
    return failed ? 1 : 0;
}
