#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <compare>
#include <optional>

// A version written as whole numbers separated by dots (2.38, 3.4.32), as
// the C and C++ libraries name their symbol versions. Missing trailing
// numbers count as 0, so 2.38 and 2.38.0 are equal.
class DottedVersion {
public:
    // One or more runs of ASCII digits separated by single dots, each within
    // 64 bits; nothing else (no sign, no spaces, no empty run).
    static std::optional<DottedVersion> parse(QStringView text);

    std::strong_ordering operator<=>(const DottedVersion &other) const;
    bool operator==(const DottedVersion &other) const { return (*this <=> other) == 0; }

    QString text() const { return m_text; }

private:
    QList<qint64> m_parts;
    QString m_text;
};
