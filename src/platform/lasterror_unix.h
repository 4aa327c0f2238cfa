#pragma once

#include <cerrno>
#include <system_error>

namespace platform {

// What the system call that just failed set errno to.
inline std::error_code lastError()
{
    return { errno, std::system_category() };
}

} // namespace platform
