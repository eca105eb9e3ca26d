// The panel and everything in it, built once at launch. Frames are in points, top-left origin.
// Main thread only.

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "config/Texts.h"
#include "ui/DragRow.h"
#include "ui/Flipped.h"
#include "ui/KeyPanel.h"
#include "ui/Style.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

#include <QImageReader>
#include <QLabel>
#include <QPixmap>

namespace cw {

namespace {

const QColor kPanelBackground = QColor::fromRgbF(0.05f, 0.05f, 0.06f, 0.96f);
const QColor kCardBackground = QColor::fromRgbF(0.06f, 0.18f, 0.13f, 1.0f);
const QColor kFreshRowBackground = QColor::fromRgbF(0.12f, 0.09f, 0.17f, 1.0f);
const QColor kLilac = QColor::fromRgbF(0.78f, 0.62f, 0.95f, 1.0f);

void place(QWidget* view, QWidget* parent, const QRectF& frame) {
    view->setParent(parent);
    view->setGeometry(frameRect(frame));
}

TextLabel* styled(TextLabel* label, const QFont& font, const QColor& color) {
    label->setFont(font);
    label->setTextColor(color);
    return label;
}

// The brand image scaled proportionally into its 22-point square, or null when it does not load.
QLabel* brandImage(const QString& path, QWidget* parent) {
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
    view->setPixmap(image.scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    view->setObjectName(QStringLiteral("brandImage"));
    return view;
}

} // namespace

TintButton* AppDelegate::mkBtn(qreal x, qreal width, const QString& title, void (AppDelegate::*action)()) {
    auto* button = new TintButton(title);
    button->setGeometry(frameRect(QRectF(x, 7, width, 20)));
    button->setTint(settings().DIM);
    button->setFont(systemFont(11, QFont::Medium));
    connect(button, &QPushButton::clicked, this, action);
    return button;
}

void AppDelegate::build() {
    const Settings& s = settings();
    const qreal W = s.W;

    panel = new KeyPanel(QRectF(0, 0, W, kPanelHeight));
    auto* content = new Flipped(QRectF(0, 0, W, kPanelHeight), panel);
    content->setObjectName(QStringLiteral("content"));
    content->setBackground(kPanelBackground);
    content->setCornerRadius(16);

    QLabel* image = brandImage(s.DIR + QStringLiteral("/brand.png"), content);
    const qreal brandX = image ? 40 : 14;

    auto* brand = styled(new TextLabel(s.BRAND), systemFont(12, QFont::DemiBold), grey(0.72f));
    brand->setObjectName(QStringLiteral("brand"));
    brand->setElideMode(Qt::ElideRight);
    place(brand, content, QRectF(brandX, 9, 126, 16));

    styled(rutLab, systemFont(10, QFont::Medium), grey(0.66f));
    rutLab->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    place(rutLab, content, QRectF(W - 170, 560, 156, 14));

    btnPanic = mkBtn(W - 192, 36, QStringLiteral("🆘"), &AppDelegate::togglePanic);
    btnPanic->setParent(content);
    btnLock = mkBtn(W - 156, 34, QStringLiteral("❄️"), &AppDelegate::toggleLock);
    btnLock->setParent(content);
    btnMoment = mkBtn(W - 118, 82, L(QStringLiteral("btn_all")), &AppDelegate::cycleMoment);
    btnMoment->setParent(content);

    TintButton* settingsButton = mkBtn(W - 56, 24, QStringLiteral("⚙︎"), &AppDelegate::reopenSetup);
    settingsButton->setObjectName(QStringLiteral("settingsButton"));
    settingsButton->setFont(systemFont(18, QFont::Normal));
    settingsButton->setTint(grey(0.72f));
    settingsButton->setParent(content);

    btnUpdate = mkBtn(W - 238, 42, QStringLiteral("⬆︎"), &AppDelegate::openUpdate);
    btnUpdate->setFont(systemFont(14, QFont::Bold));
    btnUpdate->setTint(s.GREEN);
    btnUpdate->setToolTip(L(QStringLiteral("update_avail")));
    btnUpdate->setParent(content);
    btnUpdate->hide();

    TintButton* closeButton = mkBtn(W - 30, 22, QStringLiteral("✕"), &AppDelegate::quit);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setFont(systemFont(13, QFont::Normal));
    closeButton->setParent(content);

    auto* card = new Flipped(QRectF(10, 32, W - 20, 58), content);
    card->setObjectName(QStringLiteral("nowCard"));
    card->setBackground(kCardBackground);
    card->setCornerRadius(11);
    auto* heading = styled(new TextLabel(L(QStringLiteral("now_playing"))), systemFont(11, QFont::Bold), s.GREEN);
    place(heading, card, QRectF(12, 6, 200, 14));
    styled(nowTitle, systemFont(18, QFont::DemiBold), Qt::white);
    nowTitle->setElideMode(Qt::ElideMiddle);
    place(nowTitle, card, QRectF(12, 21, W - 44, 22));
    styled(nowMeta, systemFont(12, QFont::Normal), grey(0.68f));
    place(nowMeta, card, QRectF(12, 42, W - 44, 15));

    styled(nxLab, systemFont(11, QFont::Bold), s.DIM);
    place(nxLab, content, QRectF(14, 98, 180, 14));

    btnVar = mkBtn(W - 150, 66, L(QStringLiteral("btn_other")), &AppDelegate::variation);
    btnVar->move(btnVar->x(), 95);
    btnVar->setParent(content);
    btnProven = mkBtn(W - 80, 66, L(QStringLiteral("btn_proven")), &AppDelegate::toggleProven);
    btnProven->move(btnProven->x(), 95);
    btnProven->setParent(content);

    for (int i = 0; i < 6; ++i) {
        auto* row = new DragRow(QRectF(10, 118 + 50 * i, W - 20, 44), content);
        row->hide();
        rows.append(row);
    }

    auto* freshHeader = styled(new TextLabel(L(QStringLiteral("fresh_hdr"))), systemFont(11, QFont::Bold), kLilac);
    freshHeader->setObjectName(QStringLiteral("freshHeader"));
    place(freshHeader, content, QRectF(14, 422, 300, 14));

    for (int i = 0; i < 2; ++i) {
        auto* row = new DragRow(QRectF(10, 442 + 50 * i, W - 20, 44), content);
        row->setBackground(kFreshRowBackground);
        row->rank->setTextColor(kLilac);
        row->hide();
        freshRows.append(row);
    }

    // Stacking follows the order the views were parented above: later ones paint over earlier ones.

    placePanelInitially();
    connect(panel, &KeyPanel::moved, this, &AppDelegate::savePos);
    panel->show();
}

} // namespace cw
