#include "ui/fontwarmup.h"

#include <fontconfig/fontconfig.h>

#include <system_error>

namespace platform {

FontWarmup::FontWarmup()
{
    try {
        m_thread = std::thread([] { FcInit(); });
    } catch (const std::system_error&) {
        // No thread: the toolkit reads the configuration itself when it first needs it.
    }
}

FontWarmup::~FontWarmup()
{
    wait();
}

void FontWarmup::wait()
{
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

} // namespace platform
