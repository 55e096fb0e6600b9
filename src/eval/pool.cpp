// Worker threads shared by every evaluation of the process.
#include "eval/pool.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vemiral {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWaitPeriod = std::chrono::milliseconds(20);

// What was wrong with VEMIRAL_NUM_THREADS, for the warning the module gives
// when it is imported (empty when nothing was).
std::string settingProblem;

// VEMIRAL_NUM_THREADS when it is a whole number of at least 1 (blanks around
// it aside; above 1024 it counts as 1024), else the machine's logical cores
// (with a warning, unless it is empty).
unsigned initialThreads() {
    const unsigned machine = std::max(1u, std::thread::hardware_concurrency());
    const char *env = std::getenv("VEMIRAL_NUM_THREADS");
    if (env == nullptr)
        return machine;
    std::string_view text(env);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (text.empty()) // set to nothing: as if unset
        return machine;
    unsigned long long n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    const bool whole = end == text.data() + text.size();
    if (whole && error == std::errc::result_out_of_range)
        return 1024;
    if (whole && error == std::errc() && n >= 1)
        return static_cast<unsigned>(std::min<unsigned long long>(n, 1024));
    settingProblem = "VEMIRAL_NUM_THREADS='" + std::string(env) +
                     "' is not a whole number of at least 1: using the default, " + std::to_string(machine) +
                     " threads (the machine's logical cores)";
    return machine;
}

std::atomic<unsigned> threadSetting{initialThreads()};

struct Cancelled {};

struct Job {
    uint64_t count;
    unsigned maxWorkers;
    const Task *task;
    std::atomic<uint64_t> next{0};
    std::atomic<bool> cancelled{false};
    unsigned workers = 0; // under the pool's mutex
    std::exception_ptr error; // under the pool's mutex

    bool claimable() const { return workers < maxWorkers && next.load() < count; }
    bool finished() const { return workers == 0 && next.load() >= count; }

    // Runs the tasks this thread claims until none is left; the first error
    // (other than a stop) cancels the rest and is returned.
    std::exception_ptr work(const Poll &poll) {
        std::exception_ptr error;
        for (uint64_t i; (i = next.fetch_add(1)) < count;) {
            if (cancelled.load())
                continue;
            try {
                (*task)(i, poll);
            } catch (const Cancelled &) {
            } catch (...) {
                error = std::current_exception();
                cancelled.store(true);
            }
        }
        return error;
    }
};

// One calling thread at a time works on its own job beside the pool's
// threads, which are one fewer than the threads a call may use; the other
// callers only wait, so the threads at work never outnumber the setting
// however many callers there are.
std::atomic<bool> callerAtWork{false};

class Pool {
public:
    void run(Job &job, const Poll &wait) {
        const bool working = !callerAtWork.exchange(true);
        std::unique_lock<std::mutex> lock(mutex_);
        grow(job.maxWorkers);
        jobs_.push_back(&job);
        wake_.notify_all();
        lock.unlock();
        std::exception_ptr waitError, taskError;
        if (working) {
            // The caller's poll: the job's stop, and `wait` every 20 ms.
            auto last = Clock::now();
            const Poll poll = [&] {
                if (job.cancelled.load(std::memory_order_relaxed))
                    throw Cancelled{};
                if (const auto now = Clock::now(); now - last >= kWaitPeriod) {
                    last = now;
                    try {
                        wait();
                    } catch (...) {
                        waitError = std::current_exception();
                        job.cancelled.store(true);
                        throw Cancelled{};
                    }
                }
            };
            taskError = job.work(poll);
            callerAtWork.store(false);
        }
        lock.lock();
        while (!job.finished()) {
            done_.wait_for(lock, kWaitPeriod);
            if (job.finished() || waitError)
                continue;
            lock.unlock();
            try {
                wait();
            } catch (...) {
                waitError = std::current_exception();
                job.cancelled.store(true);
            }
            lock.lock();
        }
        jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
        const std::exception_ptr error = waitError ? waitError : taskError ? taskError : job.error;
        lock.unlock();
        if (error)
            std::rethrow_exception(error);
    }

    void stop() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            threads.swap(threads_);
            wake_.notify_all();
        }
        for (auto &t : threads)
            t.join();
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<Job *> jobs_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;

    void grow(unsigned wanted) {
        while (threads_.size() < wanted)
            threads_.emplace_back([this] { work(); });
    }

    Job *claimable() const {
        for (Job *job : jobs_)
            if (job->claimable())
                return job;
        return nullptr;
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || claimable(); });
            if (stopping_)
                return;
            Job &job = *claimable();
            ++job.workers;
            lock.unlock();
            const std::exception_ptr error = job.work([&job] {
                if (job.cancelled.load(std::memory_order_relaxed))
                    throw Cancelled{};
            });
            lock.lock();
            if (error && !job.error)
                job.error = error;
            if (--job.workers == 0)
                done_.notify_all();
        }
    }
};

// Immortal (never destroyed, so never in use while destroyed at exit): a fork
// leaves the child a pool whose threads do not exist there, so the child
// starts a new one; the old one stays reachable, never used again.
std::vector<Pool *> *const pools = new std::vector<Pool *>{new Pool};
std::mutex poolsMutex;

Pool &pool() {
    std::lock_guard<std::mutex> lock(poolsMutex);
    return *pools->back();
}

[[maybe_unused]] const bool forkHandlerInstalled = [] {
    pthread_atfork(nullptr, nullptr, [] { pools->push_back(new Pool); });
    return true;
}();

} // namespace

std::string threadSettingProblem() { return settingProblem; }

unsigned evaluationThreads() { return threadSetting.load(); }

void setEvaluationThreads(unsigned threads) { threadSetting.store(std::max(1u, threads)); }

void runTasks(uint64_t count, unsigned threads, const Task &task, const Poll &wait) {
    if (count == 0)
        return;
    threads = static_cast<unsigned>(std::min<uint64_t>(std::max(1u, threads), count));
    if (threads == 1) {
        auto last = Clock::now();
        const Poll throttled = [&] {
            const auto now = Clock::now();
            if (now - last >= kWaitPeriod) {
                last = now;
                wait();
            }
        };
        for (uint64_t i = 0; i < count; ++i) {
            task(i, throttled);
            throttled();
        }
        return;
    }
    Job job;
    job.count = count;
    job.maxWorkers = threads - 1;
    job.task = &task;
    pool().run(job, wait);
}

void stopThreads() { pool().stop(); }

} // namespace vemiral
