#include "fork_check.h"

#include "subject.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// All of size bytes through io (read or write on fd), which may move fewer
// at a time or be interrupted by a signal.
template <typename Byte, typename Io>
bool move_all(int fd, Byte *at, size_t size, Io io)
{
    while (size > 0) {
        const ssize_t n = io(fd, at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, const void *data, size_t size)
{
    return move_all(fd, static_cast<const char *>(data), size, ::write);
}

bool read_all(int fd, void *data, size_t size)
{
    return move_all(fd, static_cast<char *>(data), size, ::read);
}

// A sample's or a buffer's contents over the pipe.
template <typename T>
bool send(int fd, const std::vector<T> &values)
{
    return write_all(fd, values.data(), values.size() * sizeof(T));
}

template <typename T>
bool receive(int fd, std::vector<T> &values)
{
    return read_all(fd, values.data(), values.size() * sizeof(T));
}

// The child: the same threads make the same calls, each copying its call 0's
// bytes; then everything goes to the parent over fd, and the child ends
// without writing any file. Its standard output is the parent's, flushed
// before the fork.
[[noreturn]] void be_the_child(Run &run, int fd)
{
    bool sent = false;
    try {
        for (Worker &w : run.workers) {
            w.first.assign(static_cast<size_t>(run.bytes), 0);
            // Written once now, so that no copy-on-write fault of the
            // parent's pages falls into an interval.
            std::fill(w.time.begin(), w.time.end(), 0);
            std::fill(w.block.begin(), w.block.end(), 0);
        }
        Section section;
        sent = run_threads(run.workers, run.options, section) &&
               write_all(fd, &section, sizeof section);
        for (size_t k = 0; sent && k < run.workers.size(); k++) {
            const Worker &w = run.workers[k];
            sent = write_all(fd, &w.t1, sizeof w.t1) && write_all(fd, &w.t2, sizeof w.t2) &&
                   write_all(fd, &w.placement, sizeof w.placement) && send(fd, w.time) &&
                   send(fd, w.first);
        }
    } catch (const std::bad_alloc &) {
        printf("Cannot allocate the fork child's copies of its first bytes\n");
    }
    fflush(stdout);
    _exit(sent ? 0 : 1);
}

} // namespace

const char *fork_refusal()
{
    return nullptr;
}

bool fork_child(Run &run, bool &repeats)
{
    int fds[2];
    fflush(stdout);
    if (pipe(fds) != 0) {
        printf("fork: cannot make a pipe: %s\n", strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        printf("fork: cannot fork: %s\n", strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        be_the_child(run, fds[1]);
    }
    close(fds[1]);
    const int ret = subject_next(run.options, run.next.data(), run.next.size());
    bool received = read_all(fds[0], &run.childSection, sizeof run.childSection);
    repeats = false;
    for (Worker &w : run.child) {
        received = received && read_all(fds[0], &w.t1, sizeof w.t1) &&
                   read_all(fds[0], &w.t2, sizeof w.t2) &&
                   read_all(fds[0], &w.placement, sizeof w.placement) && receive(fds[0], w.time) &&
                   receive(fds[0], run.received);
        repeats = repeats || (received && run.received == run.next);
    }
    close(fds[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!received || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        printf("fork: the child did not finish its calls\n");
        return false;
    }
    if (ret != 1) {
        printf("fork: the parent's next %s failed\n", subject_name(run.options.subject));
        return false;
    }
    return true;
}
