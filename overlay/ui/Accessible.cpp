#include "ui/Accessible.h"

#include "ui/DragRow.h"
#include "ui/TextLabel.h"

#include <QAccessibleWidget>

namespace cw {

namespace {

class LabelAccessible : public QAccessibleWidget {
public:
    explicit LabelAccessible(TextLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return static_cast<const TextLabel*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

// The row's labels are not its children here: a reader says the row in one go.
class RowAccessible : public QAccessibleWidget {
public:
    explicit RowAccessible(DragRow* row) : QAccessibleWidget(row, QAccessible::ListItem) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return static_cast<const DragRow*>(widget())->spokenText();
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
};

// Qt asks with the name of each class in an object's inheritance chain, most derived first.
QAccessibleInterface* panelAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String(TextLabel::staticMetaObject.className()))
        return new LabelAccessible(static_cast<TextLabel*>(object));
    if (className == QLatin1String(DragRow::staticMetaObject.className()))
        return new RowAccessible(static_cast<DragRow*>(object));
    return nullptr;
}

} // namespace

void installAccessibility() {
    QAccessible::installFactory(panelAccessible);
}

} // namespace cw
