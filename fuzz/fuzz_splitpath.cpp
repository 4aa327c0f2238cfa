// Path splitting and last occurrence on any text, far beyond 32766 characters included: the four
// parts always put the path back together, and each part has its shape.

#include "core/pathparts.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = fuzzText(data, size);
    for (const fill::PathRules rules : { fill::windowsPaths, fill::posixPaths }) {
        const fill::PathParts parts = fill::splitPath(path, rules);
        FUZZ_CHECK(parts.drive + parts.folder + parts.name + parts.extension == path);
        FUZZ_CHECK(parts.drive.isEmpty() || (rules.drives && parts.drive.size() == 2 && parts.drive[1] == u':'));
        FUZZ_CHECK(parts.folder.isEmpty() || parts.folder.endsWith(rules.separator));
        FUZZ_CHECK(!parts.name.contains(rules.separator) && !parts.extension.contains(rules.separator));
        FUZZ_CHECK(!parts.extension.isEmpty() || !parts.name.contains(u'.'));
        FUZZ_CHECK(parts.extension.isEmpty()
                   || (parts.extension.startsWith(u'.') && parts.extension.lastIndexOf(u'.') == 0));
    }

    // Last occurrence of the text's first character (or of its first two) in the rest.
    for (const qsizetype length : { 1, 2 }) {
        if (path.size() <= length) {
            break;
        }
        const QString find = path.left(length);
        const QString text = path.mid(length);
        const qsizetype position = fill::lastPosition(text, find);
        FUZZ_CHECK(position >= 0 && position <= text.size());
        if (position > 0) {
            FUZZ_CHECK(text.mid(position - 1, length) == find);
        }
        FUZZ_CHECK(text.indexOf(find, position) == -1); // nothing begins after it
    }
    return 0;
}
