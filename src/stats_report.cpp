#include "stats_report.h"

#include "median.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

int cmp_llu(const void *a, const void *b)
{
    const uint64_t first = *static_cast<const uint64_t *>(a);
    const uint64_t second = *static_cast<const uint64_t *>(b);
    if (first < second) {
        return -1;
    }
    return first > second ? 1 : 0;
}

// Sorts l in place.
uint64_t median(uint64_t *l, size_t llen)
{
    if (llen < 2) {
        printf("Not enought values for median\n");
        return llen == 1 ? l[0] : 0;
    }
    qsort(l, llen, sizeof(uint64_t), cmp_llu);
    return sorted_median(l, llen);
}

// The sum wraps modulo 2^64 on purpose: an interval that went backwards is
// stored as its wrapped value, and adding it back in wraps the sum home.
// A zero sum (including an empty sample) has an average of zero.
uint64_t average(const uint64_t *t, size_t tlen)
{
    uint64_t acc = 0;
    for (size_t i = 0; i < tlen; i++) {
        acc += t[i];
    }
    return acc != 0 ? acc / tlen : 0;
}

} // namespace

void store_Time_Data(const char *name, uint64_t *t, size_t tlen, FILE *fp, double programRun)
{
    fprintf(fp, "%s\n", name);

    uint64_t sum = 0;
    for (size_t i = 0; i < tlen; i++) {
        sum += t[i];
    }
    // The average is taken before the median reorders the sample.
    const uint64_t avg = average(t, tlen);
    const uint64_t med = median(t, tlen);

    fprintf(fp,
            "TOTAL:      %llu cycles\n"
            "MEDIAN:     %llu cpucycles\n"
            "AVERAGE:    %llu cpucycles\n"
            "EXECUTED in %f s\n",
            static_cast<unsigned long long>(sum), static_cast<unsigned long long>(med),
            static_cast<unsigned long long>(avg), programRun);
}
