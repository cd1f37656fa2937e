// The Network page's two dialogs: Change Port Number (8001) and Set Local IP (8002).
#pragma once
#include <windows.h>

// Modal over owner. The chosen port (1..65535), or 0 when cancelled.
INT_PTR runChangePortDialog(HWND owner);
// Modal over owner. 1 when LocalAddress changed (case-insensitive), else 0.
INT_PTR runSetLocalIpDialog(HWND owner);
