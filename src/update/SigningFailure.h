#pragma once

#include "codesign/CodeSigning.h"
#include "release/UpdaterFailure.h"

// The sentence a user is shown when the signature check of a download fails.
UpdaterFailure signingFailure(const CodeSigningError &error);
