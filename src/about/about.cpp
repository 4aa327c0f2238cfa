#include "about/about.h"

#include "about/aboutlayout.h"
#include "platform/twips.h"
#include "productinfo.h"
#include "util/centerform.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>

namespace {

const QColor labelColour(0, 0, 192);

QFont windowFont()
{
    QFont font;
    // The Japanese proportional Gothic of Windows, else the one most Linux desktops have.
    font.setFamilies({ QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                       QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP") });
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Normal);
    return font;
}

} // namespace

ABOUT::ABOUT(platform::Desktop& desktop, QWidget* mainWindow)
    : QDialog(mainWindow,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::MSWindowsFixedSizeDialogHint)
    , m_desktop(desktop)
{
    setFont(windowFont());

    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, labelColour);
    for (int i = 0; i < 4; ++i) {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        label->setPalette(palette);
        label->installEventFilter(this);
        Label1[i] = label;
    }
    for (const int i : { 0, 2, 3 }) {
        Label1[i]->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }
    QFont productFont = windowFont();
    productFont.setPointSize(36);
    productFont.setUnderline(true);
    Label1[1]->setFont(productFont);

    Picture1 = new QLabel(this);
    Command1[0] = new QPushButton(QStringLiteral("ID Copy"), this);
    Command1[1] = new QPushButton(QStringLiteral("了解"), this);
    for (QPushButton* button : Command1) {
        button->resize(twips::toPixels(1215, logicalDpiX()), twips::toPixels(375, logicalDpiY()));
    }
    // OK is the default and the cancel button: Enter and Esc both close the window. Enter on ID Copy,
    // when it has the focus, presses ID Copy.
    Command1[1]->setDefault(true);
    setTabOrder(Command1[1], Command1[0]);
    connect(Command1[0], &QPushButton::clicked, this, [this] { Command1_Click(0); });
    connect(Command1[1], &QPushButton::clicked, this, [this] { Command1_Click(1); });

    Form_Load();
    Command1[1]->setFocus();
}

QString ABOUT::contactLine()
{
    return QStringLiteral("E-mail:") + QString::fromUtf8(ProductInfo::email);
}

void ABOUT::showIcon()
{
    Picture1->setPixmap(windowIcon().pixmap(32, 32));
}

void ABOUT::Form_Load()
{
    const QString product = QString::fromUtf8(ProductInfo::productName);
    setWindowTitle(product + QStringLiteral("について"));

    const double dpiX = logicalDpiX();
    const double dpiY = logicalDpiY();
    auto toTwips = [dpiX, dpiY](QSize pixels) {
        return QSizeF(twips::fromPixels(pixels.width(), dpiX), twips::fromPixels(pixels.height(), dpiY));
    };
    auto extent = [&](const QFont& font, const QString& text) { return toTwips(QFontMetrics(font).size(0, text)); };

    // The picture box fits the icon it shows.
    showIcon();
    Picture1->resize(Picture1->sizeHint());

    Label1[0]->setText(QString::fromUtf8(ProductInfo::comments));
    Label1[1]->setText(product);
    Label1[2]->setText(about::versionText(ProductInfo::major, ProductInfo::minor));
    Label1[3]->setText(QString::fromUtf8(ProductInfo::companyName) + QStringLiteral("\r\n") + contactLine());

    about::Measures measures;
    measures.picture = toTwips(Picture1->size());
    measures.comments = extent(font(), Label1[0]->text());
    measures.product = extent(Label1[1]->font(), Label1[1]->text());
    measures.version = extent(font(), Label1[2]->text());
    measures.company = extent(font(), Label1[3]->text());
    measures.idCopyButton = toTwips(Command1[0]->size());
    measures.okButton = toTwips(Command1[1]->size());
    const about::Layout layout = about::layOut(measures);

    auto place = [dpiX, dpiY](QWidget* widget, const QRectF& r) {
        widget->setGeometry(twips::toPixels(r.left(), dpiX), twips::toPixels(r.top(), dpiY),
                            twips::toPixels(r.width(), dpiX), twips::toPixels(r.height(), dpiY));
    };
    place(Picture1, layout.picture);
    place(Label1[0], layout.comments);
    place(Label1[1], layout.product);
    place(Label1[2], layout.version);
    place(Label1[3], layout.company);
    place(Command1[0], layout.idCopyButton);
    place(Command1[1], layout.okButton);
    setFixedSize(twips::toPixels(layout.client.width(), dpiX), twips::toPixels(layout.client.height(), dpiY));

    LIB_SYS::CENTER_FORM(this);
    showIcon();
}

void ABOUT::Command1_Click(int Index)
{
    switch (Index) {
    case 0: {
        const QString prompt
            = QStringLiteral("次の作者宛ての電子メールアドレス文字列をクリップボードにコピーします。\r\n")
            + contactLine();
        if (m_desktop.msgBox(prompt, platform::MbYesNo | platform::MbInformation) != platform::AnswerNo) {
            m_desktop.setClipboardText(contactLine() + QStringLiteral("\r\n"));
        }
        break;
    }
    case 1:
        accept();
        break;
    default:
        break;
    }
}

void ABOUT::Label1_DblClick(int Index)
{
    switch (Index) {
    case 2:
        m_desktop.msgBox(about::revisionText(ProductInfo::revision), platform::MbOkOnly);
        break;
    case 3:
        m_desktop.msgBox(QStringLiteral("痛い。つつかないでください。"), platform::MbOkOnly);
        break;
    default:
        break;
    }
}

bool ABOUT::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        for (int i = 0; i < static_cast<int>(Label1.size()); ++i) {
            if (watched == Label1[i]) {
                Label1_DblClick(i);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}
