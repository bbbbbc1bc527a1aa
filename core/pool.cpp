#include "pool.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define MORVEKIN_HAS_FORK 1
#endif

namespace {

bool start_detached(void (*entry)(void*), void* argument)
{
    try {
        std::thread(entry, argument).detach();
        return true;
    } catch (const std::exception&) {  // std::system_error, or no memory for its state
        return false;
    }
}

thread_starter current_starter = start_detached;

// One call of run_tasks, on its caller's stack. Helpers find it only through
// the pool's list of open calls and leave it under the pool's lock, so none
// touches it after its caller returns.
struct call {
    task_function run;
    void* context;
    std::ptrdiff_t tasks;
    int threads, limit;
    std::atomic<std::ptrdiff_t> next{0};
    int joined = 1;   // slots handed out, the caller's 0 included (pool lock)
    int helping = 0;  // helpers working on it (pool lock)

    void work_from(std::ptrdiff_t task, int slot)
    {
        for (; task < tasks; task = next.fetch_add(1, std::memory_order_relaxed))
            run(context, task, slot);
    }
};

class pool {
public:
    void run(call& c);

private:
    static void helper_main(void* self) { static_cast<pool*>(self)->help(); }
    void help();
    bool callers_queued() const { return serving_ != next_ticket_; }
    void close(call& c) { open_.erase(std::remove(open_.begin(), open_.end(), &c), open_.end()); }

    std::mutex mutex_;
    std::condition_variable work_, slots_, finished_;
    std::vector<call*> open_;  // calls that still take helpers
    int computing_ = 0;        // threads computing for any call
    int helpers_ = 0, idle_ = 0;
    unsigned long next_ticket_ = 0, serving_ = 0;  // callers take turns for a slot
};

void pool::run(call& c)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long ticket = next_ticket_++;
    slots_.wait(lock, [&] { return serving_ == ticket && computing_ < c.limit; });
    ++serving_;
    ++computing_;
    slots_.notify_all();  // the next in line may fit as well

    const int wanted = static_cast<int>(std::min<std::ptrdiff_t>(c.threads, c.tasks)) - 1;
    if (wanted > 0) {
        open_.push_back(&c);
        // Wake only helpers that may compute now; the others would go back
        // to sleep.
        for (int i = std::min({wanted, idle_, c.limit - computing_}); i > 0; --i)
            work_.notify_one();
        // Helpers are started on demand; one that cannot be started is done
        // without, this call and later ones run on fewer threads.
        int missing = std::max(0, wanted - helpers_);
        helpers_ += missing;
        lock.unlock();
        for (; missing > 0 && current_starter(helper_main, this); --missing) {
        }
        lock.lock();
        helpers_ -= missing;
    }
    lock.unlock();

    c.work_from(c.next.fetch_add(1, std::memory_order_relaxed), 0);

    // Wait only for tasks that helpers hold; a helper that wakes later finds
    // the call closed.
    lock.lock();
    --computing_;
    close(c);
    if (callers_queued())
        slots_.notify_all();
    else if (!open_.empty() && idle_ > 0)
        work_.notify_one();
    finished_.wait(lock, [&] { return c.helping == 0; });
}

void pool::help()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        call* joined = nullptr;
        std::ptrdiff_t task = 0;
        for (std::size_t i = 0; i < open_.size() && joined == nullptr && !callers_queued();) {
            call* c = open_[i];
            if (computing_ >= c->limit) {
                ++i;
                continue;
            }
            task = c->next.fetch_add(1, std::memory_order_relaxed);
            if (task < c->tasks)
                joined = c;
            else
                close(*c);
        }
        if (joined == nullptr) {
            ++idle_;
            work_.wait(lock);
            --idle_;
            continue;
        }
        const int slot = joined->joined++;
        if (joined->joined == joined->threads)
            close(*joined);
        ++joined->helping;
        ++computing_;
        lock.unlock();

        joined->work_from(task, slot);

        lock.lock();
        --computing_;
        if (--joined->helping == 0)
            finished_.notify_all();
        if (callers_queued())
            slots_.notify_all();
    }
}

#ifdef MORVEKIN_HAS_FORK
// A forked child has none of its parent's helper threads, and the pool's lock
// may have been held at the fork; it starts a pool of its own.
struct owned_pool {
    pool* instance;
    pid_t owner;
};
#endif

pool* process_pool()
{
#ifdef MORVEKIN_HAS_FORK
    static std::atomic<owned_pool*> current{nullptr};
    const pid_t self = getpid();
    owned_pool* p = current.load(std::memory_order_acquire);
    while (p == nullptr || p->owner != self) {
        owned_pool* fresh = new (std::nothrow) owned_pool{new (std::nothrow) pool, self};
        if (fresh == nullptr || fresh->instance == nullptr) {
            delete fresh;
            return nullptr;
        }
        // The parent's pool is left as it is: never destroyed, never used.
        if (current.compare_exchange_strong(p, fresh, std::memory_order_acq_rel))
            return fresh->instance;
        delete fresh->instance;
        delete fresh;
    }
    return p->instance;
#else
    // Never destroyed: helpers may still sleep in it while the process exits.
    static pool* const instance = new (std::nothrow) pool;
    return instance;
#endif
}

}  // namespace

int thread_limit()
{
#ifdef _OPENMP
    return std::max(1, omp_get_max_threads());
#else
    static const int limit = [] {
        if (const char* setting = std::getenv("OMP_NUM_THREADS")) {
            char* end;
            const long n = std::strtol(setting, &end, 10);
            if (end != setting && n >= 1)
                return static_cast<int>(std::min<long>(n, INT_MAX));
        }
        return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    }();
    return limit;
#endif
}

void run_tasks(std::ptrdiff_t tasks, int threads, int limit, task_function run, void* context)
{
    call c{run, context, tasks, std::max(1, threads), std::max(1, limit)};
    if (pool* p = process_pool())
        p->run(c);
    else
        c.work_from(c.next.fetch_add(1, std::memory_order_relaxed), 0);
}

thread_starter set_thread_starter(thread_starter starter)
{
    const thread_starter previous = current_starter;
    current_starter = starter;
    return previous;
}
