/* Runs a program and writes its CPU time and peak memory to a file, for bench/scale_bench.py;
 * with --no-thp, transparent huge pages are refused for it, as on a system that gives none.
 * A small launcher, so that the peak counts the program, not the memory of the caller that
 * forked it. Usage: run_usage REPORT [--no-thp] PROGRAM [ARGS]
 * REPORT gets "CPU_MICROSECONDS PEAK_KIB EXIT_STATUS". */
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int first = 2;
    int noHugePages = argc > 2 && strcmp(argv[2], "--no-thp") == 0;
    if (noHugePages) ++first;
    if (argc <= first) {
        fprintf(stderr, "usage: %s REPORT [--no-thp] PROGRAM [ARGS]\n", argv[0]);
        return 2;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 1;
    }
    if (child == 0) {
        /* The setting is kept across exec. */
        if (noHugePages && prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) _exit(126);
        execv(argv[first], argv + first);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("wait4");
        return 1;
    }
    FILE* report = fopen(argv[1], "w");
    if (!report) {
        perror(argv[1]);
        return 1;
    }
    long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
               usage.ru_stime.tv_usec;
    fprintf(report, "%ld %ld %d\n", cpu, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    return fclose(report) == 0 ? 0 : 1;
}
