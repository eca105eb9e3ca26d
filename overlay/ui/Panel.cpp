#include "ui/Panel.h"

#include "config/FileText.h"
#include "config/Settings.h"
#include "config/Texts.h"
#include "ui/DragRow.h"
#include "ui/Flipped.h"
#include "ui/KeyPanel.h"
#include "ui/PlatformWindow.h"
#include "ui/PositionFile.h"
#include "ui/Style.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QCursor>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

namespace cw {

namespace {

const QColor kPanelBackground = QColor::fromRgbF(0.05f, 0.05f, 0.06f, 0.96f);
const QColor kCardBackground = QColor::fromRgbF(0.06f, 0.18f, 0.13f, 1.0f);
const QColor kFreshRowBackground = QColor::fromRgbF(0.12f, 0.09f, 0.17f, 1.0f);
const QColor kLilac = QColor::fromRgbF(0.78f, 0.62f, 0.95f, 1.0f);

// A label with its font, colour and frame (points, top-left origin) in parent.
TextLabel* label(const QString& text, QWidget* parent, const QRectF& frame, const QFont& font, const QColor& color) {
    auto* view = new TextLabel(text, parent);
    view->setGeometry(frameRect(frame));
    view->setFont(font);
    view->setTextColor(color);
    return view;
}

// The brand image scaled proportionally into its 22-point square at the screen's pixel density, or
// null when it does not load.
QLabel* brandImage(const QString& path, QWidget* parent) {
    // Only a regular file is read: a missing one would make the reader complain on standard error, and
    // a FIFO would block.
    if (!QFileInfo(path).isFile())
        return nullptr;
    // Read as the PNG it is named for first: left to guess, Qt loads every image-format plugin to sniff
    // the file, which costs start-up time and stays resident. Any other format still loads by content.
    QImageReader png(path, "png");
    png.setAutoDetectImageFormat(false);
    QPixmap image = QPixmap::fromImage(png.read());
    if (image.isNull())
        image = QPixmap(path);
    if (image.isNull())
        return nullptr;
    auto* view = new QLabel(parent);
    view->setGeometry(12, 5, 22, 22);
    view->setAlignment(Qt::AlignCenter);
    const qreal density = parent->devicePixelRatioF();
    image = image.scaled(QSize(22, 22) * density, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    image.setDevicePixelRatio(density);
    view->setPixmap(image);
    view->setObjectName(QStringLiteral("brandImage"));
    view->setAccessibleName(settings().SUPPORT_NAME);
    return view;
}

// The screen the user is working on: that of the active window, else the one under the pointer, else
// the primary one.
QScreen* workingScreen() {
    if (const std::optional<QPoint> centre = activeWindowCentre()) {
        // The centre is in device pixels; Qt keeps each screen's origin in them and scales only its size.
        for (QScreen* screen : QGuiApplication::screens()) {
            const QRect logical = screen->geometry();
            if (QRect(logical.topLeft(), logical.size() * screen->devicePixelRatio()).contains(*centre))
                return screen;
        }
    }
    if (QScreen* screen = QGuiApplication::screenAt(QCursor::pos()))
        return screen;
    return QGuiApplication::primaryScreen();
}

// A button's name for screen readers, in words, and whether it has an on and an off state they hear.
void speak(TintButton* button, const char* key, bool twoState) {
    button->setAccessibleName(L(QLatin1String(key)));
    button->setCheckable(twoState);
}

ScreenLayout currentScreens() {
    ScreenLayout layout;
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        layout.hasPrimary = true;
        layout.primary = primary->geometry();
    }
    if (const QScreen* home = workingScreen())
        layout.homeAvailable = home->availableGeometry();
    for (const QScreen* screen : QGuiApplication::screens())
        layout.available.append(screen->availableGeometry());
    return layout;
}

} // namespace

TintButton* Panel::mkBtn(qreal x, qreal width, const QString& title, void (Panel::*action)()) {
    auto* button = new TintButton(title);
    button->setGeometry(frameRect(QRectF(x, 7, width, 20)));
    button->setTint(settings().DIM);
    button->setFont(systemFont(11, QFont::Medium));
    connect(button, &TintButton::activated, this, action);
    return button;
}

Panel::Panel(const PanelView& view) {
    const Settings& s = settings();
    const qreal W = s.W;

    m_window = new KeyPanel(QRectF(0, 0, W, kPanelHeight));
    // Right to left for Hebrew: every child follows, and no frame moves.
    m_window->setLayoutDirection(panelDirection());
    m_window->setWindowTitle(s.SUPPORT_NAME);
    connect(m_window, &KeyPanel::moved, this, &Panel::moved);
    auto* content = new Flipped(QRectF(0, 0, W, kPanelHeight), m_window);
    content->setObjectName(QStringLiteral("content"));
    content->setBackground(kPanelBackground);
    content->setCornerRadius(16);

    // Views added later lie above views added earlier.
    QLabel* image = brandImage(s.DIR + QStringLiteral("/brand.png"), content);
    TextLabel* brand =
        label(s.BRAND, content, QRectF(image ? 40 : 14, 9, 126, 16), systemFont(12, QFont::DemiBold), grey(0.72f));
    brand->setObjectName(QStringLiteral("brand"));
    brand->setAlignment(Qt::AlignLeft | Qt::AlignAbsolute | Qt::AlignVCenter); // beside the image

    // Right-aligned along the bottom edge, ending 14 points from the right; the empty edge to its left is
    // its frame too, so that a long band text keeps its percentage.
    rutLab = label(QString(), content, QRectF(14, 560, W - 28, 14), systemFont(10, QFont::Medium), grey(0.66f));
    rutLab->setAlignment(Qt::AlignRight | Qt::AlignAbsolute | Qt::AlignVCenter);

    btnPanic = mkBtn(W - 192, 36, QStringLiteral("🆘"), &Panel::togglePanic);
    btnPanic->setParent(content);
    btnLock = mkBtn(W - 156, 34, QStringLiteral("❄️"), &Panel::toggleLock);
    btnLock->setParent(content);
    btnMoment = mkBtn(W - 118, 82, L(QStringLiteral("btn_all")), &Panel::cycleMoment);
    btnMoment->setParent(content);

    btnSetup = mkBtn(W - 56, 24, QStringLiteral("⚙︎"), &Panel::reopenSetup);
    btnSetup->setObjectName(QStringLiteral("settingsButton"));
    btnSetup->setFont(systemFont(18, QFont::Normal));
    btnSetup->setTint(grey(0.72f));
    btnSetup->setParent(content);
    // The settings button lies over the moment button's right end: its title stops short of it.
    btnMoment->setTextArea(QRect(0, 0, btnSetup->x() - btnMoment->x(), btnMoment->height()));

    btnUpdate = mkBtn(W - 238, 42, QStringLiteral("⬆︎"), &Panel::openUpdate);
    btnUpdate->setFont(systemFont(14, QFont::Bold));
    btnUpdate->setTint(s.GREEN);
    btnUpdate->setToolTip(L(QStringLiteral("update_avail")));
    btnUpdate->setAccessibleName(btnUpdate->toolTip());
    btnUpdate->setParent(content);
    btnUpdate->hide();

    TintButton* closeButton = mkBtn(W - 30, 22, QStringLiteral("✕"), &Panel::quit);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setFont(systemFont(13, QFont::Normal));
    closeButton->setParent(content);
    speak(btnPanic, "ax_rescue", true);
    speak(btnLock, "ax_lock", true);
    speak(btnSetup, "ax_settings", false);
    speak(closeButton, "ax_quit", false);

    auto* card = new Flipped(QRectF(10, 32, W - 20, 58), content);
    card->setObjectName(QStringLiteral("nowCard"));
    card->setBackground(kCardBackground);
    card->setCornerRadius(11);
    label(L(QStringLiteral("now_playing")), card, QRectF(12, 6, 200, 14), systemFont(11, QFont::Bold), s.GREEN)
        ->setObjectName(QStringLiteral("nowHeading"));
    nowTitle = label(QString(), card, QRectF(12, 21, W - 44, 22), systemFont(18, QFont::DemiBold), Qt::white);
    nowTitle->setElideMode(Qt::ElideMiddle);
    nowTitle->setOwnDirection(true);
    nowMeta = label(QString(), card, QRectF(12, 42, W - 44, 15), systemFont(12, QFont::Normal), grey(0.68f));

    nxLab = label(QString(), content, QRectF(14, 98, 180, 14), systemFont(11, QFont::Bold), s.DIM);

    btnVar = mkBtn(W - 150, 66, L(QStringLiteral("btn_other")), &Panel::variation);
    btnVar->move(btnVar->x(), 95);
    btnVar->setParent(content);
    btnProven = mkBtn(W - 80, 66, L(QStringLiteral("btn_proven")), &Panel::toggleProven);
    btnProven->move(btnProven->x(), 95);
    btnProven->setParent(content);
    speak(btnVar, "ax_other", false);
    speak(btnProven, "ax_proven", true);

    for (int i = 0; i < kPageSize; ++i) {
        auto* row = new DragRow(QRectF(10, 118 + 50 * i, W - 20, 44), content);
        row->hide();
        rows.append(row);
    }

    label(L(QStringLiteral("fresh_hdr")), content, QRectF(14, 422, 300, 14), systemFont(11, QFont::Bold), kLilac)
        ->setObjectName(QStringLiteral("freshHeader"));

    for (int i = 0; i < 2; ++i) {
        auto* row = new DragRow(QRectF(10, 442 + 50 * i, W - 20, 44), content);
        row->setBackground(kFreshRowBackground);
        row->rank->setTextColor(kLilac);
        row->hide();
        freshRows.append(row);
    }
    display(view);
}

Panel::~Panel() {
    delete m_window;
}

void Panel::display(const PanelView& view) {
    nowTitle->setText(view.nowTitle);
    nowMeta->setText(view.nowMeta);
    rutLab->setText(view.rut.text);
    rutLab->setTextColor(colorOf(view.rut.tone));
    nxLab->setText(view.header);
    btnMoment->setText(view.momentTitle);
    btnMoment->setAccessibleName(view.momentSpoken);
    btnMoment->setHidden(!view.momentShown);
    const std::pair<TintButton*, Tone> tints[] = {{btnProven, view.proven},
                                                  {btnVar, view.variation},
                                                  {btnMoment, view.moment},
                                                  {btnPanic, view.panic},
                                                  {btnLock, view.lock}};
    for (const auto& [button, tone] : tints) {
        button->setTint(colorOf(tone));
        button->setOn(tone != Tone::Dim);
    }
    for (qsizetype i = 0; i < rows.size(); ++i)
        rows.at(i)->setView(view.rows.at(i));
    for (qsizetype i = 0; i < freshRows.size(); ++i)
        freshRows.at(i)->setView(view.freshRows.at(i));
}

void Panel::showUpdateButton() {
    btnUpdate->show();
}

void Panel::placeInitially() {
    // Anything unreadable (missing, binary, a directory, oversized) counts as no saved position.
    const std::optional<QString> text = readUtf8File(settings().POS);
    if (const std::optional<QPoint> topLeft =
            initialTopLeft(text, QSizeF(settings().W, kPanelHeight), currentScreens()))
        m_window->move(*topLeft);
}

std::optional<QPointF> Panel::savedOrigin() const {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return std::nullopt;
    return originOf(m_window->pos(), QSizeF(m_window->size()), primary->geometry());
}

} // namespace cw
