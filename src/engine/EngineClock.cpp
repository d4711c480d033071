#include "engine/EngineClock.h"

#include <QDateTime>
#include <QThread>

namespace ondira {

EngineClock EngineClock::system()
{
    return EngineClock{[] { return static_cast<long long>(QDateTime::currentMSecsSinceEpoch()); },
                       [](unsigned long ms) { QThread::msleep(ms); }};
}

} // namespace ondira
