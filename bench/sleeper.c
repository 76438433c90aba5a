/*
 * sleeper - the yardstick of the idle measurement (bench/idle.sh): a process
 * that does nothing but wake every 100 ms, as the core's housekeeping tick
 * does, for the given number of seconds. It then prints, as key=value lines,
 * its own CPU time over that time in per cent of one core (the kernel's
 * nanosecond run time, CLOCK_PROCESS_CPUTIME_ID) and its context switches per
 * second: what waking ten times a second costs on this machine by itself.
 *
 * Usage: sleeper SECONDS
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#define TICK_NS 100000000L

static double seconds_of(const struct timespec *t)
{
    return (double)t->tv_sec + (double)t->tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    struct timespec start, next, end, cpu_start, cpu_end;
    struct rusage usage;
    long ticks, i;
    double wall;

    if (argc != 2 || atof(argv[1]) <= 0) {
        fprintf(stderr, "Usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    ticks = (long)(atof(argv[1]) * 10);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_start);
    clock_gettime(CLOCK_MONOTONIC, &start);
    next = start;
    for (i = 0; i < ticks; ++i) {
        next.tv_nsec += TICK_NS;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) != 0) {
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_end);
    getrusage(RUSAGE_SELF, &usage);
    wall = seconds_of(&end) - seconds_of(&start);
    printf("reference_cpu_pct=%.4f\n",
           100 * (seconds_of(&cpu_end) - seconds_of(&cpu_start)) / wall);
    printf("reference_wakeups_per_s=%.1f\n", (usage.ru_nvcsw + usage.ru_nivcsw) / wall);
    return 0;
}
