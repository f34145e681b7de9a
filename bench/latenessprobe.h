#pragma once

// How late a 10 ms timer fires on the user-interface thread while the event loop runs: the
// figure a user feels as a window that stutters or freezes. Shared by the benchmarks, so every
// lateness they print means the same thing.
//
// On a shared machine lateness mixes two things: how long the thread worked without coming
// back to its timers, and how long other programs kept it from the processor. The thread's own
// processor time between two ticks (busyMax) is the first alone, so it also compares runs made
// under different loads.

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <ctime>

class LatenessProbe
{
public:
    static constexpr int PeriodMs = 10;

    LatenessProbe()
    {
        m_clock.start();
        m_cpuStart = m_cpuAtTick = threadCpuUs();
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_samples << std::max<qint64>(0, m_clock.elapsed() - m_expected);
            m_expected = m_clock.elapsed() + PeriodMs;
            const qint64 cpu = threadCpuUs();
            m_busyMaxUs = std::max(m_busyMaxUs, cpu - m_cpuAtTick);
            m_cpuAtTick = cpu;
        });
        m_timer.start(PeriodMs);
    }
    // The q-quantile of the lateness so far, in ms (q = 1 gives the worst).
    qint64 quantile(double q) const
    {
        QList<qint64> sorted = m_samples;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.isEmpty())
            return 0;
        return sorted.at(std::min<qsizetype>(sorted.size() - 1, qsizetype(q * sorted.size())));
    }
    // The worst lateness, counting a tick that is overdue right now.
    qint64 worst() const
    {
        return std::max(quantile(1.0), std::max<qint64>(0, m_clock.elapsed() - m_expected));
    }
    qsizetype count() const { return m_samples.size(); }
    // The most processor time the thread spent between two ticks, in ms.
    double busyMaxMs() const { return double(m_busyMaxUs) / 1000.0; }
    // The thread's processor time since the probe started, in ms.
    double cpuMs() const { return double(threadCpuUs() - m_cpuStart) / 1000.0; }

    // Processor time of the calling thread, in microseconds.
    static qint64 threadCpuUs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    }

private:
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_expected = PeriodMs;
    QList<qint64> m_samples;
    qint64 m_cpuStart = 0;
    qint64 m_cpuAtTick = 0;
    qint64 m_busyMaxUs = 0;
};
