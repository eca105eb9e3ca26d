// Turning one feed document into controller state and label texts. Main thread only; the poll
// completion hands each document over through the main queue.

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "config/Texts.h"
#include "feed/Labels.h"
#include "ui/DragRow.h"
#include "ui/TextLabel.h"
#include "ui/TintButton.h"

namespace cw {

namespace {
const QLatin1StringView kRut("rut"), kOk("ok"), kNow("now"), kPath("path"), kTitle("title"), kKey("key"), kBpm("bpm"),
    kPlayed("played"), kCats("cats"), kId("id"), kLabel("label"), kNext("next"), kFresh("fresh"), kBangers("bangers");
} // namespace

void AppDelegate::apply(const QJsonObject& document) {
    // The rut meter follows every document, even one that reports no track.
    const std::optional<double> r = readNumber(document, kRut);
    const std::optional<RutLabel> rut = r ? rutLabel(settings().LANG, *r) : std::nullopt;
    if (rut) {
        rutLab->setText(rut->text);
        rutLab->setTextColor(rut->color);
    } else {
        rutLab->setText(QString());
    }

    if (!readBool(document, kOk).value_or(false)) {
        nowTitle->setText(L(QStringLiteral("waiting")));
        nowMeta->setText(L(QStringLiteral("waiting_sub")));
        fullNext.clear();
        fullFresh.clear();
        fullBangers.clear();
        // No render here: the header and the buttons keep what the last render gave them.
        for (DragRow* row : std::as_const(rows)) {
            row->hide();
            row->highlight(false);
        }
        for (DragRow* row : std::as_const(freshRows))
            row->hide();
        return;
    }

    const QJsonObject now = readObject(document, kNow).value_or(QJsonObject());
    const QString path = stringOr(now, kPath, QString());
    if (path != curPath) {
        curPath = path;
        page = 0;
    }

    nowTitle->setText(stringOr(now, kTitle, QStringLiteral("—")));

    const QString key = stringOr(now, kKey, QString());
    nowMeta->setText((key.isEmpty() ? QStringLiteral("—") : key) + QStringLiteral(" · ") +
                     QString::number(integerOr(now, kBpm, 0)) + QStringLiteral(" BPM · ") +
                     QString::number(integerOr(document, kPlayed, 0)) + u' ' + L(QStringLiteral("played")));

    if (const std::optional<PickList> entries = readObjectArray(document, kCats)) {
        QList<Moment> moments;
        moments.reserve(entries->size());
        for (const QJsonObject& entry : *entries) {
            std::optional<QString> id = readString(entry, kId);
            std::optional<QString> label = readString(entry, kLabel);
            if (id && label)
                moments.append(Moment{std::move(*id), std::move(*label)});
        }
        cats = std::move(moments);
        if (btnMoment)
            btnMoment->setHidden(cats.isEmpty());
        // A moment equal to the count names the last entry and stays.
        if (moment > cats.size())
            moment = 0;
    }

    fullNext = readObjectArray(document, kNext).value_or(PickList());
    fullFresh = readObjectArray(document, kFresh).value_or(PickList());
    fullBangers = readObjectArray(document, kBangers).value_or(PickList());
    render();
}

} // namespace cw
