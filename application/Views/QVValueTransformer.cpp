#include "QVValueTransformer.h"

#include "QVUserDefaults.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QWidget>

namespace {

QHash<QString, const QVValueTransformer *> &registry()
{
    static QHash<QString, const QVValueTransformer *> transformers{
        {QStringLiteral("QVAvoidNullStringTransformer"), &QVAvoidNullStringTransformer::sharedInstance()},
        {QStringLiteral("QVAvoidNullNumberTransformer"), &QVAvoidNullNumberTransformer::sharedInstance()},
    };
    return transformers;
}

}  // namespace

const QVValueTransformer *QVValueTransformer::valueTransformerForName(const QString &name)
{
    return registry().value(name);
}

void QVValueTransformer::setValueTransformer(const QVValueTransformer *transformer, const QString &name)
{
    registry().insert(name, transformer);
}

const QVAvoidNullStringTransformer &QVAvoidNullStringTransformer::sharedInstance()
{
    static const QVAvoidNullStringTransformer instance;
    return instance;
}

QVariant QVAvoidNullStringTransformer::transformedValue(const QVariant &value) const
{
    return value.isValid() && !value.isNull() ? value : QVariant(QStringLiteral(""));
}

const QVAvoidNullNumberTransformer &QVAvoidNullNumberTransformer::sharedInstance()
{
    static const QVAvoidNullNumberTransformer instance;
    return instance;
}

QVariant QVAvoidNullNumberTransformer::transformedValue(const QVariant &value) const
{
    return value.isValid() && !value.isNull() ? value : QVariant(0);
}

namespace QVBindings {

namespace {

void bindWidget(QWidget *widget, const QString &key, const QVValueTransformer *transformer, QVUserDefaults &defaults)
{
    const auto read = [&defaults, key, transformer] {
        const QVariant value = defaults.objectForKey(key);
        return transformer ? transformer->transformedValue(value) : value;
    };
    const auto write = [&defaults, key, transformer](const QVariant &value) {
        defaults.setObject(transformer ? transformer->reverseTransformedValue(value) : value, key);
    };

    std::function<void()> show;
    if (auto *button = qobject_cast<QAbstractButton *>(widget); button && button->isCheckable()) {
        // Drawn as the application reads it: a stored "no" or "off" is off.
        show = [button, &defaults, key] { button->setChecked(defaults.boolForKey(key)); };
        QObject::connect(button, &QAbstractButton::toggled, button, [write](bool on) { write(on); });
    } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        show = [edit, read] { edit->setText(read().toString()); };
        QObject::connect(edit, &QLineEdit::textEdited, edit, [write](const QString &text) { write(text); });
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        show = [label, read] { label->setText(read().toString()); };
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        show = [combo, read] { combo->setCurrentIndex(int(read().toDouble())); };
        QObject::connect(combo, &QComboBox::activated, combo, [write](int index) { write(index); });
    } else if (auto *slider = qobject_cast<QAbstractSlider *>(widget)) {
        show = [slider, read] { slider->setValue(int(read().toDouble())); };
        QObject::connect(slider, &QAbstractSlider::valueChanged, slider, [write](int value) { write(value); });
    } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        show = [spin, read] { spin->setValue(int(read().toDouble())); };
        QObject::connect(spin, &QSpinBox::valueChanged, spin, [write](int value) { write(value); });
    } else {
        return;
    }
    const auto update = [widget, show] {
        const QSignalBlocker blocker(widget);
        show();
    };
    update();
    QObject::connect(&defaults, &QVUserDefaults::changed, widget, [key, update](const QString &changed) {
        if (changed == key)
            update();
    });
}

}  // namespace

void bindUserDefaults(QWidget *root, QVUserDefaults &defaults)
{
    const QList<QWidget *> widgets = root->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        const QString key = widget->property("qvDefaultsKey").toString();
        if (key.isEmpty())
            continue;
        const QString transformerName = widget->property("qvValueTransformer").toString();
        bindWidget(widget, key,
                   transformerName.isEmpty() ? nullptr : QVValueTransformer::valueTransformerForName(transformerName),
                   defaults);
    }
}

}  // namespace QVBindings
