#include "release/StrictJson.h"

#include "release/UpdaterFailure.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <vector>

namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The end (one past the closing quote) of the string token starting at i.
qsizetype stringEnd(const QByteArray &t, qsizetype i)
{
    for (++i; i < t.size(); ++i) {
        if (t[i] == '\\')
            ++i;
        else if (t[i] == '"')
            return i + 1;
    }
    return t.size();
}

QString decodeKey(const QByteArray &token)
{
    if (!token.contains('\\'))
        return QString::fromUtf8(token.mid(1, token.size() - 2));
    // Let the real parser undo the escapes, so "\u0062uild" is "build".
    const QJsonDocument doc = QJsonDocument::fromJson('[' + token + ']');
    return doc.array().at(0).toString();
}

struct Frame {
    bool isObject = false;
    bool expectKey = false;
    QSet<QString> keys;
};

} // namespace

StrictJsonObject StrictJsonObject::parse(const QByteArray &text, const QString &documentName)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        if (text.trimmed().isEmpty())
            throw PlatformError(QStringLiteral("%1 is empty.").arg(documentName));
        throw PlatformError(QStringLiteral("%1 isn't valid JSON: %2 at byte %3.")
                                .arg(documentName, error.errorString())
                                .arg(error.offset));
    }
    if (!doc.isObject())
        throw PlatformError(QStringLiteral("%1 isn't a JSON object.").arg(documentName));

    StrictJsonObject out;
    out.object = doc.object();

    // The text is valid JSON now, so a light walk over its tokens suffices.
    // It is iterative: the parser's nesting limit bounds the stack, not ours.
    std::vector<Frame> stack;
    QString topKey;
    qsizetype topValueStart = -1;
    auto finishTopValue = [&](qsizetype end) {
        if (topValueStart < 0)
            return;
        out.rawValues.insert(topKey, text.mid(topValueStart, end - topValueStart).trimmed());
        topValueStart = -1;
    };

    for (qsizetype i = 0; i < text.size();) {
        const char c = text[i];
        if (isJsonSpace(c)) {
            ++i;
            continue;
        }
        switch (c) {
        case '{':
        case '[':
            stack.push_back(Frame{c == '{', c == '{', {}});
            ++i;
            break;
        case '}':
        case ']':
            if (stack.size() == 1)
                finishTopValue(i);
            stack.pop_back();
            ++i;
            break;
        case ',':
            if (stack.size() == 1)
                finishTopValue(i);
            if (!stack.empty() && stack.back().isObject)
                stack.back().expectKey = true;
            ++i;
            break;
        case ':':
            ++i;
            if (stack.size() == 1)
                topValueStart = i;
            break;
        case '"': {
            const qsizetype end = stringEnd(text, i);
            if (!stack.empty() && stack.back().isObject && stack.back().expectKey) {
                Frame &frame = stack.back();
                frame.expectKey = false;
                const QString key = decodeKey(text.mid(i, end - i));
                if (frame.keys.contains(key))
                    throw PlatformError(QStringLiteral("%1 isn't valid JSON: the key \"%2\" appears twice in one object.")
                                            .arg(documentName, key));
                frame.keys.insert(key);
                if (stack.size() == 1)
                    topKey = key;
            }
            i = end;
            break;
        }
        default:
            ++i; // numbers, true, false, null: their text is kept by the span
            break;
        }
    }
    return out;
}
