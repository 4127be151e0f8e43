#include "codesign/SealedBundle.h"

#include <cstring>

SealedBundle::SealedBundle(const QString &bundlePath)
    : m_path(bundlePath), m_root(BundleSeal::openRoot(bundlePath))
{
    m_list = read(m_root.get(), BundleSeal::kResourcesFile, CodeResources::kMaxBytes);
    m_signature = read(m_root.get(), BundleSeal::kSignatureFile, BundleSeal::kMaxSignatureBytes);
    m_notarization = read(m_root.get(), BundleSeal::kNotarizationFile, BundleSeal::kMaxSignatureBytes);
}

SealedBundle::Read SealedBundle::read(int rootFd, const char *name, qsizetype maxBytes)
{
    Read r;
    try {
        r.bytes = BundleSeal::readFile(rootFd, name, maxBytes);
    } catch (const SealError &e) {
        r.error = e.description();
    }
    return r;
}

const SealedBundle::Read &SealedBundle::file(const char *name) const
{
    if (std::strcmp(name, BundleSeal::kSignatureFile) == 0)
        return m_signature;
    if (std::strcmp(name, BundleSeal::kNotarizationFile) == 0)
        return m_notarization;
    return m_list;
}

BundleSeal::SignedList SealedBundle::signedList(const char *signatureName) const
{
    for (const Read *r : {&m_list, &file(signatureName)}) {
        if (r->error)
            throw SealError(*r->error);
    }
    return {m_list.bytes, file(signatureName).bytes};
}

const CodeResources &SealedBundle::resources() const
{
    if (!m_parsed) {
        if (m_list.error)
            throw SealError(*m_list.error);
        m_parsed = CodeResources::parse(m_list.bytes.value_or(QByteArray()));
    }
    return *m_parsed;
}

const std::optional<QString> &SealedBundle::diskFailure() const
{
    if (!m_diskFailure)
        m_diskFailure = BundleSeal::check(m_root.get(), resources());
    return *m_diskFailure;
}
