#include "core/fillformat.h"

#include "productinfo.h"

#include <bitset>

namespace fill {

namespace {

constexpr qint64 sampleCount = 16;
// Random data takes nearly every byte value in a block (251 of 256 on average in 1024 bytes); text
// and most other data far fewer.
constexpr size_t randomByteValues = 192;

// A block as a fill writes it after the header: bytes of 255, zeros where the space was reserved,
// or random data.
bool isFillBlock(QByteArrayView block)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    std::bitset<256> seen;
    for (qsizetype i = 0; i < block.size(); ++i) {
        seen.set(bytes[i]);
    }
    if (seen.count() == 1) {
        return bytes[0] == 0xFF || bytes[0] == 0;
    }
    return seen.count() >= randomByteValues;
}

} // namespace

QByteArray headerText()
{
    return QByteArray("Maked By ") + ProductInfo::productName + ' ' + QByteArray::number(ProductInfo::major) + '.'
        + QByteArray::number(ProductInfo::minor) + '.' + QByteArray::number(ProductInfo::revision);
}

QByteArray headerBlock()
{
    QByteArray header = headerText();
    Q_ASSERT(header.size() <= blockSize);
    header.append(blockSize - header.size(), static_cast<char>(0xFF));
    return header;
}

QList<qint64> sampledBlocks(qint64 size)
{
    QList<qint64> indexes;
    const qint64 blocks = size / blockSize;
    for (qint64 i = 0; i < sampleCount && blocks > 1; ++i) {
        const qint64 index = 1 + (blocks - 2) * i / (sampleCount - 1);
        if (indexes.isEmpty() || indexes.last() != index) {
            indexes.append(index);
        }
    }
    return indexes;
}

Recognised recogniseStart(qint64 size, QByteArrayView head)
{
    if (size < blockSize || size % blockSize != 0) {
        return Recognised::NotWholeBlocks;
    }
    static const QByteArray header = headerBlock();
    return head.size() >= header.size() && head.first(header.size()) == header ? Recognised::Fill
                                                                               : Recognised::NoHeader;
}

Recognised recogniseFile(qint64 size, QByteArrayView head, const QList<QByteArray>& blocks)
{
    if (const Recognised start = recogniseStart(size, head); start != Recognised::Fill) {
        return start;
    }
    if (blocks.size() != sampledBlocks(size).size()) {
        return Recognised::NotFillData;
    }
    for (const QByteArray& block : blocks) {
        if (block.size() != blockSize || !isFillBlock(block)) {
            return Recognised::NotFillData;
        }
    }
    return Recognised::Fill;
}

Recognised recogniseMarker(qint64 size, quint64 links, QByteArrayView content)
{
    const QByteArray marker = markerText();
    return links == 1 && size == marker.size() && content == marker ? Recognised::Fill : Recognised::NotTheMarker;
}

bool isInodeFileName(QByteArrayView name)
{
    if (name.isEmpty() || name.front() < '1' || name.front() > '9') {
        return false;
    }
    for (const char c : name) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

} // namespace fill
