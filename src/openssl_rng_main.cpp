// The program's entry: runs the RAND_bytes benchmark once in the working
// folder, appending its record to "osslRb1a.txt", and prints how long the
// run took. A processor that cannot run the counter's instructions gets one
// line and status 1, before any file is made.
#include "openssl_rng.h"

#include "counter_probe.h"
#include "platform.h"
#include "results_file.h"

#include <cstdio>

int main()
{
    guard_process_files();
    if (!counter_runs_here()) {
        return finish_standard_output(1);
    }
    BYTE *data = nullptr;
    FILE *timeFile = nullptr;
    if (!start_run(data, timeFile)) {
        return 1;
    }

    LARGE_INTEGER frequency;
    LARGE_INTEGER t1;
    LARGE_INTEGER t2;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t1);
    const int runStatus = rand_bytes_API(timeFile, data);
    QueryPerformanceCounter(&t2);
    if (runStatus == 0) {
        const double elapsedTime = seconds_between(t1, t2, frequency);
        printf("Program executed in: %f sec\n", elapsedTime);
    }

    return finish_run(timeFile, data, runStatus);
}
