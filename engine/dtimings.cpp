#include "engine/dtimings.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cmath>

namespace DTimings {
namespace {

double scaleFromEnvironment()
{
    bool ok = false;
    const double value = qEnvironmentVariable("FERRYDESK_TIME_SCALE").toDouble(&ok);
    return ok && value > 0 ? value : 1.0;
}

std::atomic<double>& currentScale()
{
    static std::atomic<double> value(scaleFromEnvironment());
    return value;
}

} // namespace

int scaled(int ms)
{
    const double result = std::ceil(ms * currentScale().load());
    return result < 1 ? 1 : static_cast<int>(result);
}

void setScale(double factor)
{
    currentScale().store(factor > 0 ? factor : 1.0);
}

double scale()
{
    return currentScale().load();
}

} // namespace DTimings
