#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "eval/kernels.hpp"

namespace vemiral {

// Threads an evaluation may use: VEMIRAL_NUM_THREADS when the module is
// loaded, else the machine's logical cores; setEvaluationThreads changes it.
unsigned evaluationThreads();
void setEvaluationThreads(unsigned threads);
// Why VEMIRAL_NUM_THREADS was not used (it is not a whole number of at least
// 1), or empty: the module warns with it when it is imported.
std::string threadSettingProblem();

// A task of runTasks: its number, and the poll its loops call (it throws to
// stop the task when the call is abandoned).
using Task = std::function<void(uint64_t, const Poll &)>;

// Runs task(i) for every i in [0, count) on up to `threads` threads: the
// caller and the threads of a pool that lives as long as the process, so no
// call pays for starting threads, and calls from several Python threads at
// once share the pool's threads rather than adding their own (one caller at
// a time works beside them, the others wait). `wait` runs on the caller
// every 20 ms; when it or a task throws, the other tasks stop at their next
// poll and the exception propagates once none runs. With one thread or one
// task everything runs on the caller.
void runTasks(uint64_t count, unsigned threads, const Task &task, const Poll &wait);

// Stops the pool's threads (at interpreter exit).
void stopThreads();

} // namespace vemiral
