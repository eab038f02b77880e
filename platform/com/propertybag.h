#pragma once

// Where a host keeps the properties of the controls on its forms.

#include <QSettings>
#include <QString>
#include <QVariant>

class IPropertyBag {
public:
    virtual QVariant ReadProperty(const QString &name, const QVariant &defaultValue) const = 0;
    // A value equal to its default is not kept.
    virtual void WriteProperty(const QString &name, const QVariant &value,
                               const QVariant &defaultValue) = 0;

protected:
    ~IPropertyBag() = default;
};

// A bag in one group of a settings file. Writing a default value removes the key,
// so that an earlier non-default value does not come back on the next load.
class SettingsPropertyBag final : public IPropertyBag {
public:
    SettingsPropertyBag(QSettings &settings, const QString &group)
        : m_settings(settings), m_group(group) {}

    QVariant ReadProperty(const QString &name, const QVariant &defaultValue) const override {
        return m_settings.value(key(name), defaultValue);
    }
    void WriteProperty(const QString &name, const QVariant &value,
                       const QVariant &defaultValue) override {
        if (value == defaultValue)
            m_settings.remove(key(name));
        else
            m_settings.setValue(key(name), value);
    }

private:
    QString key(const QString &name) const { return m_group + QLatin1Char('/') + name; }

    QSettings &m_settings;
    QString m_group;
};
