#pragma once

#include <QtGlobal>

#include <atomic>

// The memory that request bodies may take at once, over all connections.
// A session reserves what it is about to buffer and releases it once the
// request is answered; a reservation that does not fit is refused.
//
// Thread rules: lock-free; any thread may reserve and release.
class BodyBudget
{
public:
    explicit BodyBudget(qint64 total)
        : total(total)
    { }

    bool reserve(qint64 bytes)
    {
        qint64 now = used.load();
        do {
            if (bytes > total - now)
                return false;
        } while (!used.compare_exchange_weak(now, now + bytes));
        return true;
    }
    void release(qint64 bytes) { used -= bytes; }

private:
    const qint64 total;
    std::atomic<qint64> used { 0 };
};
