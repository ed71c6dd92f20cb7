#include "workqueue.h"

#include <iterator>

WorkQueue::WorkQueue(std::size_t capacity)
    : capacity(capacity)
{ }

bool WorkQueue::push(Job &&job)
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (closed || jobs.size() >= capacity)
            return false;
        jobs.push_back(std::move(job));
    }
    available.notify_one();
    return true;
}

std::optional<WorkQueue::Job> WorkQueue::pop(std::size_t *depthAfter)
{
    bool timedOut = false;
    return pop(std::chrono::milliseconds::zero(), &timedOut, depthAfter);
}

std::optional<WorkQueue::Job> WorkQueue::pop(
    std::chrono::milliseconds timeout, bool *timedOut, std::size_t *depthAfter)
{
    std::unique_lock<std::mutex> lock(mutex);
    const auto ready = [this] { return closed || !jobs.empty(); };
    *timedOut = false;
    if (timeout > std::chrono::milliseconds::zero()) {
        if (!available.wait_for(lock, timeout, ready)) {
            *timedOut = true;
            return std::nullopt;
        }
    } else {
        available.wait(lock, ready);
    }
    if (jobs.empty())
        return std::nullopt;
    Job job = std::move(jobs.front());
    jobs.pop_front();
    if (depthAfter)
        *depthAfter = jobs.size();
    return job;
}

void WorkQueue::close()
{
    {
        const std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    available.notify_all();
}

std::size_t WorkQueue::size()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return jobs.size();
}

std::vector<WorkQueue::Job> WorkQueue::takeAll()
{
    const std::lock_guard<std::mutex> lock(mutex);
    std::vector<Job> taken(std::make_move_iterator(jobs.begin()), std::make_move_iterator(jobs.end()));
    jobs.clear();
    return taken;
}
