// What a tab page works with, handed to it when the main window creates it: the program-wide
// objects and the record in which pages name the windows that the rest of the shell addresses.
#pragma once
#include <windows.h>

class Log;
class Server;
class FileHandler;
class TrafficCounters;

// Each page fills in its own windows in init and clears them when it is destroyed (null until
// then). Read and written on the GUI thread only.
struct PageWindows {
    // Share tab's connection panel: every HTTPListener posts its connections' records here.
    HWND connectionPanel = nullptr;
    HWND addressBox = nullptr;   // Network tab "Internet IP Address" group: 1011 Detect Address
    HWND portBox = nullptr;      // Network tab "Network Port" group: 1001 Change Port Number...
    HWND updateBox = nullptr;    // Options tab "Update" group: 1001 Check Now..., WM_UPDATE_OFFER
};

struct TabContext {
    Log* log;
    Server* server;   // null when the engine did not start
    FileHandler* files;
    TrafficCounters* counters;
    HWND mainWindow;
    PageWindows* windows;   // the shell's record; outlives every page
};
