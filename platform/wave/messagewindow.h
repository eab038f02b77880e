#pragma once

#include <QString>
#include <QtGlobal>

// Hidden message windows: a handle, a replaceable window procedure and a queue
// of posted messages dispatched by the event loop of the thread that made the
// window. The wave devices notify their owners through them, so that every
// notification arrives after the call that caused it has returned.
//
// Handles are small numbers that are never reused, so a stale handle fails
// cleanly instead of reaching another window.

namespace wave {

using WindowProc = qintptr (*)(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);

// Error codes kept for lastWindowError().
constexpr quint32 ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr quint32 ERROR_NO_EVENT_LOOP = 1444; // no application object, or not its thread

// Creates a window of the given class whose procedure answers every message
// with 0. Returns 0 (and sets the last error) without an application object or
// off the application's thread.
qintptr createMessageWindow(const QString &className, const QString &title);

// Replaces the window's procedure and returns the previous one; nullptr and
// the last error set when the handle is not a live window.
WindowProc setWindowProc(qintptr hWnd, WindowProc proc);

bool destroyWindow(qintptr hWnd);
bool isWindow(qintptr hWnd);
QString windowTitle(qintptr hWnd);
QString windowClassName(qintptr hWnd);

// Calls a procedure the way the event loop would; a null procedure answers 0.
qintptr callWindowProc(WindowProc proc, qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);

// Queues a message for the window's procedure; false for a dead handle.
bool postMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);

// Runs the window's procedure at once and returns its result (0 for a dead handle).
qintptr sendMessage(qintptr hWnd, quint32 uMsg, qintptr wParam, qintptr lParam);

quint32 lastWindowError();

} // namespace wave
