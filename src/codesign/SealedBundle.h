#pragma once

#include "codesign/BundleSeal.h"

#include <QString>

#include <optional>

// A candidate bundle opened once for judging: the bundle folder is held by
// one descriptor, the signature folder's files are read when it is opened,
// the resource list is parsed once and held up against the disk once. The
// signature check and the notarization check of the same candidate share
// all of it, so both judge the same bytes and the disk is walked once.
class SealedBundle {
public:
    // Throws SealError when path is not a bundle that can be opened.
    explicit SealedBundle(const QString &bundlePath);

    const QString &path() const { return m_path; }

    // The resource list with kSignatureFile or kNotarizationFile, as read at
    // opening. Throws SealError for a file that could not be read.
    BundleSeal::SignedList signedList(const char *signatureName) const;
    // The list parsed; throws SealError when it does not parse.
    const CodeResources &resources() const;
    // Why the disk does not match the list, or nothing.
    const std::optional<QString> &diskFailure() const;

private:
    struct Read {
        std::optional<QByteArray> bytes;
        std::optional<QString> error;
    };
    static Read read(int rootFd, const char *name, qsizetype maxBytes);
    const Read &file(const char *name) const;

    QString m_path;
    UniqueFd m_root;
    Read m_list;
    Read m_signature;
    Read m_notarization;
    mutable std::optional<CodeResources> m_parsed;
    mutable std::optional<std::optional<QString>> m_diskFailure;
};
