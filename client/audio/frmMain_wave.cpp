// The capture and playback objects the main window owns, and their events.

#include "audio/clsWaveIn.h"
#include "audio/clsWaveOut.h"
#include "audio/modWave.h"
#include "radio/frmMain.h"

void frmMain::createAudioObjects() {
    objWaveIn = std::make_unique<clsWaveIn>();
    objWaveOut = std::make_unique<clsWaveOut>();
    connect(objWaveIn.get(), &clsWaveIn::OnWaveInData, this, &frmMain::objWaveIn_OnWaveInData);
    // Start-up goes on when an object cannot get its message window; the
    // object then reports its devices as failing to open.
    try {
        objWaveIn->Subclassing_Initialize();
    } catch (const WaveObjectError &) {
    }
    try {
        objWaveOut->Subclassing_Initialize();
    } catch (const WaveObjectError &) {
    }
}

void frmMain::releaseAudioObjects() {
    if (objWaveIn) {
        try {
            objWaveIn->Subclassing_Terminate();
        } catch (const WaveObjectError &) {
        }
    }
    if (objWaveOut) {
        try {
            objWaveOut->Subclassing_Terminate();
        } catch (const WaveObjectError &) {
        }
    }
    objWaveIn.reset();
    objWaveOut.reset();
}

void frmMain::objWaveIn_OnWaveInData(const QByteArray &Data, qint32) {
    if (voiceConnected)
        wskChat->sendData(Data);
}
