#pragma once

#include <QString>

// The per-user temporary directory: $TMPDIR (when absolute) or /tmp, then
// ferrowhistle-<uid>, created 0700. It is accepted only when it is a real
// directory (not a symlink) owned by this user and closed to everyone else;
// otherwise ${XDG_CACHE_HOME:-~/.cache}/ferrowhistle/tmp is used under the
// same rules. Worked out anew on every call. Empty when neither is usable.
QString temporaryDirectory();
