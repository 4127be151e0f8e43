// The arguments of DisplayMessage as any program on the session bus may
// send them: a signature and values of the types the bus carries.
#include "FuzzInput.h"
#include "intent/BusArguments.h"

#include <QVariantList>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t shape = input.byte();
    QVariantList args;
    QString signature;
    if (shape & 0x80) {
        // A signature of its own, not matching the values.
        signature = QString::fromUtf8(input.field());
    }
    const int count = shape & 0x07;
    for (int i = 0; i < count && !input.empty(); ++i) {
        switch (input.byte() % 4) {
        case 0: args << QString::fromUtf8(input.field()); if (!(shape & 0x80)) signature += u's'; break;
        case 1: args << input.real(); if (!(shape & 0x80)) signature += u'd'; break;
        case 2: args << int(input.byte()); if (!(shape & 0x80)) signature += u'i'; break;
        default: args << QStringList{QString::fromUtf8(input.field())}; if (!(shape & 0x80)) signature += QStringLiteral("as"); break;
        }
    }
    const auto checked = BusArguments::displayMessage(signature, args);
    if (const QString *refusal = std::get_if<QString>(&checked)) {
        // Refusals echo what was sent, but never at length.
        if (refusal->isEmpty() || refusal->size() > 1024)
            std::abort();
    } else if (signature != QLatin1String("ssd")) {
        std::abort();
    }
    (void)BusArguments::shortened(QString::fromUtf8(input.rest()));
    return 0;
}
