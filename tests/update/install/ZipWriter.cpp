#include "ZipWriter.h"

#include <QFile>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

QString writeZip(const QString &path, const std::vector<ZipEntry> &entries)
{
    archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    QString error;
    if (archive_write_open_filename(a, QFile::encodeName(path).constData()) != ARCHIVE_OK)
        error = QString::fromUtf8(archive_error_string(a));
    for (const ZipEntry &z : entries) {
        if (!error.isEmpty())
            break;
        archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, z.path.constData());
        archive_entry_set_perm(e, z.mode);
        switch (z.kind) {
        case ZipEntry::Kind::File:
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_size(e, z.data.size());
            break;
        case ZipEntry::Kind::Folder:
            archive_entry_set_filetype(e, AE_IFDIR);
            break;
        case ZipEntry::Kind::Link:
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_symlink(e, z.target.constData());
            break;
        case ZipEntry::Kind::HardLink:
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_hardlink(e, z.target.constData());
            archive_entry_set_size(e, 0);
            break;
        case ZipEntry::Kind::Fifo:
            archive_entry_set_filetype(e, AE_IFIFO);
            break;
        case ZipEntry::Kind::CharDevice:
            archive_entry_set_filetype(e, AE_IFCHR);
            archive_entry_set_rdev(e, makedev(1, 3));
            break;
        }
        if (archive_write_header(a, e) < ARCHIVE_WARN)
            error = QString::fromUtf8(archive_error_string(a));
        else if (z.kind == ZipEntry::Kind::File && !z.data.isEmpty()
                 && archive_write_data(a, z.data.constData(), size_t(z.data.size())) != z.data.size())
            error = QString::fromUtf8(archive_error_string(a));
        archive_entry_free(e);
    }
    if (archive_write_close(a) != ARCHIVE_OK && error.isEmpty())
        error = QString::fromUtf8(archive_error_string(a));
    archive_write_free(a);
    return error;
}
