#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// Writes zip archives entry by entry with libarchive, including entries that
// no honest packer makes (absolute paths, "..", links out, hard links,
// devices), so that the unpacking can be tried against them.
struct ZipEntry {
    enum class Kind { File, Folder, Link, HardLink, Fifo, CharDevice };
    Kind kind = Kind::File;
    QByteArray path;
    QByteArray data;   // files
    QByteArray target; // links and hard links
    unsigned mode = 0644;
};

inline ZipEntry zipFile(QByteArray path, QByteArray data, unsigned mode = 0644)
{
    return {ZipEntry::Kind::File, std::move(path), std::move(data), {}, mode};
}
inline ZipEntry zipFolder(QByteArray path, unsigned mode = 0755) { return {ZipEntry::Kind::Folder, std::move(path), {}, {}, mode}; }
inline ZipEntry zipLink(QByteArray path, QByteArray target) { return {ZipEntry::Kind::Link, std::move(path), {}, std::move(target), 0777}; }

// Empty on success, else what went wrong.
QString writeZip(const QString &path, const std::vector<ZipEntry> &entries);
