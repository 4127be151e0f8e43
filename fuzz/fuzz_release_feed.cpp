// The feed's body as a stranger's server sends it, through the strict
// release decoding.
#include "release/PhasedRollout.h"
#include "release/Release.h"
#include "release/UpdaterFailure.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        QString urlText;
        const Release release = Release::decode(body, &urlText);
        (void)writtenScheme(urlText);
        // Whatever decodes has what every later step relies on.
        if (!release.url.isValid())
            std::abort();
        if ((release.pubDate && !release.pubDate->isValid())
            || (release.phasedRolloutInterval && *release.phasedRolloutInterval < 1))
            std::abort();
        // Any interval a feed may give, for every group, without overflow.
        if (release.isPhased()) {
            for (int group = 0; group < PhasedRollout::kGroups; ++group)
                (void)PhasedRollout::dueDate(*release.pubDate, *release.phasedRolloutInterval, group);
        }
    } catch (const PlatformError &) {
    } catch (const UpdaterFailure &) {
    }
    return 0;
}
