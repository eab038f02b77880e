#pragma once

#include <QString>

namespace vb {

constexpr unsigned SND_ASYNC = 1;

// Plays a sound file without waiting; a new sound replaces one still
// playing. A missing file gives the desktop's beep instead. False when the
// file could not be found.
bool sndPlaySoundA(const QString &path, unsigned flags);

// The file the last call asked for, so that tests can tell what was played.
QString lastSoundRequested();

} // namespace vb
