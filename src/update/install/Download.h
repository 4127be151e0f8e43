#pragma once

#include "update/NetworkSession.h"

#include <QString>
#include <QUrl>

// Downloads url into a new file at path (created 0600, never through a
// link), streaming it to disk as it arrives, within the limits. The response
// says how it ended, with its HTTP status and the bytes received. Throws
// PlatformError for a transport failure or a file that cannot be written.
QCoro::Task<NetworkSession::Response> downloadToFile(NetworkSession &session, QUrl url, QString path,
                                                     NetworkSession::Limits limits);
