#include "io/thread_pool.h"

#include <system_error>

thread_pool::thread_pool(int n_threads) {
    workers_.reserve(static_cast<size_t>(n_threads > 0 ? n_threads : 0));
    for (int i = 0; i < n_threads; ++i) {
        try {
            workers_.emplace_back(&thread_pool::work, this);
        } catch (const std::system_error&) {
            break;
        }
    }
}

thread_pool::~thread_pool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    has_work_.notify_all();
    for (auto& w : workers_) w.join();
}

void thread_pool::submit(thread_task* task) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        task->done = false;
        queue_.push_back(task);
    }
    has_work_.notify_one();
}

// A thread that would block runs queued tasks itself meanwhile, so that the
// caller's own thread counts as one more worker.
void thread_pool::wait(thread_task* task) {
    std::unique_lock<std::mutex> hold(lock_);
    while (!task->done) {
        if (queue_.empty()) {
            has_done_.wait(hold);
            continue;
        }
        thread_task* next = queue_.front();
        queue_.pop_front();
        hold.unlock();
        next->run(next);
        hold.lock();
        next->done = true;
        has_done_.notify_all();
    }
}

bool thread_pool::is_done(thread_task* task) {
    std::lock_guard<std::mutex> hold(lock_);
    return task->done;
}

void thread_pool::work() {
    for (;;) {
        thread_task* task;
        {
            std::unique_lock<std::mutex> hold(lock_);
            has_work_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, and nothing left to run
            task = queue_.front();
            queue_.pop_front();
        }
        task->run(task);
        {
            std::lock_guard<std::mutex> hold(lock_);
            task->done = true;
        }
        has_done_.notify_all();
    }
}
