#pragma once

// The activity monitor's own controls: a channel's bar, lit like the
// radio's displays, and the channel number under it. Both are what a screen
// reader meets on the panel: the bar a read-only progress bar whose value is
// its fill, the number a button that tunes to the channel.

#include "controls.h"

namespace vb {

class ActivityBar : public ProgressBar {
    Q_OBJECT
public:
    ActivityBar(QWidget *parent, const QString &name, const QString &accessibleName);
    // Hides the base's setter: the bar tells assistive technology of each change.
    void setValue(float value);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

class ChannelNumber : public Label {
    Q_OBJECT
public:
    ChannelNumber(QWidget *parent, const QString &name, const QString &caption);
};

// Registers the accessible interfaces of the controls above; once is enough.
void installActivityAccessibility();

} // namespace vb
