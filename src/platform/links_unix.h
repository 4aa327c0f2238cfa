#pragma once

#include <QByteArray>

namespace platform {

// Follows the symbolic link path, and any links after it, to the file it names when that file does
// not exist yet, the way the system follows them when it creates the file: stat() applies the
// system's rules on following links (fs.protected_symlinks), and a relative target is taken from
// the folder the link was reached through, as spelled, so ".." leads where the system takes it.
// Returns 0 with path naming that file, or an errno value: EEXIST when path is no link to nothing.
int followToNothing(QByteArray& path);

} // namespace platform
