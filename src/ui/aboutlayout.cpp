#include "ui/aboutlayout.h"

#include <cmath>

namespace about {

namespace {

constexpr double margin = 100;
constexpr double step = 200;

// Nearest whole number, halves to even.
double whole(double value)
{
    return std::nearbyint(value);
}

// Whole-number halving that truncates toward zero.
double half(double value)
{
    return static_cast<double>(static_cast<long long>(whole(value)) / 2);
}

} // namespace

ButtonLefts buttonLefts(double clientWidth, double idCopyWidth, double okWidth)
{
    const double idCopy = half(clientWidth - idCopyWidth - okWidth - margin * 2);
    return { idCopy, idCopy + idCopyWidth + margin * 2 };
}

double centredLeft(double clientWidth, double width)
{
    return half(clientWidth - width);
}

Layout layOut(const Measures& m)
{
    Layout l;
    l.picture = QRectF(QPointF(margin, margin), m.picture);
    const double x = margin + l.picture.left() + l.picture.width() + margin;

    l.comments = QRectF(QPointF(x, margin), m.comments);
    double y = whole(l.comments.top() + step + l.comments.height());

    l.product = QRectF(QPointF(x, y), m.product);
    // The bottoms of the product name and the version line up.
    l.version = QRectF(QPointF(x + l.product.width() + margin, y + l.product.height() - m.version.height()), m.version);
    y = whole(l.product.top() + step + l.product.height());

    l.company = QRectF(QPointF(0, y + step), m.company);
    y = whole(l.company.top() + step + l.company.height());

    // Only the version line decides the width: the client area ends 200 right of it.
    l.client.setWidth(l.version.left() + l.version.width() + margin + margin);
    const ButtonLefts lefts = buttonLefts(l.client.width(), m.idCopyButton.width(), m.okButton.width());
    l.idCopyButton = QRectF(QPointF(lefts.idCopy, y), m.idCopyButton);
    l.okButton = QRectF(QPointF(lefts.ok, y), m.okButton);
    y = whole(l.idCopyButton.top() + step + l.idCopyButton.height());
    l.client.setHeight(y + step);

    l.company.moveLeft(centredLeft(l.client.width(), l.company.width()));
    return l;
}

QString versionText(int major, int minor)
{
    return QStringLiteral("Ver %1.%2").arg(major).arg(minor, 2, 10, QLatin1Char('0'));
}

QString revisionText(int revision)
{
    return QStringLiteral("Revision=%1").arg(revision);
}

} // namespace about
