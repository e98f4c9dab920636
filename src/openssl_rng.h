// The benchmark runs: each makes 1024 cycle-timed calls of one OpenSSL
// generator on the same 16384-byte block pbdata and appends one record to
// timeFile. A run returns 0, or non-zero when it could not do all of that.
// Appends are whole or nothing, and safe against other processes appending
// to the same files: a record that cannot be appended whole leaves the file
// as it was and timeFile's error indicator set, for close_results to report.
#ifndef OPENSSL_RNG_OPENSSL_RNG_H
#define OPENSSL_RNG_OPENSSL_RNG_H

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Times RAND_bytes; creates "RAND_bytes.bin" but never writes it. When that
// file cannot be opened, nothing is measured and nothing appended.
int rand_bytes_API(FILE *timeFile, BYTE *pbdata);

// Times RAND_priv_bytes, and after each call appends the block, failed calls'
// included, to "RAND_priv_bytes.bin" (outside the measured interval, inside
// the loop's seconds). When that file cannot be opened, nothing is measured
// and nothing appended. When a block cannot be appended whole, it is
// reported and none of it stays, no more are appended, the record is still
// appended, and the run returns non-zero.
int rand_priv_bytes_API(FILE *timeFile, BYTE *pbdata);

// Appends the 16384 bytes at pbBuffer to fp in one write.
void store_Data(FILE *fp, void *pbBuffer);

// Appends the record of the sample t (tlen counts over programRun seconds)
// under the label name to the results stream timeFile, as the runs append
// theirs: whole or not at all, under the file's lock. Leaves t sorted.
// Returns whether it was appended; if not, errno says why and timeFile's
// error indicator is set.
bool append_record(FILE *timeFile, const char *name, uint64_t *t, size_t tlen,
                   double programRun);

// The same for count records at once, the k-th of the sample samples[k]
// (tlen counts over seconds[k] seconds) under the label names[k]: all of
// them are appended, in that order, or none. Leaves every sample sorted.
bool append_records(FILE *timeFile, const char *const *names, uint64_t *const *samples,
                    size_t count, size_t tlen, const double *seconds);

// For the programs that start a run. close_results closes the results
// stream and, if this process's record did not reach the file, says so on
// standard output; it returns whether the record is there.
// finish_standard_output flushes standard output at the end of the process
// and, if it could not be written, says so on standard error and returns 1;
// otherwise it returns status.
bool close_results(FILE *timeFile);
int finish_standard_output(int status);

#endif
