#include "ui/fontwarmup.h"

namespace platform {

// The platform's font system needs no reading ahead.
FontWarmup::FontWarmup() = default;

FontWarmup::~FontWarmup() = default;

void FontWarmup::wait() { }

} // namespace platform
