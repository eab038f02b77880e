#pragma once

// The program's windows find one another here, as the windows of the
// original design found each other by name. The control window is loaded the
// first time anybody touches it and stays loaded until the program ends.

class frmMain;
class MRLS_Einlog;

namespace program {

frmMain *mainWindow();
void setMainWindow(frmMain *window);

MRLS_Einlog &controlWindow();
bool controlWindowLoaded();
void unloadControlWindow();

} // namespace program
