#pragma once

// Helpers shared by the fuzz targets: reading typed pieces off the input.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstring>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    QByteArray rest()
    {
        const QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(m_size - m_pos));
        m_pos = m_size;
        return out;
    }
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    double real()
    {
        double d = 0;
        const size_t n = std::min(sizeof d, m_size - m_pos);
        std::memcpy(&d, m_data + m_pos, n);
        m_pos += n;
        return d;
    }
    // Bytes up to the next NUL (or the end), which is consumed.
    QByteArray field()
    {
        const void *nul = std::memchr(m_data + m_pos, 0, m_size - m_pos);
        const size_t end = nul ? size_t(static_cast<const uint8_t *>(nul) - m_data) : m_size;
        const QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(end - m_pos));
        m_pos = nul ? end + 1 : m_size;
        return out;
    }
    // The rest as NUL-separated fields, read as UTF-8 (bad bytes become U+FFFD).
    QStringList fields()
    {
        QStringList out;
        while (!empty())
            out << QString::fromUtf8(field());
        return out;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};
