#include "threads.h"

#include "subject.h"

#include <cstdio>
#include <new>
#include <string>
#include <system_error>
#include <thread>

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

bool run_threads(std::vector<Worker> &workers, const Options &options, Section &section)
{
    StartLine startLine(workers.size());
    std::vector<std::thread> running;
    running.reserve(workers.size());
    for (Worker &w : workers) {
        std::string reason;
        try {
            running.emplace_back(
                [&startLine, &w, &options] { subject_thread(w, options, startLine); });
            continue;
        } catch (const std::system_error &e) {
            reason = e.code().message();
        } catch (const std::bad_alloc &) {
            reason = "out of memory";
        }
        printf("Cannot start thread %zu of %zu: %s\n", running.size() + 1, workers.size(),
               reason.c_str());
        stop(startLine, running);
        return false;
    }
    QueryPerformanceFrequency(&section.frequency);
    startLine.wait_for_all();
    for (size_t k = 0; k < workers.size(); k++) {
        if (!workers[k].openError.empty()) {
            printf("%s: thread %zu of %zu: %s\n", subject_source(), k + 1, workers.size(),
                   workers[k].openError.c_str());
            stop(startLine, running);
            return false;
        }
    }
    QueryPerformanceCounter(&section.start);
    startLine.start();
    for (std::thread &thread : running) {
        thread.join();
    }
    QueryPerformanceCounter(&section.end);
    return true;
}
