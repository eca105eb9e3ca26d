#include "feed/Labels.h"

#include "config/Texts.h"

#include <algorithm>
#include <cmath>

namespace cw {

namespace {
bool isHebrew(const QString& lang) {
    return lang == QLatin1String("he");
}
} // namespace

QString Lp(const QString& lang, const QString& kind, qint64 n) {
    const bool proven = kind == QLatin1String("proven");
    QString word;
    if (isHebrew(lang))
        word = proven ? QStringLiteral("רצף ") : QStringLiteral("באנגר ");
    else
        word = proven ? QStringLiteral("played after ") : QStringLiteral("banger ");
    return word + QString::number(n) + QStringLiteral("×");
}

QString Lp(const QString& kind, qint64 n) {
    return Lp(interfaceLanguage(), kind, n);
}

QString freshBadge(const QString& lang, const QString& fresh, std::optional<qint64> rest) {
    if (fresh == QLatin1String("never"))
        return textFor(lang, QStringLiteral("fr_never"));
    if (fresh == QLatin1String("overplayed"))
        return textFor(lang, QStringLiteral("fr_over"));
    if (fresh != QLatin1String("rested") && fresh != QLatin1String("rested_long"))
        return QString();
    const QString rested = textFor(lang, QStringLiteral("fr_rested"));
    if (!rest)
        return rested;
    const qint64 months = std::max<qint64>(1, *rest / 30);
    if (months < 12)
        return rested + u' ' + QString::number(months) +
               (isHebrew(lang) ? QStringLiteral(" ח׳") : QStringLiteral("mo"));
    const qint64 years = months / 12;
    return rested + u' ' + QString::number(years) + (isHebrew(lang) ? QStringLiteral(" שנ׳") : QStringLiteral("y"));
}

QString freshBadge(const QString& fresh, std::optional<qint64> rest) {
    return freshBadge(interfaceLanguage(), fresh, rest);
}

std::optional<RutLabel> rutLabel(const QString& lang, double r) {
    if (std::isnan(r))
        return std::nullopt;
    RutLabel label;
    if (r < 0.25)
        label = {textFor(lang, QStringLiteral("rut_fresh")), Tone::Green};
    else if (r < 0.45)
        label = {textFor(lang, QStringLiteral("rut_mixed")), Tone::RutGrey};
    else
        label = {textFor(lang, QStringLiteral("rut_stuck")), Tone::Gold};
    const double p = r * 100.0;
    // Converting a double whose truncation has no 64-bit value is undefined: check the range first.
    // 2^63 is exact in double; every double below it truncates to a representable value.
    if (p >= -0x1p63 && p < 0x1p63)
        label.text += QStringLiteral(" · ") + QString::number(qint64(p)) + u'%';
    return label;
}

} // namespace cw
