#include "sound.h"

#include "wavedevices.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtEndian>
#include <memory>

namespace vb {

namespace {
QString lastRequested;

// Sound files are a few seconds at most; anything larger is not one of ours.
constexpr qint64 largestSoundFileBytes = 16 * 1024 * 1024;

// The sound playing now: its device, and the buffer the device plays from.
// A new sound takes its place and cuts the old one off. The device goes
// before the buffer it points to.
struct Playing {
    QByteArray pcm;
    wave::WaveHeader header;
    std::unique_ptr<wave::WaveOutDevice> device;
    ~Playing() {
        if (device) {
            device->reset();
            device->close();
        }
        device.reset();
    }
};

// One player for the whole program; the application owns it, so the
// sound stops before the application goes.
class Player : public QObject {
public:
    using QObject::QObject;
    std::unique_ptr<Playing> sound;
};

std::unique_ptr<Playing> &playing() {
    static QPointer<Player> player;
    if (!player)
        player = new Player(qApp);
    return player->sound;
}

// The format and the sound of an uncompressed RIFF wave file: the "fmt "
// and "data" chunks, walked by their sizes, every size checked against the
// file. False for anything else.
bool readWaveFile(const QString &path, wave::WaveFormat *format, QByteArray *pcm) {
    QFile file(path);
    if (file.size() > largestSoundFileBytes || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return false;
    bool haveFormat = false;
    qsizetype at = 12;
    while (at + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(at, 4);
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        at += 8;
        if (size > quint32(bytes.size() - at))
            return false;
        const char *body = bytes.constData() + at;
        if (id == "fmt " && size >= 16) {
            const quint16 tag = qFromLittleEndian<quint16>(body);
            const quint16 channels = qFromLittleEndian<quint16>(body + 2);
            const quint32 rate = qFromLittleEndian<quint32>(body + 4);
            const quint16 bits = qFromLittleEndian<quint16>(body + 14);
            if (tag != wave::WAVE_FORMAT_PCM || channels < 1 || channels > 2 ||
                (bits != 8 && bits != 16))
                return false;
            *format = wave::pcmFormat(rate, channels, bits);
            haveFormat = true;
        } else if (id == "data" && haveFormat) {
            *pcm = QByteArray(body, size - size % format->nBlockAlign);
            return true;
        }
        at += size + (size & 1);
    }
    return false;
}

} // namespace

bool sndPlaySoundA(const QString &path, unsigned) {
    lastRequested = path;
    if (!QFileInfo(path).isFile()) {
        QApplication::beep();
        return false;
    }
    playing().reset();
    auto sound = std::make_unique<Playing>();
    wave::WaveFormat format;
    if (!readWaveFile(path, &format, &sound->pcm) || sound->pcm.isEmpty())
        return false;
    // Played like speech, through the wave layer: Qt's sound effect player
    // falls silent after a few milliseconds when the audio server is asked
    // for short buffers.
    if (wave::WaveOutDevice::open(sound->device, wave::WAVE_MAPPER, format, 0) !=
        wave::MMSYSERR_NOERROR)
        return false;
    sound->device->setFollowsVolume(false);
    sound->header.lpData = sound->pcm.data();
    sound->header.dwBufferLength = quint32(sound->pcm.size());
    if (sound->device->prepareHeader(&sound->header) != wave::MMSYSERR_NOERROR ||
        sound->device->write(&sound->header) != wave::MMSYSERR_NOERROR)
        return false;
    playing() = std::move(sound);
    return true;
}

QString lastSoundRequested() {
    return lastRequested;
}

} // namespace vb
