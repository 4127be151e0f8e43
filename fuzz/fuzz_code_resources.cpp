// A bundle's sealed resource list. A list that parses has exactly one text,
// so writing it out again must give back the very bytes.
#include "codesign/CodeResources.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        const CodeResources list = CodeResources::parse(text);
        if (list.serialize() != text)
            std::abort();
        for (const SealEntry &e : list.entries) {
            if (!CodeResources::isSafePath(e.path))
                std::abort();
        }
    } catch (const SealError &) {
    }
    return 0;
}
