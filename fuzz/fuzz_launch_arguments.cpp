// The app's command line: NUL-separated arguments, scanned and rendered as
// the app does at start and when a second launch hands its line over.
#include "FuzzInput.h"
#include "app/LaunchOptions.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Raw bytes first, as the kernel hands them to main().
    std::vector<QByteArray> raw;
    FuzzInput bytes(data, size);
    while (!bytes.empty())
        raw.push_back(bytes.field());
    std::vector<char *> argv;
    for (QByteArray &a : raw)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const QStringList arguments = argumentsFromArgv(int(raw.size()), argv.data());
    if (arguments.size() != qsizetype(raw.size()))
        std::abort();

    if (const auto request = scanLaunchArguments(arguments)) {
        if (!arguments.contains(QStringLiteral("--test-message")))
            std::abort();
    }
    const QString rendered = renderArgumentList(arguments);
    // Control characters are always escaped.
    for (QChar c : rendered) {
        if (c.unicode() < 0x20)
            std::abort();
    }
    return 0;
}
