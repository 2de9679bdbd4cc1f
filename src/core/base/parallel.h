// Spreading independent file operations over a few threads.
//
// Writing out and reading back a workspace of many files is dominated by the
// kernel's per-file work, which runs in parallel on separate cores. The
// helper here runs numbered items on the calling thread plus a few workers
// and reports failures as a sequential loop would: the failure of the
// lowest-numbered item that failed.
#ifndef VESK_CORE_BASE_PARALLEL_H_
#define VESK_CORE_BASE_PARALLEL_H_

#include <cstddef>
#include <functional>

#include "core/base/error.h"

namespace vesk {

// How many threads (the caller's included) parallel_for uses for `items`
// items: 1 for small counts, otherwise up to the number of cores, at most 4.
std::size_t worker_count(std::size_t items);

// Runs body(item, worker) for every item in [0, items) on `workers` threads
// (worker in [0, workers), 0 being the calling thread), each thread taking
// one contiguous share in ascending order, so neighbouring items (files of
// one directory) stay together. Each item runs exactly once unless a failure
// stops the run: after an item fails, items above it are no longer started. Returns the error of the lowest-numbered failed
// item, or success. An exception thrown by `body` counts as an internal-fault
// failure of its item. If a worker thread cannot be started, the others do
// its share. All workers have ended when it returns.
Status parallel_for(std::size_t items, std::size_t workers,
                    const std::function<Status(std::size_t item, std::size_t worker)>& body);

}  // namespace vesk

#endif  // VESK_CORE_BASE_PARALLEL_H_
