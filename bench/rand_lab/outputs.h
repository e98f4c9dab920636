// A run's files: the results file, and with --samples and --keep every
// call's count and bytes beside it, the bytes with their layout (FILE.layout:
// a "keep" line per run, saying where its bytes start and how they were
// asked for). All of them are appended together, through the program's own
// whole-append steps (src/results_file.h): all of them land whole, or none
// does.
#ifndef RAND_LAB_OUTPUTS_H
#define RAND_LAB_OUTPUTS_H

#include "run.h"

// The kept bytes' layout is FILE followed by this (rnglab/scan.py reads it).
constexpr const char *kLayoutSuffix = ".layout";

// Opens the results file and the files beside it, each only if it is a
// regular file (or absent), every name checked before any is opened. Returns
// -1 to go on, else the status to end with, having said why; whatever was
// opened is closed by close_outputs either way.
int open_outputs(Run &run);

// Every record, and the samples and kept bytes with them, under every
// file's lock, with signals held: all of them or, when any cannot be
// appended, none, each failure said in one line (the record's when the
// results file is closed). Returns whether all landed.
bool append_outputs(Run &run);

// Closes every file, and when the records were not appended (appended
// false, or the results file failed) removes every file this run made
// (remove_made_files): a failed run leaves no file it made, and every file it
// did not make as it was. Returns false, having said so, when the records did
// not reach the results file.
bool close_outputs(Run &run, bool appended);

#endif
