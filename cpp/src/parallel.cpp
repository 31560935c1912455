#include "lumora/parallel.hpp"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace lumora {

int worker_count(std::int64_t cells, int most) {
    constexpr std::int64_t kCellsPerWorker = std::int64_t{1} << 20;
    if (cells < kCellsPerWorker) return 1;
    const int hardware = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    return static_cast<int>(std::min<std::int64_t>({hardware, most, cells / kCellsPerWorker}));
}

void run_workers(int workers, const std::function<void(int)>& fn) {
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto guarded = [&](int w) {
        try {
            fn(w);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::jthread> threads;
    threads.reserve(static_cast<std::size_t>(std::max(0, workers - 1)));
    for (int w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(guarded, w);
        } catch (const std::system_error&) {
            break;  // no thread to be had: the workers started take the whole work
        }
    }
    guarded(0);
    threads.clear();  // joins
    if (failure) std::rethrow_exception(failure);
}

}  // namespace lumora
