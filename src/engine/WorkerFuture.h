#ifndef ONDIRA_ENGINE_WORKERFUTURE_H
#define ONDIRA_ENGINE_WORKERFUTURE_H

#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

namespace ondira {

/// Handle of the last launched worker and of its result.
///
/// Each launch starts a thread of its own at once, so a worker never waits
/// for a thread of a shared pool, however busy or small that pool is. Before
/// the first launch the handle reports finished, like a default future.
///
/// Used from one thread (the engine's caller); the worker only reports its
/// end. The thread is joined by `result`, or before the next launch, or when
/// the handle is destroyed.
class WorkerFuture
{
public:
    WorkerFuture() = default;
    ~WorkerFuture() { join(); }

    WorkerFuture(const WorkerFuture&) = delete;
    WorkerFuture& operator=(const WorkerFuture&) = delete;

    /// Launched and not yet returned.
    bool isRunning() const { return !finished.load(std::memory_order_acquire); }
    bool isFinished() const { return finished.load(std::memory_order_acquire); }

    /// Starts `work` (returning bool) on a new thread. The previous worker
    /// must have finished; it is joined first. False if no thread could be
    /// created.
    template <typename Work>
    bool launch(Work&& work) noexcept
    {
        join();
        finished.store(false, std::memory_order_release);
        try {
            thread = std::thread([this, work = std::forward<Work>(work)]() mutable {
                current() = this;
                workerResult = work();
                finished.store(true, std::memory_order_release);
            });
        } catch (const std::system_error&) {
            finished.store(true, std::memory_order_release);
            workerResult = false;
            return false;
        }
        return true;
    }

    /// Waits for the worker to return and gives its result (false when none
    /// was launched).
    bool result()
    {
        join();
        return workerResult;
    }

    /// True on the worker's own thread, which must never wait for itself.
    /// Safe from any thread, even while a launch is under way.
    bool isWorkerThread() const { return current() == this; }

private:
    /// The handle whose worker runs on the calling thread, if any.
    static const WorkerFuture*& current()
    {
        static thread_local const WorkerFuture* handle = nullptr;
        return handle;
    }

    void join()
    {
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
    }

    std::thread thread;
    std::atomic<bool> finished{true};
    bool workerResult = false; // written by the worker before `finished`, read after the join
};

} // namespace ondira

#endif
