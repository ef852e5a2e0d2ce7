#include "zip/ReadAhead.h"
#include "zip/TestMemory.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(10);

} // namespace

ReadAhead::ReadAhead(QStringList paths, int maxAhead, qint64 maxAheadBytes, int jobs,
                     std::shared_ptr<const FolderVerdicts> verdicts)
    : m_paths(std::move(paths)), m_maxAhead(std::max(1, maxAhead)), m_maxAheadBytes(maxAheadBytes),
      m_verdicts(std::move(verdicts)), m_done(size_t(m_paths.size())), m_weight(size_t(m_paths.size())),
      m_finishedAt(size_t(m_paths.size()), 0)
{
    // More workers than archives, or than the archives they may read ahead, would only wait.
    const int count =
        std::clamp(jobs > 0 ? jobs : defaultJobs(), 1, std::max(1, std::min<int>(m_maxAhead, m_paths.size())));
    for (int k = 0; k < count; ++k)
        m_workers.push_back(std::make_unique<Worker>());
    m_running = count;
    for (auto& w : m_workers)
        w->thread = std::thread([this, worker = w.get()] { run(*worker); });
}

ReadAhead::~ReadAhead()
{
    stop();
    for (auto& w : m_workers)
        if (w->thread.joinable())
            w->thread.join();
    // The run's test buffers stay in the pool from archive to archive; once it ends they go.
    testmemory::releaseIdle();
}

int ReadAhead::defaultJobs()
{
    return std::max(1, int(std::thread::hardware_concurrency()));
}

void ReadAhead::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_room.notify_all();
    m_ready.notify_all();
}

void ReadAhead::wakeWorkers()
{
    // Workers sleep until half the window ahead is free again, so that each wake-up reads a batch: waking one
    // per archive taken costs more than listing a small archive whose verdict stands. A position the caller
    // waits for that no worker has taken always wakes them.
    const bool behind = m_claimed <= m_next;
    if (behind || (m_claimed - m_next <= m_maxAhead / 2 && m_aheadBytes <= m_maxAheadBytes / 2))
        m_room.notify_all();
}

qint64 ReadAhead::weight(const ArchiveListing& l)
{
    qint64 bytes = 256;
    for (const QString& n : l.names)
        bytes += 32 + n.size() * 2;
    return bytes;
}

void ReadAhead::finishAt(int i)
{
    if (!m_finishedAt[size_t(i)]) {
        m_finishedAt[size_t(i)] = 1;
        ++m_finished;
    }
}

void ReadAhead::run(Worker& w)
{
    // The component lives and dies on this thread; its progress hook is where a stop request lands.
    ZipComponent zip;
    zip.setProgressHook([this, &zip] {
        if (m_stop)
            zip.Abort = true;
    });
    QObject::connect(
        &zip, &ZipComponent::Status, &zip, [&w](qint16 percent) { w.percent = percent; }, Qt::DirectConnection);
    const int total = int(m_paths.size());
    for (;;) {
        int i = -1;
        {
            std::unique_lock lock(m_mutex);
            m_room.wait(lock, [&] {
                return m_stop || m_claimed >= total || m_claimed < m_next ||
                       (m_claimed - m_next < m_maxAhead && (m_aheadBytes < m_maxAheadBytes || m_claimed == m_next));
            });
            if (m_stop || m_claimed >= total)
                break;
            i = m_claimed++;
            if (i < m_next) {
                finishAt(i); // the caller went past it
                m_ready.notify_all();
                continue;
            }
            w.working = i;
            w.percent = 0;
        }
        ArchiveCleaner cleaner(zip, m_paths[i]);
        ArchiveListing listing = cleaner.list(m_verdicts.get());
        const std::lock_guard lock(m_mutex);
        w.working = -1;
        finishAt(i);
        // An aborted listing says nothing about the archive; the caller reads it itself.
        if (listing.result != ZipAborted && i >= m_next) {
            m_weight[size_t(i)] = weight(listing);
            m_aheadBytes += m_weight[size_t(i)];
            m_done[size_t(i)] = std::move(listing);
        }
        m_ready.notify_all();
    }
    const std::lock_guard lock(m_mutex);
    // The last worker to go leaves nothing for the caller to wait on: what no one read, the caller reads.
    if (--m_running == 0)
        for (int i = 0; i < total; ++i)
            finishAt(i);
    m_ready.notify_all();
}

void ReadAhead::drop(int i)
{
    if (m_done[size_t(i)]) {
        m_done[size_t(i)].reset();
        m_aheadBytes -= m_weight[size_t(i)];
    }
}

std::optional<ArchiveListing> ReadAhead::take(const QString& path, const std::function<bool()>& wait)
{
    std::unique_lock lock(m_mutex);
    const int at = int(m_paths.indexOf(path, m_next));
    if (at < 0)
        return std::nullopt;
    for (int j = m_next; j < at; ++j)
        drop(j);
    m_next = at;
    wakeWorkers();
    while (!m_finishedAt[size_t(at)]) {
        if (!wait) {
            m_ready.wait(lock);
            continue;
        }
        m_ready.wait_for(lock, kWaitSlice);
        if (m_finishedAt[size_t(at)])
            break;
        lock.unlock();
        const bool goOn = wait();
        lock.lock();
        if (!goOn)
            return std::nullopt;
    }
    std::optional<ArchiveListing> got = std::move(m_done[size_t(at)]);
    drop(at);
    m_next = at + 1;
    wakeWorkers();
    lock.unlock();
    if (got && !got->current())
        return std::nullopt;
    return got;
}

int ReadAhead::progress(const QString& path) const
{
    const std::lock_guard lock(m_mutex);
    for (const auto& w : m_workers) {
        const int at = w->working;
        if (at >= 0 && m_paths[at] == path)
            return w->percent;
    }
    return -1;
}

int ReadAhead::readCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_finished;
}
