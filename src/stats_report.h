// One run's cycle counts and seconds, summarised as a record in the results
// file.
#ifndef OPENSSL_RNG_STATS_REPORT_H
#define OPENSSL_RNG_STATS_REPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Appends the five-line record for the sample t of tlen counts to fp:
// the label name, then the total, median and average of the counts and the
// loop's programRun seconds. Leaves t sorted in ascending order. Write errors
// stay on fp's error indicator for the stream's owner to find.
void store_Time_Data(const char *name, uint64_t *t, size_t tlen, FILE *fp, double programRun);

#endif
