#include "threads.h"

#include "measure.h"
#include "options.h"
#include "platform.h"
#include "subject.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

void stop(StartLine &startLine, std::vector<std::thread> &running)
{
    startLine.cancel();
    for (std::thread &thread : running) {
        thread.join();
    }
}

} // namespace

bool StartLine::arrive_and_wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_++;
    ready_.notify_all();
    go_.wait(lock, [this] { return started_; });
    return !cancelled_;
}

void StartLine::wait_for_all()
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return arrived_ == expected_; });
}

void StartLine::release(bool cancelled)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        started_ = true;
        cancelled_ = cancelled;
    }
    go_.notify_all();
}

namespace {

// Runs start(k, startLine) on a thread of its own for each worker from
// `from` on, all held at one start line; once every one is ready, lets them
// go and runs here() on the calling thread. Returns false, having said why,
// when a thread cannot be started or cannot set up its generator.
template <typename Start, typename Here>
bool run_from(std::vector<Worker> &workers, size_t from, Section &section, Start start, Here here)
{
    StartLine startLine(workers.size() - from);
    std::vector<std::thread> running;
    running.reserve(workers.size() - from);
    for (size_t k = from; k < workers.size(); k++) {
        std::string reason;
        try {
            running.emplace_back([&startLine, &start, k] { start(k, startLine); });
            continue;
        } catch (const std::system_error &e) {
            reason = e.code().message();
        } catch (const std::bad_alloc &) {
            reason = "out of memory";
        }
        printf("Cannot start thread %zu of %zu: %s\n", k + 1, workers.size(), reason.c_str());
        stop(startLine, running);
        return false;
    }
    QueryPerformanceFrequency(&section.frequency);
    startLine.wait_for_all();
    for (size_t k = from; k < workers.size(); k++) {
        if (!workers[k].openError.empty()) {
            printf("%s: thread %zu of %zu: %s\n", subject_source(), k + 1, workers.size(),
                   workers[k].openError.c_str());
            stop(startLine, running);
            return false;
        }
    }
    QueryPerformanceCounter(&section.start);
    startLine.start();
    here();
    for (std::thread &thread : running) {
        thread.join();
    }
    QueryPerformanceCounter(&section.end);
    return true;
}

} // namespace

bool run_threads(std::vector<Worker> &workers, const Options &options, Section &section)
{
    return run_from(
        workers, 0, section,
        [&workers, &options](size_t k, StartLine &startLine) {
            subject_thread(workers[k], options, startLine);
        },
        [] {});
}

bool run_child_threads(std::vector<Worker> &child, const std::vector<Worker> &parent,
                       const Options &options, Section &section)
{
    return run_from(
        child, 1, section,
        [&child, &parent, &options](size_t k, StartLine &startLine) {
            subject_child_thread(child[k], parent[k], options, &startLine);
        },
        [&child, &parent, &options] {
            subject_child_thread(child[0], parent[0], options, nullptr);
        });
}
