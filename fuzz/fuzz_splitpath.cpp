// Path splitting and last occurrence on any text, far beyond 32766 characters included: the four
// parts always put the path back together, and each part has its shape.

#include "fuzzinput.h"
#include "util/lib_sys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = fuzzText(data, size);
    for (const LIB_SYS::PathRules rules : { LIB_SYS::windowsPaths, LIB_SYS::posixPaths }) {
        LIB_SYS::SPLIT_PATH(path, rules);
        using LIB_SYS::PATH_DIR, LIB_SYS::PATH_DRIVE, LIB_SYS::PATH_EXT, LIB_SYS::PATH_NAME;
        FUZZ_CHECK(PATH_DRIVE + PATH_DIR + PATH_NAME + PATH_EXT == path);
        FUZZ_CHECK(PATH_DRIVE.isEmpty() || (rules.drives && PATH_DRIVE.size() == 2 && PATH_DRIVE[1] == u':'));
        FUZZ_CHECK(PATH_DIR.isEmpty() || PATH_DIR.endsWith(rules.separator));
        FUZZ_CHECK(!PATH_NAME.contains(rules.separator) && !PATH_EXT.contains(rules.separator));
        FUZZ_CHECK(!PATH_EXT.isEmpty() || !PATH_NAME.contains(u'.'));
        FUZZ_CHECK(PATH_EXT.isEmpty() || (PATH_EXT.startsWith(u'.') && PATH_EXT.lastIndexOf(u'.') == 0));
    }

    // Last occurrence of the text's first character (or of its first two) in the rest.
    for (const qsizetype length : { 1, 2 }) {
        if (path.size() <= length) {
            break;
        }
        const QString find = path.left(length);
        const QString text = path.mid(length);
        bool ok = false;
        const qlonglong position = LIB_SYS::LAST_INSTR(text, find).toLongLong(&ok);
        FUZZ_CHECK(ok && position >= 0 && position <= text.size());
        if (position > 0) {
            FUZZ_CHECK(text.mid(position - 1, length) == find);
        }
        FUZZ_CHECK(text.indexOf(find, position) == -1); // nothing begins after it
    }
    return 0;
}
