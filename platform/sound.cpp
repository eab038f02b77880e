#include "sound.h"

#include <QApplication>
#include <QFile>
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

// Only a RIFF wave file goes to the player: the player blocks the program
// for good when it is given another file after one it could not read.
bool isWaveFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray header = file.read(12);
    return header.size() == 12 && header.startsWith("RIFF") && header.endsWith("WAVE");
}

} // namespace

bool sndPlaySoundA(const QString &path, unsigned) {
    lastRequested = path;
    if (!QFileInfo(path).isFile() || !isWaveFile(path)) {
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
