// The median as the record states it: the middle count, or for an even
// count the middle pair's mean rounded down. One place, so that the record,
// the lab's drivers and the hand-written reference loops can differ only in
// what they measure, never in how they round.
#ifndef OPENSSL_RNG_MEDIAN_H
#define OPENSSL_RNG_MEDIAN_H

#include <cstddef>
#include <cstdint>

// The median of the count values of sorted, which must be ascending and
// hold at least one value. The pair is halved without forming its sum,
// which could wrap past 2^64.
inline uint64_t sorted_median(const uint64_t *sorted, size_t count)
{
    if (count % 2 == 1) {
        return sorted[count / 2];
    }
    const uint64_t lower = sorted[(count / 2) - 1];
    const uint64_t upper = sorted[count / 2];
    return (lower / 2) + (upper / 2) + (lower & upper & 1U);
}

#endif
