// SPDX-License-Identifier: MIT
#include "batchrun.h"

#include "clioptions.h"
#include "file/atomicfile.h"
#include "file/replacementbatch.h"
#include "filerun.h"
#include "standardstreams.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/resource.h>

namespace xmladjust {

namespace {

FileReport failedWith(const Failure &failure)
{
    FileReport report;
    report.error = failure.message;
    return report;
}

// Files dispatched and not yet reported. Each holds up to three descriptors (the file,
// its lock and its new file) and, without unnamed files, a name a signal removes; the
// soft limit on descriptors is raised towards the hard one for them.
int windowFor(int jobs)
{
    int window = std::max(2 * jobs, 512);
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return window;
    if (limit.rlim_cur < 4096 && limit.rlim_max > limit.rlim_cur) {
        rlimit raised = limit;
        raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return int(std::min<rlim_t>(window, limit.rlim_cur > 64 ? (limit.rlim_cur - 32) / 4 : 8));
}

// The worker threads and what passes between them and the thread that commits and
// reports: the indexes of the files to do, in a queue the window bounds, and the
// prepared files, each moved out of its worker once done (one owner at a time).
// Without threads, a file is prepared when it is dispatched, on the caller's thread.
class FileWorkers
{
public:
    FileWorkers(const QStringList &files, const Settings &settings, int threads)
        : m_files(files), m_settings(settings)
    {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { work(); });
    }

    ~FileWorkers()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_toDo.notify_all();
        for (std::thread &thread : m_threads)
            thread.join();
    }

    void dispatch(int index)
    {
        if (m_threads.empty()) {
            m_done.emplace_back(index, prepare(index));
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(index);
        }
        m_toDo.notify_one();
    }

    // The files done since the last call, once there is one. While a batch is committed
    // the workers go on, and the next batch is what they did meanwhile: batches grow to
    // match how long the disk takes to commit one, and its waits overlap their work.
    std::vector<std::pair<int, PreparedFile>> takeDone()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_doneChanged.wait(lock, [this] { return !m_done.empty(); });
        std::vector<std::pair<int, PreparedFile>> done;
        done.swap(m_done);
        return done;
    }

private:
    void work()
    {
        for (;;) {
            int index = -1;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_toDo.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                index = m_queue.front();
                m_queue.pop_front();
            }
            PreparedFile prepared = prepare(index);
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_done.emplace_back(index, std::move(prepared));
            }
            m_doneChanged.notify_one();
        }
    }

    PreparedFile prepare(int index) const
    {
        const QString &file = m_files[index];
        PreparedFile prepared = file == QLatin1String("-")
                                    ? PreparedFile(adjustStandardInput(m_settings))
                                    : prepareFile(file, m_settings);
        // Completed here, where it was written, so that the committing thread only
        // syncs and renames.
        if (prepared.replacement) {
            if (const Outcome completed = prepared.replacement->complete();
                !completed.succeeded()) {
                prepared.report = failedWith(completed.failure());
                prepared.replacement.reset();
            }
        }
        return prepared;
    }

    const QStringList &m_files;
    const Settings &m_settings;
    std::mutex m_mutex;
    std::condition_variable m_toDo, m_doneChanged;
    std::deque<int> m_queue;
    std::vector<std::pair<int, PreparedFile>> m_done;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace

int defaultJobCount()
{
    cpu_set_t cores;
    if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0)
        return CPU_COUNT(&cores);
    return std::max(1u, std::thread::hardware_concurrency());
}

bool runFiles(const QStringList &files, const Settings &settings, int jobs)
{
    const int count = files.size();
    const int window = std::max(1, windowFor(jobs));
    // The final reports of the files in flight, at their index modulo the window.
    std::vector<std::optional<FileReport>> reports(static_cast<size_t>(window));
    bool allSucceeded = true;
    // A file alone is worked on here: a worker would only wait for it, and the
    // window's path builds its document faster on the main thread's heap.
    FileWorkers workers(files, settings, count == 1 ? 0 : std::min(jobs, count));
    int dispatched = 0, reported = 0;
    while (reported < count) {
        for (; dispatched < count && dispatched - reported < window; ++dispatched)
            workers.dispatch(dispatched);
        // Whatever is done is committed at once, in whatever order it was done, so that
        // no file stays locked waiting for one before it (another run may wait for it).
        std::vector<std::pair<int, PreparedFile>> done = workers.takeDone();
        ReplacementBatch batch;
        std::vector<int> committed;
        for (auto &[index, prepared] : done) {
            if (prepared.replacement) {
                batch.add(std::move(prepared.replacement));
                committed.push_back(index);
            }
            reports[size_t(index % window)] = std::move(prepared.report);
        }
        const std::vector<Outcome> outcomes = batch.commit();
        for (size_t i = 0; i < outcomes.size(); ++i) {
            if (!outcomes[i].succeeded())
                reports[size_t(committed[i] % window)] = failedWith(outcomes[i].failure());
        }
        for (; reported < count && reports[size_t(reported % window)]; ++reported) {
            std::optional<FileReport> &report = reports[size_t(reported % window)];
            printLine(stderr, reportLine(files[reported], *report, settings.dryRun));
            allSucceeded = allSucceeded && report->error.isEmpty();
            report.reset();
        }
    }
    return allSucceeded;
}

} // namespace xmladjust
