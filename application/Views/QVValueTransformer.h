// Value transformers for the pages' bindings to the settings, looked up by
// name, and the binding of widgets that name a setting in their interface
// file: a widget with the dynamic property "qvDefaultsKey" shows that
// setting and writes it back, through the transformer named by
// "qvValueTransformer" when it has one.
#pragma once

#include <QString>
#include <QVariant>

class QVUserDefaults;
class QWidget;

class QVValueTransformer {
public:
    virtual ~QVValueTransformer() = default;
    virtual QVariant transformedValue(const QVariant &value) const = 0;
    virtual QVariant reverseTransformedValue(const QVariant &value) const { return transformedValue(value); }

    // The transformer registered under `name`, or null. The two below are
    // registered on first use.
    static const QVValueTransformer *valueTransformerForName(const QString &name);
    // Registers a transformer that lives for the process.
    static void setValueTransformer(const QVValueTransformer *transformer, const QString &name);
};

// A missing value becomes the empty string, in both directions.
class QVAvoidNullStringTransformer final : public QVValueTransformer {
public:
    static const QVAvoidNullStringTransformer &sharedInstance();
    static bool allowsReverseTransformation() { return true; }
    QVariant transformedValue(const QVariant &value) const override;
};

// A missing value becomes the integer 0, in both directions.
class QVAvoidNullNumberTransformer final : public QVValueTransformer {
public:
    static const QVAvoidNullNumberTransformer &sharedInstance();
    static bool allowsReverseTransformation() { return true; }
    QVariant transformedValue(const QVariant &value) const override;
};

namespace QVBindings {

// Binds every widget under `root` that names a setting (check boxes and
// other checkable buttons, line edits, labels, combo boxes by index, sliders
// and spin boxes) to `defaults`, both ways, for as long as the widget lives.
// Checkable buttons show the setting as boolForKey reads it.
void bindUserDefaults(QWidget *root, QVUserDefaults &defaults);

}  // namespace QVBindings
