// The sounds the radio plays by file (channel announcements, the roger
// beep, the operators' notice and the chat tone) are heard at their file's
// level: each is played and the loudspeaker's monitor is recorded.

#include "airsupport.h"
#include "sound.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>

namespace {

// The RMS level in dB of full scale of what a file holds, as sox reads it.
double fileLevelDb(const QString &path) {
    QProcess sox;
    sox.start(QStringLiteral("sox"), {path, QStringLiteral("-n"), QStringLiteral("stats")});
    sox.waitForFinished(10000);
    const QString stats = QString::fromUtf8(sox.readAllStandardError());
    for (const QString &line : stats.split('\n')) {
        if (line.startsWith(QLatin1String("RMS lev dB")))
            return line.split(' ', Qt::SkipEmptyParts).last().toDouble();
    }
    return -200;
}

// The RMS level in dB of the loudest 100 ms of a recording, and of the
// whole of it above -50 dB.
double levelDb(const std::vector<qint16> &samples, qsizetype from, qsizetype to) {
    double sum = 0;
    for (qsizetype n = from; n < to; ++n)
        sum += double(samples[size_t(n)]) * samples[size_t(n)];
    const double rms = std::sqrt(sum / double(std::max<qsizetype>(1, to - from)));
    return rms > 0 ? 20 * std::log10(rms / 32768) : -200;
}

} // namespace

class SoundsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void soundIsHeardAtItsLevel_data();
    void soundIsHeardAtItsLevel();
    void damagedFileIsNotPlayed();
};

void SoundsTest::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("MARLOX_TEST_AUDIO"),
             "no test audio server: run through scripts/test");
}

void SoundsTest::soundIsHeardAtItsLevel_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("channel 7") << "wave-zahlen/7.wav";
    QTest::newRow("channel 40") << "wave-zahlen/40.wav";
    QTest::newRow("roger beep") << "test.wav";
    QTest::newRow("notice") << "warnung.wav";
    QTest::newRow("chat") << "post.wav";
}

void SoundsTest::soundIsHeardAtItsLevel() {
    QFETCH(QString, file);
    const QString path = QStringLiteral(MARLOX_SOUNDS_DIR "/") + file;
    const double expectedDb = fileLevelDb(path);
    QVERIFY2(expectedDb > -40, qPrintable(path));

    QElapsedTimer clock;
    clock.start();
    air::Recorder loudspeaker("marlox_source", clock);
    QVERIFY(loudspeaker.start());
    QTest::qWait(300);
    const qsizetype from = loudspeaker.size();
    QVERIFY(vb::sndPlaySoundA(path, vb::SND_ASYNC));
    QTest::qWait(2500);
    loudspeaker.stop();
    const std::vector<qint16> heard = loudspeaker.samples(from, loudspeaker.size());

    // The sounding part: from the first to the last sample above -40 dB.
    qsizetype first = -1;
    qsizetype last = -1;
    for (qsizetype n = 0; n < qsizetype(heard.size()); ++n) {
        if (std::abs(int(heard[size_t(n)])) > 328) {
            if (first < 0)
                first = n;
            last = n;
        }
    }
    QVERIFY2(first >= 0, "nothing was heard");
    const double heardDb = levelDb(heard, first, last + 1);
    const double heardMs = double(last + 1 - first) * 1000 / air::sampleRate;
    qInfo("%s: file %.1f dB, heard %.1f dB for %.0f ms", qPrintable(file), expectedDb, heardDb,
          heardMs);
    // The sink runs at 8000 Hz, so what the file holds above 4 kHz is lost.
    QVERIFY2(std::abs(heardDb - expectedDb) < 6, qPrintable(QString::number(heardDb)));
}

// Sizes that point past the end, or no sound at all: refused, nothing read
// beyond the file.
void SoundsTest::damagedFileIsNotPlayed() {
    QTemporaryDir dir;
    const QByteArray header = QByteArray("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20) +
                              QByteArray("\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0", 16);
    for (const QByteArray &content :
         {QByteArray("not a wave file"), header + QByteArray("data\xff\xff\xff\x7f\0\0", 10),
          header.left(30), QByteArray("RIFF\0\0\0\0WAVE", 12)}) {
        QFile file(dir.filePath("bad.wav"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QVERIFY(!vb::sndPlaySoundA(file.fileName(), vb::SND_ASYNC));
    }
}

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    SoundsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sounds.moc"
