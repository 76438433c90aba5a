/* sleeper SECONDS: the idle core's yardstick, waking every 100 ms as the core's
 * tick does; prints its CPU share and context switches per second. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

static double seconds_of(clockid_t clock)
{
    struct timespec t;

    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    struct timespec next;
    struct rusage usage;
    double cpu = seconds_of(CLOCK_PROCESS_CPUTIME_ID), wall = seconds_of(CLOCK_MONOTONIC);
    long ticks = argc == 2 ? (long)(atof(argv[1]) * 10) : 0, i;

    if (ticks <= 0) {
        fprintf(stderr, "Usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (i = 0; i < ticks; ++i) {
        next.tv_nsec += 100000000L;
        next.tv_sec += next.tv_nsec / 1000000000L;
        next.tv_nsec %= 1000000000L;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) != 0) {
        }
    }
    wall = seconds_of(CLOCK_MONOTONIC) - wall;
    cpu = seconds_of(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    getrusage(RUSAGE_SELF, &usage);
    printf("reference_cpu_pct=%.4f\n", 100 * cpu / wall);
    printf("reference_wakeups_per_s=%.1f\n", (usage.ru_nvcsw + usage.ru_nivcsw) / wall);
    return 0;
}
