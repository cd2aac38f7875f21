#include "ui/Accessibility.h"

#include <QAccessibleWidget>

#include "ui/DropView.h"
#include "ui/LinearProgressBar.h"
#include "ui/ProgressSpinner.h"
#include "ui/TextView.h"

namespace vesh {

namespace {

// The progress bar's value is the completed fraction, 0 to 1.
class AccessibleProgressBar : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleProgressBar(LinearProgressBar* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }

    QVariant currentValue() const override { return static_cast<const LinearProgressBar*>(widget())->value(); }
    // Progress is shown, not set.
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 1.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }
};

// An indeterminate progress indicator: a progress bar that is busy.
class AccessibleSpinner : public QAccessibleWidget {
public:
    explicit AccessibleSpinner(ProgressSpinner* spinner) : QAccessibleWidget(spinner, QAccessible::ProgressBar) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.busy = true;
        return state;
    }
};

template <typename Widget>
bool is(const QString& className) {
    return className == QLatin1String(Widget::staticMetaObject.className());
}

QAccessibleInterface* accessibleInterface(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget) {
        return nullptr;
    }
    if (is<DropView>(className)) {
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    }
    // A TextView names itself with its text.
    if (is<TextView>(className)) {
        return new QAccessibleWidget(widget, QAccessible::StaticText);
    }
    if (is<LinearProgressBar>(className)) {
        return new AccessibleProgressBar(static_cast<LinearProgressBar*>(widget));
    }
    if (is<ProgressSpinner>(className)) {
        return new AccessibleSpinner(static_cast<ProgressSpinner*>(widget));
    }
    return nullptr;
}

}  // namespace

void installAccessibleInterfaces() { QAccessible::installFactory(&accessibleInterface); }

}  // namespace vesh
