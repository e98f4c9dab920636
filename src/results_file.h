// The program's files and how it ends: every file opened only if it is a
// regular one, every append whole or not at all, under the file's lock, a
// file made by a run that failed removed again, and the steps every entry
// shares (the zeroed block, the results file opened and closed, standard
// output checked at the end), each message spelled here once. Used by the
// program, the RAND_priv_bytes driver and the lab's driver alike, so that
// none of them appends another way.
#ifndef OPENSSL_RNG_RESULTS_FILE_H
#define OPENSSL_RNG_RESULTS_FILE_H

#include "platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// "Cannot ACTION "FILE": REASON" on standard output, the reason from errno.
void report_error(const char *action, const char *file);

// Opens name to append to (reading allowed, so that its last byte can be
// read), as fopen's "ab+" (binary) or "a+" does, creating it if absent; or
// says "Cannot open "NAME": REASON" and returns nullptr. What is there and is
// not a regular file is refused: a folder by the open itself ("Is a
// directory"), a device, a FIFO or a socket as "not a regular file", on
// POSIX systems without being opened (a FIFO that no one reads would take
// the appends and lose them). A file this call makes is noted, for
// remove_made_files; name must last as long as the process's runs do.
FILE *open_output(const char *name, bool binary);

// Whether name may be opened by open_output: nothing there, or a regular
// file; if not, says so as open_output does. For checking every file before
// any is opened.
bool may_open(const char *name);

// For a run that failed, its files closed: removes every file open_output
// made that is still the one it made and still empty, under its lock, so
// that a failed run leaves no file it made; another run's appends meanwhile
// keep it, and one that waited for the lock opens the name again
// (hold_file). Files this process did not make are never removed.
void remove_made_files();

// One file held for an append: locked (where the file system locks) and
// its length taken under the lock, so that whatever the append leaves can be
// cut back to exactly what was there. Several files may be held at once and
// cut back together when any of their appends fails.
struct HeldFile {
    FILE *fp = nullptr;
    const char *name = nullptr;
    bool locked = false;
    bool lost = false;   // removed meanwhile, and its name could not be opened again
    int64_t length = -1; // -1: unknown, and then nothing is ever cut
};

// Locks fp and takes its length. Without a lock (a file system that has
// none) the append still goes ahead; only runs at the same moment could then
// collide. A file removed while this process waited for its lock (by a run
// that made it and failed) is let go and its name opened again (open_output),
// so that nothing is appended to a file no name leads to; if that cannot be,
// the file is lost, errno saying why, and nothing may be appended.
HeldFile hold_file(FILE *fp, const char *name);

// Whether everything written to fp reached the file; if not, errno says why.
bool flushed(FILE *fp);

// Cuts the file back to the length it had when held, if it has changed:
// whatever another process appended before the lock was ours stays. Says so
// if it cannot. Leaves errno as it was. Does nothing for a file not held.
void cut_back(const HeldFile &file);

// Unlocks the file; nothing more is appended under this hold.
void release_file(HeldFile &file);

// Appends what write() puts on fp whole or not at all: held, then
// start(length) sets the file up for what follows and may lower length by
// cutting it, then the write is made and flushed, and if any of it failed,
// the file is cut back: no torn piece is left for the next append to follow.
// Returns whether it was all written; if not, errno says why.
template <typename Start, typename Write>
bool append_whole(FILE *fp, const char *name, Start start, Write write)
{
    HeldFile held = hold_file(fp, name);
    bool written = !held.lost && (held.length < 0 || start(held.length));
    if (written) {
        write();
        written = flushed(fp);
    }
    const int reason = errno;
    if (!written) {
        cut_back(held);
    }
    release_file(held);
    errno = reason;
    return written;
}

// Appends the record of the sample t (tlen counts over programRun seconds)
// under the label name to the results stream timeFile, as the runs append
// theirs: whole or not at all, under the file's lock. Leaves t sorted.
// Returns whether it was appended; if not, errno says why and timeFile's
// error indicator is set.
bool append_record(FILE *timeFile, const char *name, uint64_t *t, size_t tlen, double programRun);

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

// The steps of an entry that runs the benchmark once. start_run sets block
// to the zeroed 16384-byte block and timeFile to "osslRb1a.txt" opened for
// appending, or returns false having said why, with nothing left to free:
// zeroed, so that a call that fails without writing it leaves zeros rather
// than old heap; every call that succeeds overwrites it whole. open_results
// opens the results file alone (the lab's driver has blocks of its own), or
// returns nullptr having said why. finish_run closes the results file, frees
// the block (which may be nullptr), removes the files the run made if it
// failed (remove_made_files) and checks standard output: the status to exit
// with, status itself unless the record or standard output could not be
// written, then 1.
bool start_run(BYTE *&block, FILE *&timeFile);
FILE *open_results();
int finish_run(FILE *timeFile, BYTE *block, int status);

#endif
