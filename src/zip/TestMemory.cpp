#include "zip/TestMemory.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/mman.h>
#endif

namespace testmemory {

namespace {

// Sizes are rounded up to this, so batches of about the same size reuse each other's buffers.
constexpr qint64 kGranule = 1024 * 1024;

// Straight from the system and back: malloc would keep freed pages of a large block for later, beyond the budget.
char* allocate(qint64 size)
{
#ifdef Q_OS_UNIX
    void* p = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
#else
    return new (std::nothrow) char[size_t(size)];
#endif
}

void deallocate(char* p, qint64 size)
{
#ifdef Q_OS_UNIX
    munmap(p, size_t(size));
#else
    Q_UNUSED(size);
    delete[] p;
#endif
}

struct Idle
{
    char* data;
    qint64 size;
};

std::mutex g_mutex;
std::condition_variable g_returned;
std::vector<Idle> g_idle; // buffers no one borrows now
qint64 g_pooled = 0;      // bytes of every buffer, lent or idle

} // namespace

Lease& Lease::operator=(Lease&& o) noexcept
{
    if (this != &o) {
        reset();
        m_data = o.m_data;
        m_size = o.m_size;
        o.m_data = nullptr;
        o.m_size = 0;
    }
    return *this;
}

void Lease::reset()
{
    if (!m_data)
        return;
    {
        const std::lock_guard lock(g_mutex);
        g_idle.push_back({m_data, m_size});
    }
    m_data = nullptr;
    m_size = 0;
    g_returned.notify_all();
}

Lease borrow(qint64 bytes, std::chrono::milliseconds wait)
{
    Lease lease;
    const qint64 size = std::max<qint64>(1, (bytes + kGranule - 1) / kGranule) * kGranule;
    if (bytes < 0 || size > kBudget)
        return lease; // would wait for nothing
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock lock(g_mutex);
    for (;;) {
        // The smallest idle buffer that is large enough.
        auto fit = g_idle.end();
        for (auto it = g_idle.begin(); it != g_idle.end(); ++it)
            if (it->size >= size && (fit == g_idle.end() || it->size < fit->size))
                fit = it;
        if (fit != g_idle.end()) {
            lease.m_data = fit->data;
            lease.m_size = fit->size;
            g_idle.erase(fit);
            return lease;
        }
        // Idle buffers too small for it go, smallest first, when that makes room; otherwise they stay for others.
        qint64 idleBytes = 0;
        for (const Idle& i : g_idle)
            idleBytes += i.size;
        std::sort(g_idle.begin(), g_idle.end(), [](const Idle& a, const Idle& b) { return a.size > b.size; });
        while (g_pooled + size > kBudget && g_pooled - idleBytes + size <= kBudget) {
            deallocate(g_idle.back().data, g_idle.back().size);
            g_pooled -= g_idle.back().size;
            g_idle.pop_back();
        }
        if (g_pooled + size <= kBudget) {
            char* p = allocate(size);
            if (!p)
                return lease;
            g_pooled += size;
            lease.m_data = p;
            lease.m_size = size;
            return lease;
        }
        if (g_returned.wait_until(lock, deadline) == std::cv_status::timeout)
            return lease;
    }
}

void releaseIdle()
{
    const std::lock_guard lock(g_mutex);
    for (const Idle& i : g_idle) {
        deallocate(i.data, i.size);
        g_pooled -= i.size;
    }
    g_idle.clear();
}

qint64 pooledBytes()
{
    const std::lock_guard lock(g_mutex);
    return g_pooled;
}

} // namespace testmemory
