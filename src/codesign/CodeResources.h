#pragma once

#include <QByteArray>
#include <QString>

#include <stdexcept>
#include <vector>

// The sealed resource list of a bundle (Contents/_CodeSignature/CodeResources):
// the signing identifier and one entry for every folder, file and symbolic
// link below the bundle folder except the signature folder itself.
//
// Text form, UTF-8, LF line ends, nothing else tolerated:
//
//   ferrowhistle-code-resources 1
//   identifier <identifier>
//   root <mode>
//   entries <count>
//   d <mode> <path>
//   f <mode> <path> <sha256 hex>
//   l <path> <target>
//
// Paths are relative to the bundle folder with "/" between components.
// Paths, targets and the identifier are percent-encoded (everything but
// A-Z a-z 0-9 - . _ ~ and, in paths and targets, "/"), in exactly that
// canonical form, so one list has exactly one text. Entries are strictly
// ascending by the bytes of their path, which also rules out duplicates.
// The root line seals the bundle folder's own mode: an archive carries it,
// so whoever serves the download would otherwise choose it.

class SealError : public std::runtime_error {
public:
    explicit SealError(const QString &description)
        : std::runtime_error(description.toStdString()), m_description(description) {}
    const QString &description() const { return m_description; }

private:
    QString m_description;
};

struct SealEntry {
    enum class Type : char { Directory = 'd', File = 'f', Symlink = 'l' };
    QByteArray path;   // raw bytes of the relative path
    Type type = Type::File;
    unsigned mode = 0; // permission bits (07777); 0 for symbolic links
    QByteArray digest; // 32 raw bytes of SHA-256, files only
    QByteArray target; // raw bytes, symbolic links only

    bool operator==(const SealEntry &) const = default;
};

class CodeResources {
public:
    // Far more than any bundle of ours holds; keeps a hostile list from
    // costing minutes or gigabytes.
    static constexpr qsizetype kMaxEntries = 100000;
    static constexpr qsizetype kMaxBytes = 32 * 1024 * 1024;
    static constexpr qsizetype kMaxPathBytes = 4096;

    QString identifier;
    unsigned rootMode = 0755;       // the bundle folder's permission bits
    std::vector<SealEntry> entries; // ascending by path

    QByteArray serialize() const;
    // Throws SealError saying what is wrong.
    static CodeResources parse(const QByteArray &text);

    // True for a relative path with no empty, "." or ".." component that
    // does not reach into the signature folder.
    static bool isSafePath(const QByteArray &path);
    // How a path is written in the list and in failure texts.
    static QByteArray encode(const QByteArray &raw, bool keepSlash = true);
};

// The folder inside a bundle that holds the signature files.
inline constexpr const char *kSignatureFolder = "Contents/_CodeSignature";
