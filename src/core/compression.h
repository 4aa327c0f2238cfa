#pragma once

#include "platform/filesystem.h"

#include <QtGlobal>

#include <functional>
#include <optional>

namespace fill {

// After this much is written, a volume whose free space fell by less than half of it compresses or
// deduplicates what it is given.
constexpr qint64 compressionCheckBytes = 256 * 1024 * 1024;

// How far the volume's fillable space fell from startFillable while written bytes went to it, when
// that is too little: the volume compresses or deduplicates the fill. Nothing when it does not.
// space reads the volume now; settle has it count what it holds.
std::optional<qint64> compressionDrop(qint64 startFillable, qint64 written,
                                      const std::function<std::optional<platform::VolumeSpace>()>& space,
                                      const std::function<void()>& settle);

} // namespace fill
