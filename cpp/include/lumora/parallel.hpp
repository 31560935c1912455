#pragma once
// A few worker threads for the native core's long passes. Callers split their work so
// that the result does not depend on how many workers ran it or which took what.

#include <cstdint>
#include <exception>
#include <functional>

namespace lumora {

// Workers worth starting for `cells` cells of work: one below about a million cells (a
// thread costs more than it saves there), else the machine's hardware threads, at most
// `most`.
int worker_count(std::int64_t cells, int most = 4);

// Runs fn(w) for w in 0..workers-1, w = 0 on the calling thread, and returns when all
// have returned. The first exception thrown by any of them is rethrown here. Where the
// system refuses a thread, fewer run: callers hand out work so that any number finishes it.
void run_workers(int workers, const std::function<void(int)>& fn);

}  // namespace lumora
