#include "libdc/job_thread_linux.h"

#include "libdc/libdc.h"

#include <future>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kelv::dc {

// A request waiting for the thread.
struct JobThread::Job
{
    std::function<int32_t()> work;
    std::promise<int32_t> result;
};

JobThread::~JobThread()
{
    stop();
}

void JobThread::start(std::function<void()> body)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_thread.joinable() || m_stopping)
        return;
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread(std::move(body));
}

void JobThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    if (m_wake >= 0)
        ::close(m_wake);
    m_wake = -1;
    failPendingJobs();
}

bool JobThread::stopping() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
}

int32_t JobThread::perform(std::function<int32_t()> work)
{
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    std::future<int32_t> result = job->result.get_future();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable() || m_stopping)
            return DC_NOT_PRESENT;
        if (std::this_thread::get_id() == m_thread.get_id())
            return job->work();
        m_jobs.push_back(job);
    }
    wake();
    return result.get();
}

void JobThread::runJobs()
{
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_jobs.empty() || m_stopping)
                return;
            job = m_jobs.front();
            m_jobs.pop_front();
        }
        job->result.set_value(job->work());
    }
}

void JobThread::wait(int fd, short events, int timeoutMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_jobs.empty() || m_stopping)
            return;
    }
    pollfd fds[2] = {{m_wake, POLLIN, 0}, {fd, events, 0}};
    ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_wake, &value, sizeof value);
}

void JobThread::wake()
{
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }
}

// Without the thread every request finds no mouse.
void JobThread::failPendingJobs()
{
    std::deque<std::shared_ptr<Job>> jobs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        jobs.swap(m_jobs);
    }
    for (const auto &job : jobs)
        job->result.set_value(DC_NOT_PRESENT);
}

} // namespace kelv::dc
