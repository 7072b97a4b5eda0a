#pragma once
// What the main window gives the sources panel and the P key: a
// CVideoCaptureControl for every live source, and the synchronised player.

#include <string>

#include "ui/StaticSourcesView.h"

class QWidget;

CStaticSourcesView::LiveControlFactory LiveCaptureControls(const std::string& applicationFolder);

// Runs the synchronised player, modal over `parent`.
void RunSyncPlayer(QWidget* parent);
