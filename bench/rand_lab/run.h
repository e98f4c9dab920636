// One run: what it measures, its workers (and a fork child's, as the parent
// received them), its fork's plan, its files and the buffers its appends
// need, all of them allocated before anything is measured or written.
#ifndef RAND_LAB_RUN_H
#define RAND_LAB_RUN_H

#include "measure.h"
#include "options.h"
#include "threads.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// A --fork run's plan and what it holds (the pipe, the shared page), defined
// by the system's fork_check file.
struct ForkPlanFree {
    void operator()(ForkPlan *plan) const;
};

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
    std::vector<char> lines; // the samples file's lines, formatted
    std::unique_ptr<ForkPlan, ForkPlanFree> fork;
    FILE *timeFile = nullptr;
    FILE *samplesFile = nullptr;
    FILE *keepFile = nullptr;
    FILE *layoutFile = nullptr; // the kept bytes' layout, beside them
    std::string layoutName;
};

#endif
