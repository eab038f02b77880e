#pragma once

// The program's windows find one another here, as the windows of the
// original design found each other by name. The control window is loaded the
// first time anybody touches it and stays loaded until the program ends.
// The activity monitor, the chat window and the compact window are loaded on
// first use as well; unloading a window that is not loaded does nothing.

class frmMain;
class MRLS_Einlog;
class Chat;
class mrlxchat;
class Form1;
class QWidget;

namespace program {

frmMain *mainWindow();
void setMainWindow(frmMain *window);

MRLS_Einlog &controlWindow();
bool controlWindowLoaded();
void unloadControlWindow();

Chat &monitorWindow();
bool monitorWindowLoaded();
void unloadMonitorWindow();

mrlxchat &chatWindow();
bool chatWindowLoaded();
void unloadChatWindow();

Form1 &compactWindow();
bool compactWindowLoaded();
void unloadCompactWindow();

// For a window running a handler of its own: unloaded once the event loop is
// back, if it is then still hidden and still the loaded one.
void unloadLater(QWidget *window);

} // namespace program
