#pragma once
// One busy thread per CPU at normal priority for as long as it lives: the
// machine of a user who compiles while the robot drives. For benchmarks of
// the goals that hold "on a busy machine".
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class BusyMachine {
public:
    BusyMachine()
    {
        const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < cpus; ++i)
            threads_.emplace_back([this] {
                uint64_t spin = 0;
                while (!stop_.load(std::memory_order_relaxed))
                    benchmark::DoNotOptimize(++spin);
            });
    }
    ~BusyMachine()
    {
        stop_ = true;
        for (std::thread &t : threads_)
            t.join();
    }
    BusyMachine(const BusyMachine &) = delete;
    BusyMachine &operator=(const BusyMachine &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};
