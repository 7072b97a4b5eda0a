#pragma once
// The progress windows of long commands (a calibration run, "Detect all").
// A QProgressDialog shows itself on a timer of its own, started when it is
// made (four seconds unless a first value restarts it with the minimum
// duration); one closed with hide() alone can still pop up later, over the
// message that reports the command's end, and block it. These two helpers
// open one that appears after `delayMs` and close one for good.

#include <QString>

class QProgressDialog;
class QWidget;

QProgressDialog* OpenProgressWindow(QWidget* parent, const QString& title, const QString& text, int maximum,
                                    int delayMs);
// Disconnects it, stops its timer, hides it and deletes it; null afterwards.
// Safe to call from one of its own signals.
void CloseProgressWindow(QProgressDialog*& window);
