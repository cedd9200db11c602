#pragma once
// The maker's worker pool. Needs BOOST_THREAD_VERSION 4 (set by the build).

#include <boost/thread/future.hpp>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace Kest8 {
class ILogger;
}

namespace KestCvUtils {

class XDynamicThreadPoolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IDynamicThreadPool {
public:
    using Task = std::function<void()>;

    virtual ~IDynamicThreadPool() = default;
    // False when the pool refuses the task.
    virtual bool Post(Task task) = 0;

    template <class F>
    auto PostTask(F&& callable) -> boost::future<std::invoke_result_t<std::decay_t<F>&>>
    {
        using R = std::invoke_result_t<std::decay_t<F>&>;
        auto task = std::make_shared<boost::packaged_task<R()>>(std::forward<F>(callable));
        auto future = task->get_future();
        if (!Post([task] { (*task)(); })) throw XDynamicThreadPoolError("unable to post a task into the pool");
        return future;
    }
};

std::shared_ptr<IDynamicThreadPool> CreateDynamicThreadPool(Kest8::ILogger* logger, const std::string& name,
                                                            unsigned long maxThreads, unsigned long minThreads,
                                                            unsigned long idleThreads, bool growOnDemand);

}  // namespace KestCvUtils
