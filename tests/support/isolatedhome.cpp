// Run directly rather than through ctest, a test still keeps off the home folder and settings of the
// machine it runs on: before main() the home and configuration folders point into the build tree.

#include <QByteArray>
#include <QtGlobal>

namespace {

[[maybe_unused]] const bool isolated = [] {
    const QByteArray home(TALLOWMERE_TEST_HOME);
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/config");
    qputenv("XDG_DATA_HOME", home + "/data");
    qputenv("XDG_CACHE_HOME", home + "/cache");
    return true;
}();

} // namespace
