// The thread pool: every task once, the process-wide cap, calls that go on
// when threads cannot be started, helpers that come late, and forked children.
#include "pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Runs tasks that take a little while and records who ran them and how many
// threads computed at once, here and in any other call sharing the tally.
struct task_log {
    std::vector<std::atomic<int>> runs;
    std::vector<int> slots;
    std::atomic<int>* computing;
    std::atomic<int>* most_computing;

    task_log(std::ptrdiff_t tasks, std::atomic<int>* now, std::atomic<int>* most)
        : runs(tasks), slots(tasks, -1), computing(now), most_computing(most)
    {
    }

    void operator()(std::ptrdiff_t task, int slot)
    {
        const int at_once = computing->fetch_add(1) + 1;
        int most = most_computing->load();
        while (at_once > most && !most_computing->compare_exchange_weak(most, at_once)) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        runs[task].fetch_add(1);
        slots[task] = slot;
        computing->fetch_sub(1);
    }

    void expect_each_task_once(int threads) const
    {
        for (std::size_t k = 0; k < runs.size(); ++k) {
            EXPECT_EQ(runs[k].load(), 1) << "task " << k;
            EXPECT_GE(slots[k], 0);
            EXPECT_LT(slots[k], threads);
        }
    }
};

TEST(Pool, RunsEveryTaskOnceOnDistinctSlots)
{
    for (int threads : {1, 2, 3, 8})
        for (std::ptrdiff_t tasks : {0, 1, 2, 7, 64}) {
            std::atomic<int> now{0}, most{0};
            task_log log(tasks, &now, &most);
            run_tasks(tasks, threads, threads, log);
            log.expect_each_task_once(threads);
            EXPECT_LE(most.load(), threads);
        }
}

// Calls from many threads at once never have more threads computing in all
// than the limit; the callers beyond it wait their turn.
TEST(Pool, ConcurrentCallsStayWithinTheLimit)
{
    constexpr int limit = 2, callers = 6;
    std::atomic<int> now{0}, most{0};
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<task_log>> logs;
    for (int i = 0; i < callers; ++i)
        logs.push_back(std::make_unique<task_log>(40, &now, &most));
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] { run_tasks(40, limit, limit, *logs[i]); });
    for (std::thread& t : threads)
        t.join();
    for (const auto& log : logs)
        log->expect_each_task_once(limit);
    EXPECT_LE(most.load(), limit);
    EXPECT_GE(most.load(), 1);
}

std::atomic<int> start_attempts{0};

bool failing_start(void (*)(void*), void*)
{
    start_attempts.fetch_add(1);
    return false;
}

// More threads than the pool has ever started: starting them fails, and the
// call is done by the threads there are.
TEST(Pool, GoesOnWhenThreadsCannotBeStarted)
{
    constexpr int threads = 64;
    const thread_starter previous = set_thread_starter(failing_start);
    std::atomic<int> now{0}, most{0};
    task_log log(100, &now, &most);
    run_tasks(100, threads, threads, log);
    set_thread_starter(previous);
    log.expect_each_task_once(threads);
    EXPECT_GE(start_attempts.load(), 1);
    EXPECT_LT(most.load(), threads);
}

// Short calls whose helpers mostly wake after the caller has finished: a
// helper must never reach a call that has returned (AddressSanitizer
// reports it if one does).
TEST(Pool, LateHelpersLeaveFinishedCallsAlone)
{
    std::vector<std::thread> callers;
    for (int c = 0; c < 2; ++c)
        callers.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                std::vector<int> done(3, 0);
                auto mark = [&](std::ptrdiff_t task, int) { done[task] += 1; };
                run_tasks(3, 3, 3, mark);
                ASSERT_EQ(done, std::vector<int>(3, 1));
            }
        });
    for (std::thread& t : callers)
        t.join();
}

TEST(Pool, LimitFollowsOpenMP)
{
#ifdef _OPENMP
    const int previous = omp_get_max_threads();
    for (int n : {1, 3})
        std::thread([n] {
            omp_set_num_threads(n);
            EXPECT_EQ(thread_limit(), n);
        }).join();
    EXPECT_EQ(thread_limit(), previous);  // set in another thread, not here
#else
    GTEST_SKIP() << "built without OpenMP";
#endif
}

#if defined(__unix__) || defined(__APPLE__)
// A child forked while the parent's helpers exist has none of them and may
// have inherited a held lock; it must still finish its calls on threads.
TEST(Pool, ForkedChildComputes)
{
    std::atomic<int> now{0}, most{0};
    task_log parent(50, &now, &most);
    run_tasks(50, 2, 2, parent);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(20);  // a hang ends the child instead of the test run
        std::atomic<int> child_now{0}, child_most{0};
        task_log log(50, &child_now, &child_most);
        run_tasks(50, 2, 2, log);
        bool each_once = true;
        for (const auto& r : log.runs)
            each_once = each_once && r.load() == 1;
        _exit(each_once ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
#endif

}  // namespace
