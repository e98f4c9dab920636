#include "results_file.h"

#include "platform.h"
#include "run_constants.h"
#include "stats_report.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// errno of the write that kept this process's record out of the results
// file, for the report when the file is closed.
int recordErrno = 0;

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
    printf("Cannot %s \"%s\": %s\n", action, file,
           strerror(errno)); // NOLINT(concurrency-mt-unsafe)
}

HeldFile hold_file(FILE *fp, const char *name)
{
    HeldFile held;
    held.fp = fp;
    held.name = name;
    held.locked = lock_stream(fp);
    held.length = stream_length(fp);
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
    FILE *timeFile = fopen(kResultsFile, "a+");
    if (timeFile == nullptr) {
        report_error("open", kResultsFile);
    }
    return timeFile;
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
    return finish_standard_output(recorded ? status : 1);
}
