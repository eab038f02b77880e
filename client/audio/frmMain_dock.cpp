#include "radio/frmMain.h"

void frmMain::dock() {}
