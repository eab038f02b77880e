#include "sound.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

namespace vb {

namespace {
QString lastRequested;

// One player for the whole program, so a new sound cuts the old one off;
// the application owns it.
QSoundEffect &player() {
    static QPointer<QSoundEffect> effect;
    if (!effect)
        effect = new QSoundEffect(qApp);
    return *effect;
}
} // namespace

bool sndPlaySoundA(const QString &path, unsigned) {
    lastRequested = path;
    if (!QFileInfo(path).isFile()) {
        QApplication::beep();
        return false;
    }
    QSoundEffect &effect = player();
    effect.stop();
    effect.setSource(QUrl::fromLocalFile(path));
    effect.play();
    return true;
}

QString lastSoundRequested() {
    return lastRequested;
}

} // namespace vb
