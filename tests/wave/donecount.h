#pragma once

// Counts the playback done notices, and on which thread they came: the
// device's own thread must hand them to the application's.

#include "wavetypes.h"

#include <QCoreApplication>
#include <QThread>

namespace donecount {

inline int onAppThread = 0;
inline int elsewhere = 0;

inline qintptr windowProc(qintptr, quint32 uMsg, qintptr, qintptr) {
    if (uMsg == wave::MM_WOM_DONE)
        ++(QThread::currentThread() == QCoreApplication::instance()->thread() ? onAppThread
                                                                              : elsewhere);
    return 0;
}

} // namespace donecount
