#include "platform/outputfile.h"

#include <cerrno>

namespace platform {

namespace {

class FillErrorCategory final : public std::error_category
{
public:
    const char* name() const noexcept override { return "tallowmere"; }
    std::string message(int value) const override
    {
        switch (static_cast<FileError>(value)) {
        case FileError::NotRegularFile:
            return "Not a regular file";
        case FileError::InUse:
            return "The file is being written by another program";
        case FileError::Deleted:
            return "The file was deleted by another program";
        case FileError::PseudoFile:
            return "A file of the kernel's interface, not a file on a disk";
        case FileError::Moved:
            return "Its name no longer leads to it: another program moved or replaced it";
        case FileError::TakenOver:
            return "Another program changed its length: it is no longer the file that was filled, and is left as "
                   "it is";
        }
        return "Unknown error";
    }
};

} // namespace

std::error_code make_error_code(FileError error)
{
    static const FillErrorCategory category;
    return { static_cast<int>(error), category };
}

WriteResult OutputFile::allocate(qint64 size)
{
    Q_UNUSED(size);
    return { 0, std::make_error_code(std::errc::operation_not_supported) };
}

std::optional<qint64> OutputFile::length()
{
    return std::nullopt;
}

std::optional<qint64> OutputFile::allocatedBytes()
{
    return std::nullopt;
}

std::error_code OutputFile::remove()
{
    discard();
    return {};
}

bool isQuotaExceeded(const std::error_code& error)
{
#ifdef EDQUOT
    return error.value() == EDQUOT
        && (error.category() == std::system_category() || error.category() == std::generic_category());
#else
    Q_UNUSED(error);
    return false;
#endif
}

QString errorText(const std::error_code& error)
{
    return QString::fromLocal8Bit(error.message());
}

} // namespace platform
