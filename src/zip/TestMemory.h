#pragma once
// TestMemory: the buffers of in-memory data tests, one pool with one budget for the whole process. Every
// thread that tests (the read-ahead workers, the window's thread) borrows its batch's buffer here, so the peak
// of a run no longer grows with the number of workers. A buffer given back stays in the pool for the next
// archive, on any thread: its pages are touched once, not once per archive. A test that cannot borrow within
// a short wait streams its entries through zlib instead, which needs two small chunks and gives the same
// verdict.

#include <QtGlobal>
#include <chrono>

namespace testmemory {

// Room for two threads' batches at once (2 MiB of compressed data and two outputs each), as many as two
// cores inflate, with some to spare for a larger entry; more would wait for a core anyway.
constexpr qint64 kBudget = 16 * 1024 * 1024;
// How long a test waits for a buffer before it streams: about what a batch of another thread takes.
constexpr std::chrono::milliseconds kWait{50};

// A buffer borrowed from the pool, not zeroed; back in the pool when destroyed or reset.
class Lease
{
public:
    Lease() = default;
    ~Lease() { reset(); }
    Lease(Lease&& o) noexcept : m_data(o.m_data), m_size(o.m_size) { o.m_data = nullptr, o.m_size = 0; }
    Lease& operator=(Lease&& o) noexcept;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return m_data != nullptr; }
    char* data() const { return m_data; }
    qint64 size() const { return m_size; }
    void reset();

private:
    friend Lease borrow(qint64, std::chrono::milliseconds);
    char* m_data = nullptr;
    qint64 m_size = 0;
};

// A buffer of at least `bytes`, waiting up to `wait` for others to give back room; empty when none came in
// time or none can (more than the whole budget). Buffers lying unused in the pool are freed to make room.
Lease borrow(qint64 bytes, std::chrono::milliseconds wait = kWait);

// Frees the buffers no one borrows now; for the end of a run, so a window left open holds none.
void releaseIdle();

// Bytes of all the pool's buffers, lent or not: what the tests' buffers add to the process's memory.
qint64 pooledBytes();

} // namespace testmemory
