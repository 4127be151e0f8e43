#include "desktop/FontConfigWarmUp.h"

#include <QFontDatabase>
#include <QStringList>

#include <fontconfig/fontconfig.h>

#include <system_error>

FontConfigWarmUp::FontConfigWarmUp()
{
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // No thread to spare: Qt loads the configuration when it first needs it.
    }
}

FontConfigWarmUp::~FontConfigWarmUp()
{
    wait();
}

void FontConfigWarmUp::run()
{
    FcInit();
    std::unique_lock locked(m_lock);
    m_changed.wait(locked, [this] { return m_applicationReady || m_waited; });
    if (!m_applicationReady)
        return;
    locked.unlock();
    QFontDatabase::families();
}

void FontConfigWarmUp::applicationReady()
{
    {
        const std::lock_guard locked(m_lock);
        m_applicationReady = true;
    }
    m_changed.notify_all();
}

void FontConfigWarmUp::wait()
{
    {
        const std::lock_guard locked(m_lock);
        m_waited = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}
