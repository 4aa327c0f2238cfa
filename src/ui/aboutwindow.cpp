#include "ui/aboutwindow.h"

#include "productinfo.h"
#include "ui/aboutlayout.h"
#include "ui/placement.h"
#include "ui/twips.h"

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

AboutWindow::AboutWindow(platform::Desktop& desktop, QWidget* mainWindow)
    : QDialog(mainWindow,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::MSWindowsFixedSizeDialogHint)
    , m_desktop(desktop)
{
    setFont(windowFont());

    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, labelColour);
    auto label = [this, &palette](const char* name) {
        auto* l = new QLabel(this);
        l->setObjectName(QLatin1String(name));
        l->setTextFormat(Qt::PlainText);
        l->setPalette(palette);
        l->installEventFilter(this);
        return l;
    };
    m_commentsLabel = label("commentsLabel");
    m_productLabel = label("productLabel");
    m_versionLabel = label("versionLabel");
    m_companyLabel = label("companyLabel");
    for (QLabel* centred : { m_commentsLabel, m_versionLabel, m_companyLabel }) {
        centred->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }
    QFont productFont = windowFont();
    productFont.setPointSize(36);
    productFont.setUnderline(true);
    m_productLabel->setFont(productFont);

    m_iconLabel = new QLabel(this);
    m_iconLabel->setObjectName(QStringLiteral("iconLabel"));
    m_idCopyButton = new QPushButton(QStringLiteral("ID Copy"), this);
    m_idCopyButton->setObjectName(QStringLiteral("idCopyButton"));
    m_okButton = new QPushButton(QStringLiteral("了解"), this);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    for (QPushButton* button : { m_idCopyButton, m_okButton }) {
        button->resize(twips::toPixels(1215, logicalDpiX()), twips::toPixels(375, logicalDpiY()));
    }
    // OK is the default and the cancel button: Enter and Esc both close the window. Enter on ID Copy,
    // when it has the focus, presses ID Copy.
    m_okButton->setDefault(true);
    setTabOrder(m_okButton, m_idCopyButton);
    connect(m_idCopyButton, &QPushButton::clicked, this, &AboutWindow::copyContact);
    connect(m_okButton, &QPushButton::clicked, this, &AboutWindow::accept);

    layOut();
    m_okButton->setFocus();
}

QString AboutWindow::contactLine()
{
    return QStringLiteral("E-mail:") + QString::fromUtf8(ProductInfo::email);
}

void AboutWindow::showIcon()
{
    m_iconLabel->setPixmap(windowIcon().pixmap(32, 32));
}

void AboutWindow::layOut()
{
    const QString product = QString::fromUtf8(ProductInfo::productName);
    setWindowTitle(product + QStringLiteral("について"));

    const double dpiX = logicalDpiX();
    const double dpiY = logicalDpiY();
    auto toTwips = [dpiX, dpiY](QSize pixels) {
        return QSizeF(twips::fromPixels(pixels.width(), dpiX), twips::fromPixels(pixels.height(), dpiY));
    };
    auto extent = [&](const QFont& font, const QString& text) { return toTwips(QFontMetrics(font).size(0, text)); };

    // The picture fits the icon it shows.
    showIcon();
    m_iconLabel->resize(m_iconLabel->sizeHint());

    m_commentsLabel->setText(QString::fromUtf8(ProductInfo::comments));
    m_productLabel->setText(product);
    m_versionLabel->setText(about::versionText(ProductInfo::major, ProductInfo::minor));
    m_companyLabel->setText(QString::fromUtf8(ProductInfo::companyName) + QLatin1Char('\n') + contactLine());

    about::Measures measures;
    measures.picture = toTwips(m_iconLabel->size());
    measures.comments = extent(font(), m_commentsLabel->text());
    measures.product = extent(m_productLabel->font(), m_productLabel->text());
    measures.version = extent(font(), m_versionLabel->text());
    measures.company = extent(font(), m_companyLabel->text());
    measures.idCopyButton = toTwips(m_idCopyButton->size());
    measures.okButton = toTwips(m_okButton->size());
    const about::Layout layout = about::layOut(measures);

    auto place = [dpiX, dpiY](QWidget* widget, const QRectF& r) {
        widget->setGeometry(twips::toPixels(r.left(), dpiX), twips::toPixels(r.top(), dpiY),
                            twips::toPixels(r.width(), dpiX), twips::toPixels(r.height(), dpiY));
    };
    place(m_iconLabel, layout.picture);
    place(m_commentsLabel, layout.comments);
    place(m_productLabel, layout.product);
    place(m_versionLabel, layout.version);
    place(m_companyLabel, layout.company);
    place(m_idCopyButton, layout.idCopyButton);
    place(m_okButton, layout.okButton);
    setFixedSize(twips::toPixels(layout.client.width(), dpiX), twips::toPixels(layout.client.height(), dpiY));

    about::centerOver(this);
    showIcon();
}

void AboutWindow::copyContact()
{
    const QString text
        = QStringLiteral("次の作者宛ての電子メールアドレス文字列をクリップボードにコピーします。\n") + contactLine();
    if (m_desktop.ask(text, platform::Desktop::Icon::Information)) {
        // The clipboard gets the line as other programs read it: with CR LF.
        m_desktop.setClipboardText(contactLine() + QStringLiteral("\r\n"));
    }
}

bool AboutWindow::eventFilter(QObject* watched, QEvent* event)
{
    // A double-click on the version tells the revision; one on the maker, a complaint.
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == m_versionLabel) {
            m_desktop.tell(about::revisionText(ProductInfo::revision), platform::Desktop::Icon::None);
            return true;
        }
        if (watched == m_companyLabel) {
            m_desktop.tell(QStringLiteral("痛い。つつかないでください。"), platform::Desktop::Icon::None);
            return true;
        }
        if (watched == m_commentsLabel || watched == m_productLabel) {
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
