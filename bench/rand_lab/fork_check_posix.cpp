#include "fork_check.h"

#include "measure.h"
#include "run.h"
#include "threads.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What a child thread says through the page both processes share, once its
// compared calls are done.
enum Answer : uint8_t { kWaiting = 0, kReturned = 1, kFailedCall = 2 };

// One child thread's part of the shared page; its bytes follow every
// thread's head.
struct FirstCalls {
    std::atomic<int> answer;
    uint64_t ticks; // its call 0's count
};
static_assert(std::atomic<int>::is_always_lock_free, "an atomic that works across processes");

std::string why(int error)
{
    // Threads may be running: no strerror, whose buffer is shared.
    return std::generic_category().message(error);
}

} // namespace

struct ForkPlan {
    explicit ForkPlan(Run &given) : run(given) {}
    ~ForkPlan()
    {
        if (shared != MAP_FAILED) {
            munmap(shared, sharedSize);
        }
        for (const int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    ForkPlan(const ForkPlan &) = delete;
    ForkPlan &operator=(const ForkPlan &) = delete;
    ForkPlan(ForkPlan &&) = delete;
    ForkPlan &operator=(ForkPlan &&) = delete;

    Run &run;
    size_t bytes = 0;
    size_t pause = 0;    // the call before which the parent's threads stop
    size_t compared = 0; // calls compared from there, and from the child's call 0
    void *shared = MAP_FAILED;
    size_t sharedSize = 0;
    FirstCalls *heads = nullptr;
    unsigned char *firsts = nullptr; // compared x bytes per child thread
    int fds[2] = {-1, -1};           // the child's samples, to the parent
    // The parent's threads stopped for the fork, and let go again.
    std::mutex mutex;
    std::condition_variable moved;
    size_t stopped = 0;
    bool resumed = false;
    // Set in the child only, whose copy of the plan it is.
    bool inChild = false;
    pid_t pid = -1;
    int forkError = 0;
    Clock::time_point forkedAt;
    bool reaped = false;
    int childStatus = 0;
};

void ForkPlanFree::operator()(ForkPlan *plan) const
{
    delete plan; // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr's deleter
}

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

// A worker's loop and sample over the pipe, from the child to the parent.
bool send(int fd, const Worker &w)
{
    return write_all(fd, &w.t1, sizeof w.t1) && write_all(fd, &w.t2, sizeof w.t2) &&
           write_all(fd, &w.firstEnd, sizeof w.firstEnd) &&
           write_all(fd, &w.firstCalls, sizeof w.firstCalls) &&
           write_all(fd, &w.placement, sizeof w.placement) &&
           write_all(fd, w.time.data(), w.time.size() * sizeof w.time[0]);
}

bool receive(int fd, Worker &w)
{
    return read_all(fd, &w.t1, sizeof w.t1) && read_all(fd, &w.t2, sizeof w.t2) &&
           read_all(fd, &w.firstEnd, sizeof w.firstEnd) &&
           read_all(fd, &w.firstCalls, sizeof w.firstCalls) &&
           read_all(fd, &w.placement, sizeof w.placement) &&
           read_all(fd, w.time.data(), w.time.size() * sizeof w.time[0]);
}

// The child, on the thread that forked: the same threads make the same
// calls on the copied states, this one on its own; then their samples go to
// the parent over the pipe, and the child ends without writing any file.
// Its standard output is the parent's, flushed before the fork.
[[noreturn]] void be_the_child(ForkPlan &plan)
{
    Run &run = plan.run;
    close(plan.fds[0]);
    bool sent = false;
    try {
        for (Worker &w : run.child) {
            // Written once now, so that no copy-on-write fault of the
            // parent's pages falls into an interval.
            std::fill(w.time.begin(), w.time.end(), 0);
            std::fill(w.block.begin(), w.block.end(), 0);
        }
        Section section;
        sent = run_child_threads(run.child, run.workers, run.options, section) &&
               write_all(plan.fds[1], &section, sizeof section);
        for (size_t k = 0; sent && k < run.child.size(); k++) {
            sent = send(plan.fds[1], run.child[k]);
        }
    } catch (const std::bad_alloc &) {
        printf("Cannot allocate the fork child's threads\n");
    }
    fflush(stdout);
    _exit(sent ? 0 : 1);
}

// On the parent's first thread, once every thread has stopped between two
// calls: no lock of theirs is held and every state is whole.
void fork_here(ForkPlan &plan)
{
    fflush(stdout);
    plan.forkedAt = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        plan.inChild = true;
        be_the_child(plan);
    }
    plan.pid = pid;
    plan.forkError = pid < 0 ? errno : 0;
    close(plan.fds[1]);
    plan.fds[1] = -1;
    // Every page the loops write from here on is the parent's own again
    // before any thread goes on: the block, inside the interval, and the
    // counts still to come, whose copy-on-write faults between two calls
    // would slow the next one (a spike every page of counts).
    for (Worker &w : plan.run.workers) {
        std::fill(w.block.begin(), w.block.end(), 0);
        std::fill(w.time.begin() + static_cast<std::ptrdiff_t>(plan.pause), w.time.end(), 0);
    }
}

void stop_for_the_fork(ForkPlan &plan, const Worker &w)
{
    std::unique_lock<std::mutex> lock(plan.mutex);
    plan.stopped++;
    plan.moved.notify_all();
    if (w.n != 0) {
        plan.moved.wait(lock, [&plan] { return plan.resumed; });
        return;
    }
    plan.moved.wait(lock, [&plan] { return plan.stopped == plan.run.workers.size(); });
    lock.unlock();
    fork_here(plan);
    lock.lock();
    plan.resumed = true;
    plan.moved.notify_all();
}

// A child thread's compared calls, and whether they returned, for the
// parent to read whatever becomes of the child after them.
void hand_over(ForkPlan &plan, const Worker &w, size_t call, const unsigned char *out)
{
    FirstCalls &head = plan.heads[w.n];
    std::memcpy(plan.firsts + ((w.n * plan.compared + call) * plan.bytes), out, plan.bytes);
    if (call == 0) {
        head.ticks = w.time[0] & ~kFailed;
    }
    // Only this thread writes its answer, once.
    if (head.answer.load(std::memory_order_relaxed) != kWaiting) {
        return;
    }
    if ((w.time[call] & kFailed) != 0) {
        head.answer.store(kFailedCall, std::memory_order_release);
    } else if (call + 1 == plan.compared) {
        head.answer.store(kReturned, std::memory_order_release);
    }
}

bool all_answered(const ForkPlan &plan)
{
    for (size_t k = 0; k < plan.run.child.size(); k++) {
        if (plan.heads[k].answer.load(std::memory_order_acquire) == kWaiting) {
            return false;
        }
    }
    return true;
}

// Until every child thread has answered, the child has ended, or the limit
// has passed since the fork.
void await_answers(ForkPlan &plan)
{
    const Clock::time_point deadline = plan.forkedAt + std::chrono::seconds(kForkLimitSeconds);
    while (!all_answered(plan) && Clock::now() < deadline) {
        if (waitpid(plan.pid, &plan.childStatus, WNOHANG) == plan.pid) {
            plan.reaped = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void reap(ForkPlan &plan)
{
    while (!plan.reaped && waitpid(plan.pid, &plan.childStatus, 0) < 0 && errno == EINTR) {
    }
    plan.reaped = true;
}

// Child thread k's compared bytes against every parent thread's after the
// fork, its own first: the parent's thread they repeat (from 1), or 0.
size_t repeated_thread(const Run &run, const ForkPlan &plan, size_t k)
{
    const size_t span = plan.compared * plan.bytes;
    const unsigned char *first = plan.firsts + (k * span);
    for (size_t step = 0; step < run.workers.size(); step++) {
        const size_t j = (k + step) % run.workers.size();
        const Worker &w = run.workers[j];
        const bool failed =
            std::any_of(w.time.begin() + static_cast<std::ptrdiff_t>(plan.pause),
                        w.time.begin() + static_cast<std::ptrdiff_t>(plan.pause + plan.compared),
                        [](uint64_t ticks) { return (ticks & kFailed) != 0; });
        if (!failed && std::memcmp(first, w.next.data(), span) == 0) {
            return j + 1;
        }
    }
    return 0;
}

// A child thread's verdict from its answer and the parent's thread, from 1,
// whose bytes it repeated (0 for none).
ForkThread verdict(int answer, size_t of)
{
    if (answer == kWaiting) {
        return ForkThread::Hung;
    }
    if (answer == kFailedCall) {
        return ForkThread::Failed;
    }
    return of != 0 ? ForkThread::Repeats : ForkThread::Differ;
}

void judge(const Run &run, const ForkPlan &plan, ForkOutcome &outcome)
{
    for (size_t k = 0; k < run.child.size(); k++) {
        const int answer = plan.heads[k].answer.load(std::memory_order_acquire);
        const size_t of = answer == kReturned ? repeated_thread(run, plan, k) : 0;
        outcome.threads.push_back(verdict(answer, of));
        outcome.repeatsOf.push_back(of);
        outcome.firstTicks.push_back(answer == kWaiting ? 0 : plan.heads[k].ticks);
    }
}

} // namespace

const char *fork_refusal()
{
    return nullptr;
}

std::string fork_prepare(Run &run)
{
    const size_t threads = run.workers.size();
    run.fork.reset(new ForkPlan(run));
    ForkPlan &plan = *run.fork;
    plan.bytes = static_cast<size_t>(run.bytes);
    plan.pause = fork_pause_call(run.options.calls);
    const size_t wanted = (kComparedBytes + plan.bytes - 1) / plan.bytes;
    plan.compared = std::min(wanted, static_cast<size_t>(run.options.calls) - plan.pause);
    const size_t span = plan.compared * plan.bytes;
    plan.sharedSize = threads * (sizeof(FirstCalls) + span);
    plan.shared =
        mmap(nullptr, plan.sharedSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (plan.shared == MAP_FAILED) {
        return "fork: cannot map the page the child answers through: " + why(errno);
    }
    plan.heads = static_cast<FirstCalls *>(plan.shared);
    for (size_t k = 0; k < threads; k++) {
        new (&plan.heads[k]) FirstCalls{{kWaiting}, 0};
    }
    plan.firsts = reinterpret_cast<unsigned char *>(plan.heads + threads);
    if (pipe(plan.fds) != 0) {
        return "fork: cannot make a pipe: " + why(errno);
    }
    for (std::vector<Worker> *workers : {&run.workers, &run.child}) {
        for (size_t k = 0; k < threads; k++) {
            Worker &w = (*workers)[k];
            w.fork = &plan;
            w.n = k;
        }
    }
    for (Worker &w : run.workers) {
        w.next.assign(span, 0);
    }
    for (Worker &w : run.child) {
        w.block.assign(plan.bytes + 32, 0);
    }
    return "";
}

void fork_between_calls(Worker &w, size_t call, const unsigned char *out)
{
    ForkPlan &plan = *w.fork;
    if (plan.inChild) {
        if (call < plan.compared) {
            hand_over(plan, w, call, out);
        }
    } else if (call + 1 == plan.pause) {
        stop_for_the_fork(plan, w);
    } else if (call >= plan.pause && call < plan.pause + plan.compared) {
        std::memcpy(w.next.data() + ((call - plan.pause) * plan.bytes), out, plan.bytes);
    }
}

bool fork_collect(Run &run, ForkOutcome &outcome)
{
    ForkPlan &plan = *run.fork;
    if (plan.pid < 0) {
        printf("fork: cannot fork: %s\n", why(plan.forkError).c_str());
        return false;
    }
    await_answers(plan);
    judge(run, plan, outcome);
    if (outcome.count(ForkThread::Hung) != 0) {
        if (plan.reaped) {
            printf("fork: the child ended before its first requests returned\n");
            return false;
        }
        // What a lock held for ever would do to the application's child.
        kill(plan.pid, SIGKILL);
        reap(plan);
        return true;
    }
    bool received = read_all(plan.fds[0], &run.childSection, sizeof run.childSection);
    for (Worker &w : run.child) {
        received = received && receive(plan.fds[0], w);
    }
    reap(plan);
    if (!received || !WIFEXITED(plan.childStatus) || WEXITSTATUS(plan.childStatus) != 0) {
        printf("fork: the child did not finish its calls\n");
        return false;
    }
    return true;
}
