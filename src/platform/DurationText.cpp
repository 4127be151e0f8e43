#include "platform/DurationText.h"

QString describeDuration(std::chrono::milliseconds limit)
{
    const qint64 ms = limit.count();
    if (ms % 60000 == 0 && ms != 0)
        return ms == 60000 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(ms / 60000);
    return QStringLiteral("%1 seconds").arg(QString::number(static_cast<double>(ms) / 1000.0));
}
