#include "results_file.h"

#include "platform.h"
#include "run_constants.h"
#include "stats_report.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// errno of the write that kept this process's record out of the results
// file, for the report when the file is closed.
int recordErrno = 0;

constexpr const char *kNotRegular = "not a regular file";

// The files this process made, by name and identity: the results file and
// the files beside it, a few at most.
struct MadeFile {
    const char *name;
    FileIdentity identity;
};
std::array<MadeFile, 8> madeFiles{};
size_t madeCount = 0;

void say_cannot(const char *action, const char *file, const char *reason)
{
    printf("Cannot %s \"%s\": %s\n", action, file, reason);
}

// Opens name, made only by the open that creates it, so that a file another
// run makes at the same moment is never taken for this one's own; made says
// which. nullptr, errno saying why, if it cannot be opened.
FILE *open_or_make(const char *name, bool binary, bool &made)
{
    for (int tries = 0; tries < 8; tries++) {
        FILE *fp = open_appending(name, binary, Opening::Existing);
        if (fp != nullptr || errno != ENOENT) {
            made = false;
            return fp;
        }
        fp = open_appending(name, binary,
                            is_dangling_link(name) ? Opening::MadeThroughLink : Opening::Made);
        if (fp != nullptr || errno != EEXIST) {
            made = fp != nullptr;
            return fp;
        }
    }
    return nullptr;
}

// open_output without the report: nullptr, and the reason, if it fails.
FILE *open_regular(const char *name, bool binary, const char *&reason)
{
    reason = kNotRegular;
    if (is_not_regular(name)) {
        return nullptr;
    }
    bool made = false;
    FILE *fp = open_or_make(name, binary, made);
    if (fp == nullptr) {
        reason = strerror(errno); // NOLINT(concurrency-mt-unsafe)
        return nullptr;
    }
    if (!is_regular_stream(fp)) {
        fclose(fp);
        return nullptr;
    }
    FileIdentity identity;
    if (made && madeCount < madeFiles.size() && stream_identity(fp, identity)) {
        madeFiles[madeCount++] = {name, identity};
    }
    return fp;
}

// The file held was removed while this process waited for its lock: the name
// is opened again, onto the same stream, and locked. Returns false, errno
// saying why, if it cannot be.
bool hold_again(HeldFile &held)
{
    const char *reason = nullptr;
    FILE *fresh = open_regular(held.name, true, reason);
    if (fresh == nullptr) {
        errno = reason == kNotRegular ? ENOENT : errno;
        return false;
    }
    if (!replace_stream_file(held.fp, fresh)) {
        return false;
    }
    held.locked = lock_stream(held.fp);
    return true;
}

// Before a record: a last line without its line end (typed by hand, or left
// by a build that tore its record) would run into the record's label, so the
// record then starts with one. If the record fails, the cut back takes it
// too. A last byte that cannot be read gets one as well: an empty line
// between records is harmless, a label glued to junk is not.
bool start_on_a_line_of_its_own(FILE *fp, int64_t length)
{
    if (length > 0 && last_byte(fp, length) != '\n') {
        fputc('\n', fp);
    }
    return true;
}

} // namespace

void report_error(const char *action, const char *file)
{
    say_cannot(action, file, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
}

FILE *open_output(const char *name, bool binary)
{
    const char *reason = nullptr;
    FILE *fp = open_regular(name, binary, reason);
    if (fp == nullptr) {
        say_cannot("open", name, reason);
    }
    return fp;
}

bool may_open(const char *name)
{
    if (is_not_regular(name)) {
        say_cannot("open", name, kNotRegular);
        return false;
    }
    return true;
}

void remove_made_files()
{
    for (size_t k = 0; k < madeCount; k++) {
        remove_if_unchanged(madeFiles[k].name, madeFiles[k].identity);
    }
    madeCount = 0;
}

HeldFile hold_file(FILE *fp, const char *name)
{
    HeldFile held;
    held.fp = fp;
    held.name = name;
    held.locked = lock_stream(fp);
    int reason = 0;
    for (int tries = 0; held.locked && stream_unnamed(fp); tries++) {
        if (tries == 8 || !hold_again(held)) {
            held.lost = true;
            reason = tries == 8 ? ENOENT : errno;
            break;
        }
    }
    held.length = stream_length(fp);
    errno = held.lost ? reason : errno;
    return held;
}

bool flushed(FILE *fp)
{
    return fflush(fp) == 0 && ferror(fp) == 0;
}

void cut_back(const HeldFile &file)
{
    const int reason = errno;
    if (file.fp != nullptr && file.length >= 0 && stream_length(file.fp) != file.length &&
        !truncate_stream(file.fp, file.length)) {
        report_error("cut back", file.name);
    }
    errno = reason;
}

void release_file(HeldFile &file)
{
    if (file.locked) {
        unlock_stream(file.fp);
        file.locked = false;
    }
}

bool append_record(FILE *timeFile, const char *name, uint64_t *t, size_t tlen, double programRun)
{
    return append_records(timeFile, &name, &t, 1, tlen, &programRun);
}

bool append_records(FILE *timeFile, const char *const *names, uint64_t *const *samples,
                    size_t count, size_t tlen, const double *seconds)
{
    if (append_whole(
            timeFile, kResultsFile,
            [&](int64_t length) { return start_on_a_line_of_its_own(timeFile, length); },
            [&] {
                for (size_t k = 0; k < count; k++) {
                    store_Time_Data(names[k], samples[k], tlen, timeFile, seconds[k]);
                }
            })) {
        return true;
    }
    recordErrno = errno;
    return false;
}

bool close_results(FILE *timeFile)
{
    const bool appended = ferror(timeFile) == 0;
    if (fclose(timeFile) == 0 && appended) {
        return true;
    }
    if (appended) {
        recordErrno = errno;
    }
    errno = recordErrno;
    report_error("write", kResultsFile);
    return false;
}

int finish_standard_output(int status)
{
    if (fflush(stdout) == 0 && ferror(stdout) == 0) {
        return status;
    }
    // Standard error, because standard output is what failed.
    fprintf(stderr, "Cannot write standard output: %s\n",
            strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    return 1;
}

FILE *open_results()
{
    return open_output(kResultsFile, false);
}

bool start_run(BYTE *&block, FILE *&timeFile)
{
    block = static_cast<BYTE *>(calloc(1, kBlockSize));
    if (block == nullptr) {
        printf("Cannot allocate the %d-byte block: %s\n", kBlockSize,
               strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return false;
    }
    timeFile = open_results();
    if (timeFile == nullptr) {
        free(block);
        block = nullptr;
        return false;
    }
    return true;
}

int finish_run(FILE *timeFile, BYTE *block, int status)
{
    const bool recorded = close_results(timeFile);
    free(block);
    if (!recorded || status != 0) {
        remove_made_files();
    }
    return finish_standard_output(recorded ? status : 1);
}
