// Property lists from others: the settings file (which any program of the
// user can write, and dotfile managers do) and a candidate's Info.plist.
// Both are read by parsePlistDictionary and converted value by value; the
// file reading around it is left out, since the settings store allocates
// its 16 MiB read limit on every read and would cost most of the time.
#include "platform/PlistValue.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto dict = parsePlistDictionary(bytes)) {
        for (auto it = dict->Begin(); it != dict->End(); ++it)
            (void)plistToVariant(it->second);
        (void)plistValue(*dict, QStringLiteral("CFBundleIdentifier"));
    }
    return 0;
}
