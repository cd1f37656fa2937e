// What the share server reads of the program's settings. The shell owns the settings and hands
// one of these to FileHandler and to each HTTPListener when it creates them, so the server
// never reaches into the shell. Every call may come from a worker thread: an implementation
// guards its own reads.
#pragma once
#include <windows.h>

// The switches an index or built-in page depends on, read at once so that one page never
// mixes two states of the options.
struct PageSwitches {
    bool useIcons;
    bool allowUploads;
    bool swfUpload;
    bool requirePassword;
};

class ServerSettings {
public:
    virtual PageSwitches pageSwitches() const = 0;
    virtual bool requirePassword() const = 0;
    virtual bool allowUploads() const = 0;
    virtual bool singleDirIsRoot() const = 0;
    virtual bool enableUPnP() const = 0;
    // The display name into out (NUL-terminated, cut to capacity); returns its length.
    virtual DWORD copyUserName(wchar_t* out, DWORD capacity) const = 0;
    // Decoded Basic credentials against the stored login.
    virtual bool checkLogin(const char* user, DWORD userLength, const char* password,
                            DWORD passwordLength) const = 0;
    // Heap copies (delete[]); null when memory runs out.
    virtual wchar_t* uploadsDirectoryCopy(DWORD* length) const = 0;
    virtual wchar_t* localAddressCopy() const = 0;

protected:
    ~ServerSettings() = default;
};
