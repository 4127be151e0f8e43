#include "app/LaunchOptions.h"

std::optional<LaunchRequest> scanLaunchArguments(const QStringList &arguments)
{
    const qsizetype i = arguments.indexOf(QStringLiteral("--test-message"));
    if (i < 0 || i + 1 >= arguments.size())
        return std::nullopt;
    LaunchRequest request;
    request.message = arguments.at(i + 1);
    const qsizetype j = arguments.indexOf(QStringLiteral("--position"));
    if (j >= 0 && j + 1 < arguments.size())
        request.position = HUDPositions::fromRawValue(arguments.at(j + 1)).value_or(HUDPosition::center);
    return request;
}

namespace {

QString quoted(const QString &argument)
{
    QString out;
    out.reserve(argument.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : argument) {
        switch (c.unicode()) {
        case '"': out += QStringLiteral("\\\""); break;
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case 0: out += QStringLiteral("\\0"); break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0))
                out += QStringLiteral("\\u{%1}").arg(c.unicode(), 0, 16);
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

} // namespace

QString renderArgumentList(const QStringList &arguments)
{
    QStringList parts;
    parts.reserve(arguments.size());
    for (const QString &a : arguments)
        parts.append(quoted(a));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QStringList argumentsFromArgv(int argc, char **argv)
{
    QStringList list;
    list.reserve(argc);
    for (int i = 0; i < argc; ++i)
        list.append(QString::fromUtf8(argv[i]));
    return list;
}
