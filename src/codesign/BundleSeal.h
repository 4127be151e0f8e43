#pragma once

#include "codesign/CodeResources.h"
#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The seal of a bundle on disk: walking the bundle folder, building its
// resource list, holding a list up against the disk, and reading and writing
// the files of the signature folder.
//
// Every read starts from one descriptor of the bundle folder and follows no
// link on the way, so a folder swapped for a link while we read cannot lead
// the walk, the digests or the signature files elsewhere.
class BundleSeal {
public:
    // The files that may sit in Contents/_CodeSignature.
    static constexpr const char *kResourcesFile = "CodeResources";
    static constexpr const char *kSignatureFile = "CodeSignature";
    static constexpr const char *kNotarizationFile = "Notarization";

    // True when path is a real folder (not a link) with a real Contents
    // folder inside: something that can be opened as a bundle.
    static bool looksLikeBundle(const QString &bundlePath);
    // The bundle folder, opened without following a link. Throws SealError
    // when it does not look like a bundle.
    static UniqueFd openRoot(const QString &bundlePath);

    // Every folder, file and link below the bundle, ascending by path, with
    // the digests of the files, and the bundle folder's own mode. The
    // signature folder is left out; anything in it but the three known files
    // is refused. Throws SealError for a bundle that cannot be sealed
    // (unreadable entries, devices or sockets, files with more than one
    // link, anything others may write to, anything that belongs to another
    // user than the one checking (the effective uid), files carrying file
    // capabilities, links leaving the bundle even to come back, more than
    // the list allows). check() refuses the same.
    static CodeResources scan(const QString &bundlePath, const QString &identifier);

    // Compares the list with the disk; nothing when they agree, otherwise the
    // reason, e.g. "a sealed resource is missing or invalid: Contents/x was
    // modified". A bundle whose Info.plist is missing or names another
    // identifier than the list does not agree either. The list is assumed to
    // have come from CodeResources::parse.
    static std::optional<QString> check(const QString &bundlePath, const CodeResources &list);
    static std::optional<QString> check(int rootFd, const CodeResources &list);

    // Reads Contents/_CodeSignature/NAME without following links. Nothing
    // when the file does not exist; throws SealError when it is not a plain
    // file, belongs to another user, others may write to it, it is larger
    // than maxBytes or cannot be read.
    static std::optional<QByteArray> readFile(int rootFd, const char *name, qsizetype maxBytes);
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

    // The running copy's own files, read by the rules for an installed copy
    // rather than those for a download: any owner (a copy installed
    // system-wide belongs to root, or to the account that installed it),
    // but neither the file nor the bundle folder, Contents or the folders
    // below it on the way may be written by group or others, no link is
    // followed and only a plain file is read. Nothing when the file does not
    // exist; SealError, with what could not be read, otherwise.
    static SignedList readOwnSigned(const QString &bundlePath, const char *signatureName);
    // Contents/Resources/FOLDER/NAME by the same rules; what names it in
    // the error.
    static std::optional<QByteArray> readOwnResource(const QString &bundlePath, const char *folder, const char *name,
                                                     qsizetype maxBytes, const QString &what);
    // Replaces Contents/_CodeSignature/NAME atomically: written to a
    // temporary of its own, synced, renamed over the name, so two signers of
    // one bundle each leave whole files.
    static void writeFile(const QString &bundlePath, const char *name, const QByteArray &bytes);
    static void removeFile(const QString &bundlePath, const char *name);
};
