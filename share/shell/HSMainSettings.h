// The share program's settings: one program-wide record guarded by the settings lock, loaded
// from and saved to HKEY_CURRENT_USER "Software\WexaShare", the share list value, and the
// small accessors worker threads use (each takes the lock around one field).
#pragma once
#include <windows.h>

#include "HSMainSettingsRules.h"
#include "ServerSettings.h"

class Log;
class FileHandler;

// The record. The GUI thread loads and saves it; anything another thread reads or writes
// goes through the accessors below, never through the fields directly.
struct Settings {
    bool firstRun;
    bool rememberShare;
    bool rememberConnections;
    WORD sharePort;
    bool enableUPnP;
    bool detectLocalIP;
    DWORD localIPIndex;
    bool autoDetectAddress;
    bool autoUpdate;
    wchar_t serverAddress[kAddressTextCapacity];
    wchar_t localAddress[kAddressTextCapacity];
    wchar_t userName[kUserNameCapacity];
    bool requirePassword;
    char loginUser[kLoginCapacity];
    DWORD loginUserLength;
    char loginPassword[kLoginCapacity];
    DWORD loginPasswordLength;
    bool singleDirIsRoot;
    bool useIcons;
    bool rememberStats;
    ULONGLONG sentBytes;       // as loaded; the live totals are in the traffic counters
    ULONGLONG receivedBytes;
    bool allowUploads;
    bool swfUpload;
    DWORD minimizeFunction;
    wchar_t* uploadsDirectory;   // owned, NUL-terminated, never null after setDefaultSettings
    DWORD uploadsDirectoryLength;
};

extern Settings g_settings;

// Initialises (deletes) the settings lock; the shell calls these first (last).
void initSettingsLock();
void deleteSettingsLock();
void lockSettings();
void unlockSettings();

// Holds the settings lock for a scope. Nothing else may be locked while it is held.
class SettingsLock {
public:
    SettingsLock() { lockSettings(); }
    ~SettingsLock() { unlockSettings(); }
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;
};

// Every value to its default; the display name is the Windows user name ("Wexa-User" when it
// cannot be read). Runs before the log exists, so it logs nothing.
void setDefaultSettings();
// Reads every value but ShareList; absent values keep their current content.
bool loadSettings(Log* log);
// Writes every value but ShareList. sentBytes and receivedBytes are the traffic counters'
// totals, read by the caller under their lock; they are written as 0 when RememberStats is off.
bool saveSettings(Log* log, ULONGLONG sentBytes, ULONGLONG receivedBytes);
// ShareList into and out of the registry (FileHandler::loadList / serializeList).
bool loadFileList(Log* log, FileHandler* files);
bool saveFileList(Log* log, FileHandler* files);

// Accessors (settings lock around one field).
bool getRequirePassword();
void setRequirePassword(bool on);
bool getAllowUploads();
void setAllowUploads(bool on);
bool getSWFUpload();
void setSWFUpload(bool on);
bool getEnableUPnP();
void setEnableUPnP(bool on);
void setDetectLocalIP(bool on);
bool getSingleDirIsRoot();
void setSingleDirIsRoot(bool on);
bool getUseIcons();
void setUseIcons(bool on);
// A fresh heap copy of 512 units (delete[]): at most 505 units of LocalAddress, rest zero.
wchar_t* getLocalAddressCopy();
// Clears LocalAddress, then stores text when it fits with its terminator (else it stays empty).
void setLocalAddress(const wchar_t* text);
// A heap copy of UploadsDirectory (delete[]), null when memory runs out.
wchar_t* getUploadsDirectoryCopy(DWORD* length);
// Keeps at most kUploadsDirectoryMaxUnits units.
bool setUploadsDirectory(const wchar_t* text, DWORD length);
// The display name into out (NUL-terminated, cut to capacity); returns its length.
DWORD copyUserName(wchar_t* out, DWORD capacity);
void setUserName(const wchar_t* text, DWORD length);
void setLoginUser(const char* bytes, DWORD length);
void setLoginPassword(const char* bytes, DWORD length);
// Decoded Basic credentials against the stored login (see loginMatches).
bool checkLogin(const char* user, DWORD userLength, const char* password, DWORD passwordLength);

// What the server reads of the record (FileHandler, HTTPListener and its connections); lives as
// long as the program.
const ServerSettings* programServerSettings();
