// A fixed set of worker threads that run submitted tasks in submission
// order of pick-up.  Callers wait for their own tasks through the task's
// done flag; the pool never owns a task.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct thread_task {
    void (*run)(thread_task* task) = nullptr;  // called on a worker thread
    bool done = false;                         // set under the pool's lock when run returns
};

class thread_pool {
public:
    // Starts up to `n_threads` workers; fewer when the system refuses more
    // (size() tells how many run; 0 means none could start).
    explicit thread_pool(int n_threads);
    ~thread_pool();
    thread_pool(const thread_pool&) = delete;
    thread_pool& operator=(const thread_pool&) = delete;

    int size() const { return static_cast<int>(workers_.size()); }
    // Queues a task; it must stay alive until it is done.
    void submit(thread_task* task);
    // Returns once `task` has run, running queued tasks on the calling thread
    // while it waits.
    void wait(thread_task* task);
    // Whether `task` has run, without blocking.
    bool is_done(thread_task* task);

private:
    void work();

    std::mutex lock_;
    std::condition_variable has_work_, has_done_;
    std::deque<thread_task*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
