#include "BundleRequirements.h"

#include "platform/ElfFile.h"
#include "release/SystemRequirements.h"

#include <QFile>
#include <QRegularExpression>

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// No entry of an archive the app accepts is larger.
constexpr qint64 kMaxEntryBytes = 209715200;

struct Reader {
    archive *a = archive_read_new();
    ~Reader() { if (a) archive_read_free(a); }
};

[[noreturn]] void failed(archive *a, const std::string &what)
{
    const char *why = archive_error_string(a);
    throw std::runtime_error(what + (why ? std::string(": ") + why : std::string()));
}

} // namespace

void addSystemRequirements(const QString &zipPath, QJsonObject &record)
{
    static const QRegularExpression inContents(QStringLiteral("^[^/]+\\.app/Contents/(.+)$"));
    Reader r;
    archive_read_support_format_zip(r.a);
    if (archive_read_open_filename(r.a, QFile::encodeName(zipPath).constData(), 1 << 16) != ARCHIVE_OK)
        failed(r.a, "can't open " + zipPath.toStdString());

    // Programs first: they name the machine that the libraries must match.
    std::vector<std::pair<QString, Elf::Info>> programs, libraries;
    archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(r.a, &entry)) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname(entry);
        const auto match = name ? inContents.match(QString::fromUtf8(name)) : QRegularExpressionMatch();
        if (!match.hasMatch() || archive_entry_filetype(entry) != AE_IFREG)
            continue;
        const QString rel = QStringLiteral("Contents/") + match.captured(1);
        if (rel.startsWith(QLatin1String("Contents/_CodeSignature/")))
            continue;
        const la_int64_t size = archive_entry_size(entry);
        if (size < 4)
            continue;
        if (size > kMaxEntryBytes)
            throw std::runtime_error(rel.toStdString() + " is larger than a release may be");
        char magic[4];
        if (archive_read_data(r.a, magic, sizeof magic) != la_ssize_t(sizeof magic))
            failed(r.a, "can't read " + rel.toStdString());
        if (!Elf::hasElfMagic(QByteArrayView(magic, 4)))
            continue;
        QByteArray bytes(qsizetype(size), Qt::Uninitialized);
        std::memcpy(bytes.data(), magic, sizeof magic);
        if (archive_read_data(r.a, bytes.data() + 4, size_t(size - 4)) != la_ssize_t(size - 4))
            failed(r.a, "can't read " + rel.toStdString());
        Elf::Info info;
        try {
            info = Elf::parse(bytes);
        } catch (const Elf::ElfError &e) {
            throw std::runtime_error(rel.toStdString() + " can't be read as a program or library: " + e.what());
        }
        const bool isProgram = rel.startsWith(QLatin1String("Contents/bin/")) && !rel.mid(13).contains(u'/');
        (isProgram ? programs : libraries).emplace_back(rel, std::move(info));
    }
    if (rc != ARCHIVE_EOF)
        failed(r.a, "can't read " + zipPath.toStdString());

    SystemRequirements::Needs needs;
    for (const auto *files : {&programs, &libraries}) {
        for (const auto &[rel, info] : *files)
            SystemRequirements::add(needs, rel, info, files == &programs);
    }
    if (needs.architecture)
        record.insert(QStringLiteral("architecture"), *needs.architecture);
    if (needs.glibc)
        record.insert(QStringLiteral("minimumGlibcVersion"), *needs.glibc);
    if (needs.libstdcxx)
        record.insert(QStringLiteral("minimumLibstdcxxVersion"), *needs.libstdcxx);
}
