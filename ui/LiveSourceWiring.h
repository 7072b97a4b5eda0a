#pragma once
// Hooks the live capture control and the synchronised player into the main
// window: the sources panel makes a CVideoCaptureControl for every live
// source, and the P key runs the player.

class CWorkbenchDlg;

void InstallLiveCaptureAndSyncPlayer(CWorkbenchDlg& window);
