#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

// Loads the font configuration on a thread of its own while the app connects
// to the display, so that laying out the first card's text does not wait for
// fontconfig to parse its files and map its caches. Once the application
// object exists (applicationReady()), the same thread also fills Qt's list of
// the installed fonts, which Qt shares between threads; the first card then
// only has to open the font it draws with. Call wait() before anything
// touches fonts; the destructor waits as well.
class FontConfigWarmUp {
public:
    FontConfigWarmUp();
    ~FontConfigWarmUp();
    FontConfigWarmUp(const FontConfigWarmUp &) = delete;
    FontConfigWarmUp &operator=(const FontConfigWarmUp &) = delete;

    // The application object (and with it Qt's font database) exists.
    void applicationReady();
    // Until the thread is done; without applicationReady() first, it stops
    // after the configuration.
    void wait();

private:
    void run();

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_applicationReady = false;
    bool m_waited = false;
    std::thread m_thread;
};
