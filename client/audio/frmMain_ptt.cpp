// Push-to-talk from the key, the keyboard and the serial port.

#include "radio/frmMain.h"

void frmMain::openSerialPort() {}
