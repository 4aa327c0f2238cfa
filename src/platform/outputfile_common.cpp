#include "platform/outputfile.h"

namespace platform {

namespace {

class FillErrorCategory final : public std::error_category
{
public:
    const char* name() const noexcept override { return "tallowmere"; }
    std::string message(int) const override { return "Not a regular file"; }
};

} // namespace

std::error_code notRegularFileError()
{
    static const FillErrorCategory category;
    return { 1, category };
}

QString errorText(const std::error_code& error)
{
    return QString::fromLocal8Bit(error.message());
}

} // namespace platform
