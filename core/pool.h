// Threads for the fast sweep. A call's tasks are shared by the calling thread,
// which always works, and by helper threads of one process-wide pool that
// join while they are idle. Across all concurrent calls, no more threads
// compute than a call's limit allows; callers beyond it queue in turn.
#pragma once

#include <cstddef>

// The most threads a call made from this thread may compute on: with OpenMP,
// omp_get_max_threads() of this thread (OMP_NUM_THREADS, omp_set_num_threads,
// threadpoolctl); without it, OMP_NUM_THREADS, else the hardware's count.
int thread_limit();

using task_function = void (*)(void* context, std::ptrdiff_t task, int slot);

// Runs run(context, task, slot) once for every task in [0, tasks), on at most
// `threads` threads at once; slot (below threads) tells the threads of one
// call apart, so each can keep buffers of its own. The calling thread
// computes only while fewer than `limit` threads compute in the whole
// process, and so does a helper joining. Returns once every task is done.
void run_tasks(std::ptrdiff_t tasks, int threads, int limit, task_function run, void* context);

template <typename F>
void run_tasks(std::ptrdiff_t tasks, int threads, int limit, F& body)
{
    run_tasks(
        tasks, threads, limit,
        [](void* context, std::ptrdiff_t task, int slot) { (*static_cast<F*>(context))(task, slot); },
        &body);
}

// Starts a detached thread running entry(argument); false if it could not.
// Replaceable so that tests can make starting fail; not synchronised: swap it
// only while no call runs.
using thread_starter = bool (*)(void (*entry)(void*), void* argument);
thread_starter set_thread_starter(thread_starter starter);
