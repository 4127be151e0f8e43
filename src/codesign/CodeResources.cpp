#include "codesign/CodeResources.h"

#include <QHash>

#include <algorithm>

namespace {

constexpr char kMagic[] = "ferrowhistle-code-resources 1";

bool decodeCanonical(const QByteArray &token, bool keepSlash, QByteArray *out)
{
    if (token.isEmpty())
        return false;
    const QByteArray raw = QByteArray::fromPercentEncoding(token);
    if (CodeResources::encode(raw, keepSlash) != token)
        return false;
    *out = raw;
    return true;
}

bool parseMode(const QByteArray &token, unsigned *mode)
{
    if (token.size() != 4)
        return false;
    unsigned m = 0;
    for (char c : token) {
        if (c < '0' || c > '7')
            return false;
        m = m * 8 + unsigned(c - '0');
    }
    *mode = m;
    return true;
}

QByteArray modeText(unsigned mode)
{
    return QByteArray::number(mode & 07777, 8).rightJustified(4, '0');
}

bool isLowerHex(const QByteArray &t)
{
    return std::all_of(t.begin(), t.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

QByteArray CodeResources::encode(const QByteArray &raw, bool keepSlash)
{
    return raw.toPercentEncoding(keepSlash ? QByteArray("/") : QByteArray());
}

bool CodeResources::isSafePath(const QByteArray &path)
{
    if (path.isEmpty() || path.size() > kMaxPathBytes || path.startsWith('/') || path.contains('\0'))
        return false;
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    }
    const QByteArray sig(kSignatureFolder);
    return path != sig && !path.startsWith(sig + '/');
}

QByteArray CodeResources::serialize() const
{
    QByteArray out;
    out.reserve(qsizetype(entries.size()) * 120 + 128);
    out += kMagic;
    out += "\nidentifier " + encode(identifier.toUtf8(), false);
    out += "\nroot " + modeText(rootMode);
    out += "\nentries " + QByteArray::number(qsizetype(entries.size())) + '\n';
    for (const SealEntry &e : entries) {
        switch (e.type) {
        case SealEntry::Type::Directory:
            out += "d " + modeText(e.mode) + ' ' + encode(e.path) + '\n';
            break;
        case SealEntry::Type::File:
            out += "f " + modeText(e.mode) + ' ' + encode(e.path) + ' ' + e.digest.toHex() + '\n';
            break;
        case SealEntry::Type::Symlink:
            out += "l " + encode(e.path) + ' ' + encode(e.target) + '\n';
            break;
        }
    }
    return out;
}

CodeResources CodeResources::parse(const QByteArray &text)
{
    auto bad = [](const QString &why) { return SealError(QStringLiteral("the sealed resource list is malformed (") + why + u')'); };
    if (text.size() > kMaxBytes)
        throw bad(QStringLiteral("too large"));
    if (!text.endsWith('\n'))
        throw bad(QStringLiteral("truncated"));

    CodeResources list;
    qsizetype pos = 0;
    qsizetype lineNo = 0;
    auto nextLine = [&](QByteArray *line) {
        if (pos >= text.size())
            return false;
        const qsizetype end = text.indexOf('\n', pos);
        *line = text.mid(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        return true;
    };
    QByteArray line;
    if (!nextLine(&line) || line != kMagic)
        throw bad(QStringLiteral("not a resource list"));

    QByteArray identifier;
    if (!nextLine(&line) || !line.startsWith("identifier ") || !decodeCanonical(line.mid(11), false, &identifier))
        throw bad(QStringLiteral("no signing identifier"));
    // The identifier is compared as text. Bytes that are not UTF-8 would be
    // read as the replacement character, that is as another identifier than
    // the one the list carries, and the list would no longer have one text.
    list.identifier = QString::fromUtf8(identifier);
    if (list.identifier.toUtf8() != identifier)
        throw bad(QStringLiteral("signing identifier not in UTF-8"));

    if (!nextLine(&line) || !line.startsWith("root ") || !parseMode(line.mid(5), &list.rootMode))
        throw bad(QStringLiteral("no root folder mode"));

    if (!nextLine(&line) || !line.startsWith("entries "))
        throw bad(QStringLiteral("no entry count"));
    bool ok = false;
    const qlonglong count = line.mid(8).toLongLong(&ok);
    if (!ok || count < 0 || line.mid(8) != QByteArray::number(count))
        throw bad(QStringLiteral("bad entry count"));
    if (count > kMaxEntries)
        throw bad(QStringLiteral("too many entries"));
    list.entries.reserve(size_t(count));

    while (nextLine(&line)) {
        if (qsizetype(list.entries.size()) >= count)
            throw bad(QStringLiteral("more entries than announced"));
        const QList<QByteArray> f = line.split(' ');
        SealEntry e;
        bool fieldsOk = false;
        if (f.size() == 3 && f[0] == "d") {
            e.type = SealEntry::Type::Directory;
            fieldsOk = parseMode(f[1], &e.mode) && decodeCanonical(f[2], true, &e.path);
        } else if (f.size() == 4 && f[0] == "f") {
            e.type = SealEntry::Type::File;
            fieldsOk = parseMode(f[1], &e.mode) && decodeCanonical(f[2], true, &e.path)
                       && f[3].size() == 64 && isLowerHex(f[3]);
            e.digest = QByteArray::fromHex(f[3]);
        } else if (f.size() == 3 && f[0] == "l") {
            e.type = SealEntry::Type::Symlink;
            fieldsOk = decodeCanonical(f[1], true, &e.path) && decodeCanonical(f[2], true, &e.target);
        }
        if (!fieldsOk)
            throw bad(QStringLiteral("bad entry on line ") + QString::number(lineNo));
        if (!isSafePath(e.path))
            throw bad(QStringLiteral("unsafe path on line ") + QString::number(lineNo));
        if (!list.entries.empty() && !(list.entries.back().path < e.path))
            throw bad(QStringLiteral("entries out of order or repeated on line ") + QString::number(lineNo));
        list.entries.push_back(std::move(e));
    }
    if (qsizetype(list.entries.size()) != count)
        throw bad(QStringLiteral("fewer entries than announced"));
    return list;
}
