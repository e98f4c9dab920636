// One run: what it measures, its workers (and a fork child's, as the parent
// received them), its files and the buffers its appends need, all of them
// allocated before anything is measured or written.
#ifndef RAND_LAB_RUN_H
#define RAND_LAB_RUN_H

#include "measure.h"
#include "options.h"
#include "threads.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Run {
    explicit Run(const Options &given) : options(given), bytes(static_cast<int>(given.bytes)) {}

    const Options &options;
    int bytes;
    std::string label;
    std::string childLabel;
    std::vector<Worker> workers;
    std::vector<Worker> child;
    Section section;
    Section childSection;
    // The records' labels, samples and seconds, as append_records takes them.
    std::vector<const char *> names;
    std::vector<uint64_t *> samples;
    std::vector<double> seconds;
    std::vector<char> lines;             // the samples file's lines, formatted
    std::vector<unsigned char> next;     // the parent's request after the fork
    std::vector<unsigned char> received; // a child thread's call 0, as received
    FILE *timeFile = nullptr;
    FILE *samplesFile = nullptr;
    FILE *keepFile = nullptr;
    FILE *layoutFile = nullptr; // the kept bytes' layout, beside them
    std::string layoutName;
};

#endif
