// The pool of buffers for in-memory data tests: what it lends never adds up to more than its budget, and what
// comes back is lent again before anything new is allocated.

#include "zip/TestMemory.h"

#include <QTest>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr qint64 MiB = 1024 * 1024;

} // namespace

class TestTestMemory : public QObject
{
    Q_OBJECT
private slots:
    void leasesStayWithinBudget_data();
    void leasesStayWithinBudget();
    void returnedBufferIsLentAgain();
    void idleBuffersGoAtTheEndOfARun();
};

void TestTestMemory::leasesStayWithinBudget_data()
{
    QTest::addColumn<QList<qint64>>("sizes"); // borrowed in turn, every lease kept
    QTest::addColumn<QList<bool>>("granted");
    const qint64 budget = testmemory::kBudget;
    QTest::newRow("two batches fit, a third does not")
        << QList<qint64>{8 * MiB, 8 * MiB, 8 * MiB} << QList<bool>{true, true, false};
    QTest::newRow("sizes round up to whole MiB") << QList<qint64>{budget - MiB + 1, 1} << QList<bool>{true, false};
    QTest::newRow("more than the budget never, whatever is free")
        << QList<qint64>{budget + 1, 1} << QList<bool>{false, true};
    QTest::newRow("the whole budget, then nothing") << QList<qint64>{budget, 1} << QList<bool>{true, false};
}

void TestTestMemory::leasesStayWithinBudget()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(QList<bool>, granted);
    std::vector<testmemory::Lease> held;
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        testmemory::Lease l = testmemory::borrow(sizes[i], 0ms);
        QCOMPARE(bool(l), granted[i]);
        if (l) {
            QVERIFY(l.size() >= sizes[i]);
            l.data()[0] = 1; // the buffer is writable from end to end
            l.data()[l.size() - 1] = 1;
            held.push_back(std::move(l));
        }
        QVERIFY(testmemory::pooledBytes() <= testmemory::kBudget);
    }
}

void TestTestMemory::returnedBufferIsLentAgain()
{
    char* first = nullptr;
    {
        const testmemory::Lease big = testmemory::borrow(6 * MiB, 0ms);
        QVERIFY(big);
        first = big.data();
    }
    // A smaller need takes the idle buffer rather than new pages.
    {
        const testmemory::Lease small = testmemory::borrow(2 * MiB, 0ms);
        QCOMPARE(small.data(), first);
    }
    // A need the idle buffer is too small for frees it when the room is needed, so the whole budget can be lent.
    testmemory::Lease all = testmemory::borrow(testmemory::kBudget, 0ms);
    QVERIFY(all);
    QCOMPARE(testmemory::pooledBytes(), testmemory::kBudget);
    // With everything lent, a borrower gets nothing in its wait, or what comes back during it.
    QVERIFY(!testmemory::borrow(MiB, 20ms));
    std::thread giver([&all] {
        std::this_thread::sleep_for(20ms);
        all.reset();
    });
    const testmemory::Lease after = testmemory::borrow(MiB, 10s);
    giver.join();
    QVERIFY(after);
}

void TestTestMemory::idleBuffersGoAtTheEndOfARun()
{
    testmemory::releaseIdle(); // what earlier tests gave back
    QCOMPARE(testmemory::pooledBytes(), 0);
    testmemory::Lease kept = testmemory::borrow(3 * MiB, 0ms);
    testmemory::borrow(5 * MiB, 0ms).reset();
    QCOMPARE(testmemory::pooledBytes(), 8 * MiB);
    testmemory::releaseIdle();
    QCOMPARE(testmemory::pooledBytes(), kept.size()); // a lent buffer stays lent
    kept.reset();
    testmemory::releaseIdle();
    QCOMPARE(testmemory::pooledBytes(), 0);
}

QTEST_GUILESS_MAIN(TestTestMemory)
#include "test_testmemory.moc"
