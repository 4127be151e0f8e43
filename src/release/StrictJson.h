#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

// A JSON document that must be one object, parsed by QJsonDocument and then
// held to two rules QJsonDocument does not enforce:
// - no object anywhere in the document may name the same key twice
//   (QJsonDocument silently keeps the last one, so a feed could say two
//   things at once and we would believe whichever came last);
// - each top-level member's value is kept as it was written, so that a
//   number's form (1 versus 1.0 or 1e0, which QJsonDocument stores alike)
//   can be judged.
// Throws PlatformError with the parser's description when the text is not
// valid JSON (including invalid UTF-8 and nesting beyond the parser's limit),
// holds a duplicate key, or is not an object.
struct StrictJsonObject {
    QJsonObject object;
    QHash<QString, QByteArray> rawValues;

    static StrictJsonObject parse(const QByteArray &text, const QString &documentName);
};
