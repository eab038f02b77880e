// The send meter, the end of reception and the loudspeaker volume.

#include "radio/frmMain.h"

void frmMain::SetVolume() {}

void frmMain::openLevelCapture() {}
