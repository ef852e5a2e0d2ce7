#include "zip/ReadAhead.h"

#include <chrono>

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(10);

} // namespace

ReadAhead::ReadAhead(QStringList paths, int maxAhead, qint64 maxAheadBytes)
    : m_paths(std::move(paths)), m_maxAhead(std::max(1, maxAhead)), m_maxAheadBytes(maxAheadBytes),
      m_done(size_t(m_paths.size())), m_weight(size_t(m_paths.size()))
{
    m_worker = std::thread([this] { run(); });
}

ReadAhead::~ReadAhead()
{
    stop();
    if (m_worker.joinable())
        m_worker.join();
}

void ReadAhead::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
}

qint64 ReadAhead::weight(const ArchiveListing& l)
{
    qint64 bytes = 256;
    for (const QString& n : l.names)
        bytes += 32 + n.size() * 2;
    return bytes;
}

void ReadAhead::run()
{
    // The component lives and dies on this thread; its progress hook is where a stop request lands.
    ZipComponent zip;
    zip.setProgressHook([this, &zip] {
        if (m_stop)
            zip.Abort = true;
    });
    QObject::connect(
        &zip, &ZipComponent::Status, &zip, [this](qint16 percent) { m_percent = percent; }, Qt::DirectConnection);
    for (int i = 0; i < m_paths.size(); ++i) {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] {
                return m_stop || i < m_next ||
                       (i - m_next < m_maxAhead && (m_aheadBytes < m_maxAheadBytes || i == m_next));
            });
            if (m_stop)
                break;
            if (i < m_next) {
                m_finished = i + 1; // the caller went past it
                continue;
            }
            m_working = i;
            m_percent = 0;
        }
        ArchiveCleaner cleaner(zip, m_paths[i]);
        ArchiveListing listing = cleaner.list();
        const std::lock_guard lock(m_mutex);
        m_working = -1;
        m_finished = i + 1;
        // An aborted listing says nothing about the archive; the caller reads it itself.
        if (listing.result != ZipAborted && i >= m_next) {
            m_weight[size_t(i)] = weight(listing);
            m_aheadBytes += m_weight[size_t(i)];
            m_done[size_t(i)] = std::move(listing);
        }
        m_changed.notify_all();
    }
    const std::lock_guard lock(m_mutex);
    m_finished = int(m_paths.size());
    m_working = -1;
    m_changed.notify_all();
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
    m_changed.notify_all();
    while (m_finished <= at) {
        if (!wait) {
            m_changed.wait(lock);
            continue;
        }
        m_changed.wait_for(lock, kWaitSlice);
        if (m_finished > at)
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
    m_changed.notify_all();
    lock.unlock();
    if (got && !got->current())
        return std::nullopt;
    return got;
}

int ReadAhead::progress(const QString& path) const
{
    const std::lock_guard lock(m_mutex);
    return m_working >= 0 && m_paths[m_working] == path ? m_percent.load() : -1;
}

int ReadAhead::readCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_finished;
}
