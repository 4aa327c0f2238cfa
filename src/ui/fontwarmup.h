#pragma once

#include <thread>

namespace platform {

// Reads the system's font configuration on a helper thread while the application connects to the
// display. The first text the main window lays out waits for that configuration, and reading it
// (a few ms of XML and cache files) otherwise adds to the time until the window appears.
// Where there is nothing to read ahead, it does nothing.
class FontWarmup
{
public:
    FontWarmup();
    ~FontWarmup();
    FontWarmup(const FontWarmup&) = delete;
    FontWarmup& operator=(const FontWarmup&) = delete;

    // Returns once the configuration is read. Call it before the first window is built, so the
    // toolkit never reads the configuration a second time in parallel.
    void wait();

private:
    std::thread m_thread;
};

} // namespace platform
