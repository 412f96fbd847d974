#pragma once

#include "HostResolver.h"

#include <QSemaphore>

#include <atomic>

// A name service that answers only when the test lets it (release), with fixed addresses.
struct HeldNameService
{
    QSemaphore release;
    std::atomic<int> answered = 0;

    HostResolver::Resolve resolve(const QStringList &addresses)
    {
        return [this, addresses](const QString &) {
            release.acquire();
            ++answered;
            return addresses;
        };
    }
};
