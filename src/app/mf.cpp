#include "app/mf.h"

#include "platform/twips.h"
#include "productinfo.h"
#include "util/module2.h"

#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// Client area of the window, in twips.
constexpr int clientWidth = 6615;
constexpr int clientHeight = 1950;
// Where the layout puts the client area on the screen, in twips.
constexpr int clientLeft = 2160;
constexpr int clientTop = 2400;
// The file chooser's flags: overwrite prompt, no read-only box, path must exist, Explorer style, long names.
constexpr int fileDialogFlags = 2623494;

struct Place
{
    int left, top, width, height, tabIndex;
};

} // namespace

MF::MF(platform::Desktop& desktop, platform::SettingsStore& settings, QWidget* parent)
    : QMainWindow(parent)
    , m_desktop(desktop)
    , m_settings(settings)
    , m_outputFiles(&platform::makeOutputFile)
{
    buildLayout();
    wireButtons();
    wireMenus();
    wireFreeSpace();
    Form_Load();
}

MF::~MF() = default;

void MF::buildLayout()
{
    setWindowTitle(QStringLiteral("Tallowmere"));
    setWindowIcon(icon());
    // Fixed single border: minimise and close, no maximise.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    FIL_ = menuBar()->addMenu(QStringLiteral("File(&F)"));
    FIL[0] = FIL_->addAction(QStringLiteral("出力ﾌｧｲﾙ変更(&O)..."));
    FIL[1] = FIL_->addAction(QStringLiteral("終了(&E)"));
    HLP_ = menuBar()->addMenu(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    HLP[0] = HLP_->addAction(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    HLP[1] = HLP_->addAction(QStringLiteral("???について(&A)..."));

    auto* client = new QWidget(this);
    setCentralWidget(client);
    const double dpiX = client->logicalDpiX();
    const double dpiY = client->logicalDpiY();
    client->setFixedSize(twips::toPixels(clientWidth, dpiX), twips::toPixels(clientHeight, dpiY));

    std::vector<std::pair<int, QWidget*>> tabOrder;
    auto place = [&](QWidget* widget, const Place& p) {
        widget->setGeometry(twips::toPixels(p.left, dpiX), twips::toPixels(p.top, dpiY), twips::toPixels(p.width, dpiX),
                            twips::toPixels(p.height, dpiY));
        tabOrder.emplace_back(p.tabIndex, widget);
    };
    auto label = [&](int index, const QString& caption, const Place& p) {
        auto* l = new QLabel(caption, client);
        l->setTextFormat(Qt::PlainText);
        place(l, p);
        Label1[index] = l;
    };
    auto text = [&](int index, const Place& p) {
        auto* t = new QLineEdit(client);
        t->setMaxLength(std::numeric_limits<int>::max());
        place(t, p);
        Text1[index] = t;
    };
    auto option = [&](int index, const QString& caption, const Place& p) {
        auto* o = new QRadioButton(caption, client);
        place(o, p);
        Option1[index] = o;
    };
    auto button = [&](int index, const QString& caption, const Place& p) {
        auto* b = new QPushButton(caption, client);
        // No button is the window's default: Enter in a text box does nothing, while a button
        // with the focus is pressed by Enter as well as by Space.
        b->setAutoDefault(true);
        b->setDefault(false);
        place(b, p);
        Command1[index] = b;
    };

    label(0, QStringLiteral("出力ﾌｧｲﾙ"), { 120, 120, 975, 255, 6 });
    button(0, QStringLiteral("参照..."), { 1200, 120, 1000, 300, 0 });
    label(3, QString(), { 3360, 120, 735, 255, 5 });
    text(0, { 120, 480, 6375, 270, 7 });
    label(1, QStringLiteral("ｻｲｽﾞ"), { 120, 960, 615, 255, 10 });
    text(1, { 960, 960, 855, 270, 9 });
    option(0, QStringLiteral("KB"), { 2160, 840, 615, 180, 11 });
    option(1, QStringLiteral("MB"), { 2160, 1080, 615, 180, 12 });
    label(4, QStringLiteral("FreeSpace"), { 3000, 960, 1095, 255, 13 });
    label(2, QString(), { 4440, 960, 60, 180, 4 });
    button(2, QStringLiteral("開始(&S)"), { 960, 1560, 1000, 300, 1 });
    button(4, QStringLiteral("終了(&E)"), { 2040, 1560, 1000, 300, 3 });
    button(3, QStringLiteral("中止(&P)"), { 3960, 1560, 1000, 300, 2 });
    button(1, QStringLiteral("削除(&D)"), { 5040, 1560, 1000, 300, 8 });
    Command1[3]->setEnabled(false);

    // Labels keep their places in the tab order but never take the focus.
    std::sort(tabOrder.begin(), tabOrder.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    QWidget* previous = nullptr;
    for (const auto& [index, widget] : tabOrder) {
        if (widget->focusPolicy() == Qt::NoFocus) {
            continue;
        }
        if (previous) {
            setTabOrder(previous, widget);
        }
        previous = widget;
    }

    layout()->setSizeConstraint(QLayout::SetFixedSize);
    move(twips::toPixels(clientLeft, dpiX), twips::toPixels(clientTop, dpiY));
    Command1[0]->setFocus();
}

QIcon MF::icon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/tallowmere.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/tallowmere-64.png"), QSize(64, 64));
    return icon;
}

void MF::Form_Load()
{
    HLP[1]->setText(QString::fromUtf8(ProductInfo::productName) + QStringLiteral("について(&A)..."));

    if (const QString error = m_settings.readError(); !error.isEmpty()) {
        m_desktop.msgBox(QStringLiteral("設定を読み込めません。\r\n") + error, platform::MbCritical);
    }
    Text1[0]->setText(m_settings.read(QStringLiteral("OUTFILE"), QString()));
    Text1[1]->setText(m_settings.read(QStringLiteral("SIZE"), QString()));
    // Anything but "1" (an edit from outside the program) falls back to KB.
    const int unit = m_settings.read(QStringLiteral("SIZESCALE"), QStringLiteral("0")) == QLatin1String("1") ? 1 : 0;
    Option1[unit]->setChecked(true);

    CommonDialog1.Flags = fileDialogFlags;
}

void MF::Form_QueryUnload(int& Cancel, int UnloadMode)
{
    Q_UNUSED(Cancel);
    Q_UNUSED(UnloadMode);
    saveSettings();
}

void MF::saveSettings()
{
    const QString unit = Option1[0]->isChecked() ? QStringLiteral("0") : QStringLiteral("1");
    const QString error = m_settings.write({
        { QStringLiteral("OUTFILE"), Text1[0]->text() },
        { QStringLiteral("SIZE"), Text1[1]->text() },
        { QStringLiteral("SIZESCALE"), unit },
    });
    if (!error.isEmpty()) {
        m_desktop.msgBox(QStringLiteral("設定を保存できません。\r\n") + error, platform::MbCritical);
    }
}

void MF::closeEvent(QCloseEvent* event)
{
    // A run in progress ends before its next block; the writer closes the file and keeps it.
    Module2::STOP_FLAG = 1;
    int cancel = 0;
    Form_QueryUnload(cancel, 0);
    event->accept();
}
