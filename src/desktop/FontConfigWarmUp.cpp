#include "desktop/FontConfigWarmUp.h"

#include <fontconfig/fontconfig.h>

#include <system_error>

FontConfigWarmUp::FontConfigWarmUp()
{
    try {
        m_thread = std::thread([] { FcInit(); });
    } catch (const std::system_error &) {
        // No thread to spare: Qt loads the configuration when it first needs it.
    }
}

FontConfigWarmUp::~FontConfigWarmUp()
{
    wait();
}

void FontConfigWarmUp::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}
