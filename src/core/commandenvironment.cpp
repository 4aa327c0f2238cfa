#include "core/commandenvironment.h"

namespace fill {

QProcessEnvironment commandEnvironment(const FillFacts& facts)
{
    QProcessEnvironment environment;
    if (facts.isolated) {
        environment.insert(QStringLiteral("TALLOWMERE_ISOLATED"), QStringLiteral("1"));
    }
    environment.insert(QStringLiteral("TALLOWMERE_FILL_FILE"), facts.file);
    environment.insert(QStringLiteral("TALLOWMERE_FILL_BYTES"), QString::number(facts.bytes));
    environment.insert(QStringLiteral("TALLOWMERE_AVAILABLE_BYTES"), QString::number(facts.available));
    if (facts.inodes) {
        environment.insert(QStringLiteral("TALLOWMERE_FILL_INODES"), QString::number(*facts.inodes));
    }
    if (facts.availableInodes) {
        environment.insert(QStringLiteral("TALLOWMERE_AVAILABLE_INODES"), QString::number(*facts.availableInodes));
    }
    return environment;
}

} // namespace fill
