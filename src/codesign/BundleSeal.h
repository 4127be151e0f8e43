#pragma once

#include "codesign/CodeResources.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The seal of a bundle on disk: walking the bundle folder, building its
// resource list, holding a list up against the disk, and reading and writing
// the files of the signature folder.
class BundleSeal {
public:
    // The files that may sit in Contents/_CodeSignature.
    static constexpr const char *kResourcesFile = "CodeResources";
    static constexpr const char *kSignatureFile = "CodeSignature";
    static constexpr const char *kNotarizationFile = "Notarization";

    // True when path is a real folder (not a link) with a real Contents
    // folder inside: something that can be opened as a bundle.
    static bool looksLikeBundle(const QString &bundlePath);

    // Every folder, file and link below the bundle, ascending by path, with
    // the digests of the files. The signature folder is left out; anything in
    // it but the three known files is refused. Throws SealError for a bundle
    // that cannot be sealed (unreadable entries, devices or sockets, links
    // leaving the bundle, more than the list allows).
    static CodeResources scan(const QString &bundlePath, const QString &identifier);

    // Compares the list with the disk; nothing when they agree, otherwise the
    // reason, e.g. "a sealed resource is missing or invalid: Contents/x was
    // modified". The list is assumed to have come from CodeResources::parse.
    static std::optional<QString> check(const QString &bundlePath, const CodeResources &list);

    // Reads Contents/_CodeSignature/NAME without following links. Nothing
    // when the file does not exist; throws SealError when it is not a plain
    // file, is larger than maxBytes or cannot be read.
    static std::optional<QByteArray> readFile(const QString &bundlePath, const char *name, qsizetype maxBytes);
    // The resource list and one signature over it (kSignatureFile or
    // kNotarizationFile), each nothing when absent. Throws SealError like
    // readFile.
    struct SignedList {
        std::optional<QByteArray> list;
        std::optional<QByteArray> signature;
        bool complete() const { return list && signature; }
    };
    static constexpr qsizetype kMaxSignatureBytes = 1 << 20;
    static SignedList readSigned(const QString &bundlePath, const char *signatureName);
    // Replaces Contents/_CodeSignature/NAME atomically (write, fsync, rename).
    static void writeFile(const QString &bundlePath, const char *name, const QByteArray &bytes);
    static void removeFile(const QString &bundlePath, const char *name);
};
