#pragma once

#include "release/Release.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

// Whether this computer meets what a release needs of it (machine, C and
// C++ runtime): nothing when it does, else the sentence that says what is
// missing. Reads this process's profile on a worker.
QCoro::Task<std::optional<QString>> unmetSystemRequirement(Release release);
