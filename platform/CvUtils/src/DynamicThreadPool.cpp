// Worker pool: starts with its least number of threads, adds one whenever a
// task finds every thread busy (up to the most), and lets threads beyond
// the idle number end after a while without work.

#include "KestCv/DynamicThreadPool.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "Kest8/Logger.h"

namespace KestCvUtils {
namespace {

constexpr auto kIdleTimeout = std::chrono::seconds(30);

// Shared by the pool object and its threads, so that a pool released from
// one of its own tasks stays valid until that thread has returned.
struct PoolState {
    Kest8::ILogger* logger = nullptr;
    std::string name;
    size_t maxThreads = 1;
    size_t minThreads = 1;
    size_t idleThreads = 1;
    bool grow = true;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<IDynamicThreadPool::Task> tasks;
    std::list<std::thread> threads;
    std::vector<std::thread::id> retired;  // ended threads still to be joined
    size_t idle = 0;
    bool stopping = false;

    void Log(int32_t level, const std::string& text) const
    {
        if (logger != nullptr && logger->GetLogLevel() <= level) logger->Log(level, (name + ": " + text).c_str());
    }
};

void Work(const std::shared_ptr<PoolState>& state);

// Under the state's mutex.
void Spawn(const std::shared_ptr<PoolState>& state)
{
    state->threads.emplace_back([state] { Work(state); });
}

// Under the state's mutex: joins threads that have ended.
void Reap(PoolState& state, std::vector<std::thread>& joinable)
{
    for (const std::thread::id id : state.retired) {
        auto it = std::find_if(state.threads.begin(), state.threads.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
        if (it == state.threads.end()) continue;
        joinable.push_back(std::move(*it));
        state.threads.erase(it);
    }
    state.retired.clear();
}

void Work(const std::shared_ptr<PoolState>& state)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        ++state->idle;
        const bool woken =
            state->wake.wait_for(lock, kIdleTimeout, [&] { return state->stopping || !state->tasks.empty(); });
        --state->idle;
        if (!woken) {
            if (state->threads.size() - state->retired.size() > std::max(state->minThreads, state->idleThreads)) {
                state->retired.push_back(std::this_thread::get_id());
                return;
            }
            continue;
        }
        if (state->tasks.empty()) return;  // stopping with nothing left to do
        IDynamicThreadPool::Task task = std::move(state->tasks.front());
        state->tasks.pop_front();
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            state->Log(3, std::string("task failed: ") + e.what());
        } catch (...) {
            state->Log(3, "task failed");
        }
        task = nullptr;
        lock.lock();
    }
}

class DynamicThreadPool final : public IDynamicThreadPool {
public:
    explicit DynamicThreadPool(std::shared_ptr<PoolState> state) : m_state(std::move(state)) {}

    ~DynamicThreadPool() override
    {
        std::list<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->stopping = true;  // queued tasks still run, new ones are refused
            threads.swap(m_state->threads);
            m_state->retired.clear();
        }
        m_state->wake.notify_all();
        for (std::thread& thread : threads) {
            if (thread.get_id() == std::this_thread::get_id())
                thread.detach();  // released by one of its own tasks: it ends on its own
            else
                thread.join();
        }
    }

    bool Post(Task task) override
    {
        if (!task) return false;
        // The task may release the pool before this returns.
        const std::shared_ptr<PoolState> state = m_state;
        std::vector<std::thread> ended;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->stopping) return false;
            Reap(*state, ended);
            try {
                state->tasks.push_back(std::move(task));
            } catch (const std::bad_alloc&) {
                return false;
            }
            const size_t running = state->threads.size() - state->retired.size();
            if (running < state->maxThreads && state->idle < state->tasks.size() &&
                (state->grow || running < state->minThreads)) {
                try {
                    Spawn(state);
                } catch (const std::exception& e) {
                    // The task still runs once a thread is free; with none it is refused.
                    state->Log(2, std::string("cannot add a thread: ") + e.what());
                    if (running == 0) {
                        state->tasks.pop_back();
                        return false;
                    }
                }
            }
        }
        state->wake.notify_one();
        for (std::thread& thread : ended) thread.join();
        return true;
    }

private:
    std::shared_ptr<PoolState> m_state;
};

}  // namespace

std::shared_ptr<IDynamicThreadPool> CreateDynamicThreadPool(Kest8::ILogger* logger, const std::string& name,
                                                            unsigned long maxThreads, unsigned long minThreads,
                                                            unsigned long idleThreads, bool growOnDemand)
{
    auto state = std::make_shared<PoolState>();
    state->logger = logger;
    state->name = name;
    state->maxThreads = std::max<unsigned long>(maxThreads, 1);
    state->minThreads = std::clamp<unsigned long>(minThreads, 1, state->maxThreads);
    state->idleThreads = std::min<unsigned long>(idleThreads, state->maxThreads);
    state->grow = growOnDemand;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        for (size_t i = 0; i < state->minThreads; ++i) Spawn(state);
    }
    return std::make_shared<DynamicThreadPool>(state);
}

}  // namespace KestCvUtils
