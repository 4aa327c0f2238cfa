// Before main(), while a test program still has its one thread: it keeps off the home folder and
// settings of the machine it runs on (the home and configuration folders point into the build tree,
// also when the program is run on its own rather than through ctest), and an ordinary user's test
// program gets the namespaces in which it may mount volumes of its own.

#include "tmpfs.h"

#include <QByteArray>
#include <QtGlobal>

namespace {

[[maybe_unused]] const bool prepared = [] {
    const QByteArray home(TALLOWMERE_TEST_HOME);
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/config");
    qputenv("XDG_DATA_HOME", home + "/data");
    qputenv("XDG_CACHE_HOME", home + "/cache");
    enterTestNamespaces();
    return true;
}();

} // namespace
