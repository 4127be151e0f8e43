#pragma once

#include <thread>

// Loads the font configuration on a thread of its own while the app connects
// to the display, so that laying out the first card's text does not wait for
// fontconfig to parse its files and map its caches. Qt's font database later
// finds the configuration loaded. Call wait() before anything touches fonts;
// the destructor waits as well.
class FontConfigWarmUp {
public:
    FontConfigWarmUp();
    ~FontConfigWarmUp();
    FontConfigWarmUp(const FontConfigWarmUp &) = delete;
    FontConfigWarmUp &operator=(const FontConfigWarmUp &) = delete;

    void wait();

private:
    std::thread m_thread;
};
