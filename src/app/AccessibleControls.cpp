#include "app/AccessibleControls.h"

#include "app/ClickLabel.h"
#include "app/QRPaintBox.h"
#include "app/TileButton.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QLabel>
#include <functional>

namespace {

// A widget of ours as an assistive tool sees it: its role, the caption as the
// name unless an accessible name is set, and one main action.
class TAccessibleControl : public QAccessibleWidget {
  public:
    // The role is asked for each time: Qt makes this object as soon as the
    // widget exists, before it is made a check-style tile or a link.
    TAccessibleControl(QWidget* widget, std::function<QAccessible::Role()> role, QString action,
                       std::function<void()> act)
        : QAccessibleWidget(widget), role_(std::move(role)), action_(std::move(action)),
          act_(std::move(act)) {}

    QAccessible::Role role() const override { return role_(); }

    QString text(QAccessible::Text t) const override {
        QString value = QAccessibleWidget::text(t);
        if (t == QAccessible::Name && value.isEmpty()) {
            if (const auto* button = qobject_cast<const QAbstractButton*>(widget()))
                value = button->text();
            else if (const auto* label = qobject_cast<const QLabel*>(widget()))
                value = label->text();
        }
        return value;
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget())) {
            s.checkable = button->isCheckable();
            s.checked = button->isChecked();
            // A page tab is the selected one while its page shows.
            s.selectable = button->isCheckable();
            s.selected = button->isChecked();
            s.pressed = button->isDown();
        }
        return s;
    }

    QStringList actionNames() const override {
        return QStringList{action_} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& name) override {
        if (name == action_ && widget()->isEnabled())
            act_();
        else
            QAccessibleWidget::doAction(name);
    }

  private:
    std::function<QAccessible::Role()> role_;
    QString action_;
    std::function<void()> act_;
};

QAccessibleInterface* ControlFactory(const QString& className, QObject* object) {
    const QString press = QAccessibleActionInterface::pressAction();
    if (className == QLatin1String("TTileButton")) {
        auto* tile = static_cast<TTileButton*>(object);
        return new TAccessibleControl(
            tile,
            [tile] { return tile->isCheckable() ? QAccessible::PageTab : QAccessible::PushButton; },
            press, [tile] { tile->click(); });
    }
    if (className == QLatin1String("TQRPaintBox")) {
        auto* box = static_cast<TQRPaintBox*>(object);
        return new TAccessibleControl(
            box, [] { return QAccessible::Graphic; }, QAccessibleActionInterface::showMenuAction(),
            [box] { box->ShowMenu(); });
    }
    if (className == QLatin1String("TClickLabel")) {
        auto* label = static_cast<TClickLabel*>(object);
        return new TAccessibleControl(
            label, [label] { return label->IsLink() ? QAccessible::Link : QAccessible::Button; },
            press, [label] { label->Activate(); });
    }
    // The main window, a plain widget, is a window to assistive tools.
    if (className == QLatin1String("TMainForm"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

void InstallAccessibleControls() {
    static const bool installed = [] {
        QAccessible::installFactory(ControlFactory);
        return true;
    }();
    (void)installed;
}
