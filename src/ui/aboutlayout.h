#pragma once

#include <QRectF>
#include <QSizeF>
#include <QString>

// The arithmetic of the About window's layout, in twips, apart from any widget.
namespace about {

// Measured sizes, in twips: the picture box, the text extents (each in its label's font), the buttons.
struct Measures
{
    QSizeF picture;
    QSizeF comments;
    QSizeF product; // in the 36-point font
    QSizeF version;
    QSizeF company; // company name and contact line, two lines
    QSizeF idCopyButton;
    QSizeF okButton;
};

struct Layout
{
    QRectF picture;
    QRectF comments;
    QRectF product;
    QRectF version;
    QRectF company;
    QRectF idCopyButton;
    QRectF okButton;
    QSizeF client;
};

Layout layOut(const Measures& m);

// Left edges of ID Copy and OK: 200 apart and together centred in the client width.
struct ButtonLefts
{
    double idCopy;
    double ok;
};
ButtonLefts buttonLefts(double clientWidth, double idCopyWidth, double okWidth);

// Left edge that centres a label of the given width, truncating toward zero.
double centredLeft(double clientWidth, double width);

// "Ver 1.03": the minor number takes at least two digits.
QString versionText(int major, int minor);
QString revisionText(int revision);

} // namespace about
