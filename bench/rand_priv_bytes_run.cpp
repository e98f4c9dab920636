// Runs the RAND_priv_bytes benchmark once in the working folder, as the
// program's entry runs the RAND_bytes one: one record appended to
// "osslRb1a.txt" and 1024 blocks to "RAND_priv_bytes.bin".
#include "openssl_rng.h"
#include "run_constants.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    guard_process_files();
    // Zeroed, as the program's is: a call that fails without writing the
    // block must not put old heap into the data file.
    auto *data = static_cast<BYTE *>(calloc(1, kBlockSize));
    if (data == nullptr) {
        printf("Cannot allocate the %d-byte block: %s\n", kBlockSize,
               strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return 1;
    }
    FILE *timeFile = fopen(kResultsFile, "a+");
    if (timeFile == nullptr) {
        printf("Cannot open \"%s\": %s\n", kResultsFile, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        free(data);
        return 1;
    }
    const int status = rand_priv_bytes_API(timeFile, data);
    const bool recorded = close_results(timeFile);
    free(data);
    return finish_standard_output(status == 0 && recorded ? 0 : 1);
}
