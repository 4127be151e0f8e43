// ferrowhistle-display's command line: NUL-separated arguments, raw bytes as
// a shell would pass them.
#include "DisplayArguments.h"
#include "FuzzInput.h"
#include "hud/HUDPosition.h"

#include <cmath>
#include <cstdlib>

namespace {

// The bus refuses text that is not UTF-8, so nothing that is sent on may hold any.
bool isUtf8(const std::string &text)
{
    const QByteArray bytes = QByteArray::fromStdString(text);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    std::vector<std::string> arguments;
    while (!input.empty())
        arguments.push_back(DisplayArguments::validUtf8(input.field().toStdString()));
    const DisplayArguments a = DisplayArguments::parse(arguments);
    switch (a.result) {
    case DisplayArguments::Result::Run:
        // What is sent on is always something the action accepts.
        if (!HUDPositions::fromRawValue(QString::fromStdString(a.position)) || std::isnan(a.duration) ||
            !isUtf8(a.message))
            std::abort();
        break;
    case DisplayArguments::Result::UsageError:
        if (a.error.empty() || !isUtf8(a.error))
            std::abort();
        break;
    case DisplayArguments::Result::Help:
        break;
    }
    return 0;
}
