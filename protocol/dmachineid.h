#pragma once

#include <QList>
#include <QString>

// The machine id that every request carries: the hardware address of the computer's first
// network interface that is not a loop-back one.
class DMachineId
{
public:
    struct Interface
    {
        bool isLoopBack = false;
        QString hardwareAddress;
    };

    // The stored id, computed on first use. Empty while the computer has no interface but
    // loop-back ones; the stored value then stays at its initial zeros and the next call tries
    // again.
    static QString current();
    // The first non-loop-back interface's hardware address without ":", in the order given;
    // empty when there is none.
    static QString fromInterfaces(const QList<Interface>& interfaces);
    static QList<Interface> systemInterfaces();

    static const char* const Unset; // "000000000000"
};
