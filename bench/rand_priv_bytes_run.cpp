// Runs the RAND_priv_bytes benchmark once in the working folder, as the
// program's entry runs the RAND_bytes one: one record appended to
// "osslRb1a.txt" and 1024 blocks to "RAND_priv_bytes.bin".
#include "counter_probe.h"
#include "openssl_rng.h"
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
    return finish_run(timeFile, data, rand_priv_bytes_API(timeFile, data));
}
