// What an executable of rand_lab measures, defined by the one subject file
// CMake links into it: subject_openssl.cpp (OpenSSL's RAND_bytes,
// RAND_priv_bytes and AES-256-CTR, in rand_lab itself) or subject_source.cpp
// (a bench/sources generator's source_fill, in rand_lab-NAME). Everything
// else is the same code in every executable.
#ifndef RAND_LAB_SUBJECT_H
#define RAND_LAB_SUBJECT_H

#include "measure.h"
#include "options.h"
#include "threads.h"

#include <string>

// The source this executable measures itself: "openssl", or the source's.
const char *subject_source();

// The measured call as labels and messages name it: "RAND_bytes",
// "RAND_priv_bytes", "AES-256-CTR", or the source's name.
const char *subject_name(Subject subject);

// rand_lab's status for a source that this build made but that cannot run
// on this machine (its instruction not reported, the kernel's vDSO without
// getrandom, its library failing to start): a finding about the machine,
// told apart from a source not built here, a bad option (2), an error (1)
// and the fork's findings (3, 4). It comes with one line on standard error
// naming what is missing, and nothing is made or appended.
constexpr int kStatusCannotRunHere = 5;

// Before anything is measured: hands another source to its own executable,
// answers --version, or checks that this source can run here. Returns -1 to
// go on, else the status to end with.
int subject_start(const Options &options, int argc, char **argv);

// In the main thread, once the worker's buffers are allocated and before
// any file is opened: what the worker's calls need (a cipher's key).
// Returns "" or what went wrong, in one line.
std::string subject_prepare(Worker &w, const Options &options);

// A worker's thread: its generator state made, then at the start line the
// measured loop (measure.h) over the subject's own call, then the state
// released. Sets w.openError when the state cannot be made.
void subject_thread(Worker &w, const Options &options, StartLine &startLine);

// In a fork child: child's measured loop on the generator state that
// parent's thread was using, as the fork copied it (never released: the
// child ends without returning); after startLine lets it go, or at once
// without one.
void subject_child_thread(Worker &child, const Worker &parent, const Options &options,
                          StartLine *startLine);

// After the parent's threads: what the source says about itself and what it
// counted ("source" and "counter" lines); nothing for OpenSSL.
void subject_report();

#endif
