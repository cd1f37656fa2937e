// The downloader's dialogs, each centred on the main window: New Download and Change Download
// URL (one edit whose text enables the action buttons), Download Password and About.
#pragma once
#include <windows.h>

class Log;

// New Download or Change Download URL. Answers IDOK or IDC_SAVE_AS with the edit's text in
// text (at most capacity - 1 characters), or 0 when cancelled.
int runUrlDialog(Log* log, HINSTANCE instance, HWND owner, int dialogId, wchar_t* text, int capacity);
// Download Password with title as its caption. True with the typed 8-bit texts on "&Download".
bool runPasswordDialog(Log* log, HINSTANCE instance, HWND owner, const wchar_t* title, char* user, char* password,
                       int capacity);
void runAboutDialog(Log* log, HINSTANCE instance, HWND owner);
