#include "GivenFile.h"

#include "platform/SmallFile.h"
#include "platform/SystemError.h"

#include <stdexcept>

QByteArray readGivenFile(const QString &path, qint64 maxBytes, const std::string &limit)
{
    const SmallFile file = readSmallFile(path, maxBytes, LastLink::Follow);
    switch (file.status) {
    case SmallFile::Status::Read:
        return file.bytes;
    case SmallFile::Status::NotRegular:
        throw std::runtime_error("can't read " + path.toStdString() + ": not a regular file");
    case SmallFile::Status::TooLarge:
        throw std::runtime_error("can't read " + path.toStdString() + ": larger than " + limit);
    case SmallFile::Status::Missing:
    case SmallFile::Status::Unreadable:
        break;
    }
    throw std::runtime_error("can't read " + path.toStdString() + ": " + systemErrorText(file.error).toStdString());
}
