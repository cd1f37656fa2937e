// The settings part of HSMain: defaults, the registry load and save in table order, the share
// list value, and the accessors. The limits themselves live in HSMainSettingsRules.cpp.
#include "HSMainSettings.h"

#include <cstring>
#include <new>

#include "FileHandler.h"
#include "Log.h"

static const wchar_t kLogUnit[] = L"HSMain";
static const wchar_t kKeyPath[] = L"Software\\WexaShare";

Settings g_settings;
static CRITICAL_SECTION g_settingsLock;

void initSettingsLock() {
    InitializeCriticalSection(&g_settingsLock);
}

void deleteSettingsLock() {
    DeleteCriticalSection(&g_settingsLock);
}

void lockSettings() {
    EnterCriticalSection(&g_settingsLock);
}

void unlockSettings() {
    LeaveCriticalSection(&g_settingsLock);
}

// Replaces UploadsDirectory; false (and nothing changed) when memory runs out.
static bool storeUploadsDirectory(const wchar_t* text, DWORD length) {
    wchar_t* copy = new (std::nothrow) wchar_t[length + 1];
    if (!copy)
        return false;
    if (length)
        memcpy(copy, text, length * sizeof(wchar_t));
    copy[length] = 0;
    delete[] g_settings.uploadsDirectory;
    g_settings.uploadsDirectory = copy;
    g_settings.uploadsDirectoryLength = length;
    return true;
}

void setDefaultSettings() {
    Settings& s = g_settings;
    s.firstRun = true;
    s.rememberShare = true;
    s.rememberConnections = true;
    s.sharePort = 80;
    s.enableUPnP = true;
    s.detectLocalIP = true;
    s.localIPIndex = 0;
    s.autoDetectAddress = true;
    s.autoUpdate = true;
    memset(s.serverAddress, 0, sizeof s.serverAddress);
    wcscpy(s.serverAddress, L"serveraddress");
    memset(s.localAddress, 0, sizeof s.localAddress);
    memset(s.userName, 0, sizeof s.userName);
    wchar_t user[257] = {};
    DWORD size = 257;
    if (GetUserNameW(user, &size)) {
        DWORD n = 0;
        while (n < kUserNameSaveUnits && user[n])
            ++n;
        memcpy(s.userName, user, n * sizeof(wchar_t));
    } else {
        wcscpy(s.userName, L"Wexa-User");
    }
    s.requirePassword = false;
    memset(s.loginUser, 0, sizeof s.loginUser);
    s.loginUserLength = 0;
    memset(s.loginPassword, 0, sizeof s.loginPassword);
    s.loginPasswordLength = 0;
    s.singleDirIsRoot = true;
    s.useIcons = true;
    s.rememberStats = true;
    s.sentBytes = 0;
    s.receivedBytes = 0;
    s.allowUploads = false;
    s.swfUpload = true;
    s.minimizeFunction = 2;
    if (!storeUploadsDirectory(L"", 0)) {
        s.uploadsDirectory = nullptr;
        s.uploadsDirectoryLength = 0;
    }
}

// ---- Loading ------------------------------------------------------------------------------

namespace {

// Reads the values while the caller holds the settings lock. Failures are only noted here
// and logged by logFailures once the lock is released: the log's own lock must never be
// taken under the settings lock.
class RegistryReader {
public:
    explicit RegistryReader(HKEY key) : key_(key) {}

    // One value into data; true when it is present with the expected type. Absence keeps
    // the default silently; any other failure is noted and keeps it too.
    bool query(const wchar_t* name, DWORD expectedType, void* data, DWORD* size) {
        DWORD type = 0;
        LONG rc = RegQueryValueExW(key_, name, nullptr, &type, static_cast<BYTE*>(data), size);
        if (rc == ERROR_FILE_NOT_FOUND)
            return false;
        if (rc != ERROR_SUCCESS) {
            noteFailure(__LINE__, static_cast<DWORD>(rc));
            return false;
        }
        return type == expectedType;
    }

    void logFailures(Log* log) const {
        for (DWORD i = 0; i < failureCount_; ++i) {
            Log::error(kLogUnit, log, failures_[i].line, L"loadSettings", L"RegQueryValueEx",
                       failures_[i].code);
        }
    }

    bool dword(const wchar_t* name, DWORD* value) {
        DWORD v = 0, size = sizeof v;
        if (!query(name, REG_DWORD, &v, &size) || size != sizeof v)
            return false;
        *value = v;
        return true;
    }

    void flag(const wchar_t* name, bool* value) {
        DWORD v;
        if (dword(name, &v))
            *value = v != 0;
    }

    void qword(const wchar_t* name, ULONGLONG* value) {
        ULONGLONG v = 0;
        DWORD size = sizeof v;
        if (query(name, REG_QWORD, &v, &size) && size == sizeof v)
            *value = v;
    }

    // A text of at most maxBytes into a buffer of capacity units (capacity * 2 > maxBytes).
    void text(const wchar_t* name, DWORD maxBytes, wchar_t* field, size_t capacity) {
        wchar_t buffer[kAddressTextCapacity] = {};
        DWORD size = maxBytes;
        if (!query(name, REG_SZ, buffer, &size))
            return;
        size_t n = textLengthFromStored(reinterpret_cast<const char16_t*>(buffer), size);
        if (n >= capacity)
            n = capacity - 1;
        memset(field, 0, capacity * sizeof(wchar_t));
        memcpy(field, buffer, n * sizeof(wchar_t));
    }

    void login(const wchar_t* name, char* field, DWORD* length) {
        char buffer[kLoginMaxBytes] = {};
        DWORD size = kLoginMaxBytes;
        if (query(name, REG_SZ, buffer, &size))
            *length = static_cast<DWORD>(clampLogin(buffer, size, field));
    }

    void uploadsDirectory() {
        DWORD type = 0, size = 0;
        LONG rc = RegQueryValueExW(key_, L"UploadsDirectory", nullptr, &type, nullptr, &size);
        if (rc == ERROR_FILE_NOT_FOUND)
            return;
        if (rc != ERROR_SUCCESS) {
            noteFailure(__LINE__, static_cast<DWORD>(rc));
            return;
        }
        // Zeroed and 10 units larger, so the text is terminated even when stored without one.
        wchar_t* buffer = new (std::nothrow) wchar_t[size + 10]();
        if (!buffer)
            return;
        if (query(L"UploadsDirectory", REG_SZ, buffer, &size)) {
            size_t n = textLengthFromStored(reinterpret_cast<const char16_t*>(buffer), size);
            storeUploadsDirectory(buffer, static_cast<DWORD>(n));
        }
        delete[] buffer;
    }

private:
    struct Failure {
        int line;
        DWORD code;
    };

    void noteFailure(int line, DWORD code) {
        if (failureCount_ < kMaxFailures)
            failures_[failureCount_++] = {line, code};
    }

    // One failure at most per value, two for UploadsDirectory (its size, then its data).
    static const DWORD kMaxFailures = 32;
    HKEY key_;
    Failure failures_[kMaxFailures];
    DWORD failureCount_ = 0;
};

}  // namespace

static_assert(kAddressTextCapacity * 2 > kAddressLoadBytes, "address buffers hold a full load");
static_assert(kUserNameCapacity * 2 > kUserNameLoadBytes, "name buffer holds a full load");

bool loadSettings(Log* log) {
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) {
        LOG_ERROR(log, L"loadSettings", L"RegOpenKeyEx", static_cast<DWORD>(rc));
        return false;
    }
    Settings& s = g_settings;
    RegistryReader r(key);
    // Loaded on the GUI thread before any worker exists, but the lock keeps the rule simple.
    lockSettings();
    if (RegQueryValueExW(key, L"NotFirstRun", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
        s.firstRun = false;
    r.flag(L"RememberShare", &s.rememberShare);
    r.flag(L"RememberConnections", &s.rememberConnections);
    DWORD v;
    if (r.dword(L"SharePort", &v))
        s.sharePort = sharePortFromStored(v);
    r.flag(L"EnableUPnP", &s.enableUPnP);
    r.flag(L"DetectLocalIP", &s.detectLocalIP);
    if (r.dword(L"LocalIPIndex", &v))
        s.localIPIndex = localIPIndexFromStored(v);
    r.flag(L"AutoDetectAddress", &s.autoDetectAddress);
    r.flag(L"AutoUpdate", &s.autoUpdate);
    r.text(L"ServerAddress", kAddressLoadBytes, s.serverAddress, kAddressTextCapacity);
    r.text(L"LocalAddress", kAddressLoadBytes, s.localAddress, kAddressTextCapacity);
    r.text(L"UserName", kUserNameLoadBytes, s.userName, kUserNameCapacity);
    r.flag(L"RequirePassword", &s.requirePassword);
    r.login(L"LoginUser", s.loginUser, &s.loginUserLength);
    r.login(L"LoginPassword", s.loginPassword, &s.loginPasswordLength);
    r.flag(L"SingleDirIsRoot", &s.singleDirIsRoot);
    r.flag(L"UseIcons", &s.useIcons);
    r.flag(L"RememberStats", &s.rememberStats);
    if (s.rememberStats) {
        r.qword(L"SentBytes", &s.sentBytes);
        r.qword(L"ReceivedBytes", &s.receivedBytes);
    }
    r.flag(L"AllowUploads", &s.allowUploads);
    r.flag(L"SWFUpload", &s.swfUpload);
    if (r.dword(L"MinimizeFunction", &v))
        s.minimizeFunction = minimizeFunctionFromStored(v, s.minimizeFunction);
    r.uploadsDirectory();
    unlockSettings();
    r.logFailures(log);
    rc = RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        LOG_ERROR(log, L"loadSettings", L"RegCloseKey", static_cast<DWORD>(rc));
    return true;
}

// ---- Saving -------------------------------------------------------------------------------

namespace {

class RegistryWriter {
public:
    RegistryWriter(Log* log, HKEY key, const wchar_t* function)
        : log_(log), key_(key), function_(function) {}

    // A failed write is logged and the next value is still written.
    void set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        LONG rc = RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size);
        if (rc != ERROR_SUCCESS)
            LOG_ERROR(log_, function_, L"RegSetValueEx", static_cast<DWORD>(rc));
    }
    void dword(const wchar_t* name, DWORD value) { set(name, REG_DWORD, &value, sizeof value); }
    void flag(const wchar_t* name, bool on) { dword(name, on ? 1 : 0); }
    void qword(const wchar_t* name, ULONGLONG value) {
        set(name, REG_QWORD, &value, sizeof value);
    }
    // The text cut at limit units, its terminator included in the size.
    void text(const wchar_t* name, const wchar_t* value, size_t limit) {
        wchar_t buffer[kAddressTextCapacity];
        size_t n = 0;
        while (n < limit && n < kAddressTextCapacity - 1 && value[n])
            ++n;
        memcpy(buffer, value, n * sizeof(wchar_t));
        buffer[n] = 0;
        set(name, REG_SZ, buffer, static_cast<DWORD>((n + 1) * sizeof(wchar_t)));
    }

private:
    Log* log_;
    HKEY key_;
    const wchar_t* function_;
};

bool createKey(Log* log, const wchar_t* function, HKEY* key) {
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key, nullptr);
    if (rc != ERROR_SUCCESS) {
        LOG_ERROR(log, function, L"RegCreateKeyEx", static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

void closeKey(Log* log, const wchar_t* function, HKEY key) {
    LONG rc = RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        LOG_ERROR(log, function, L"RegCloseKey", static_cast<DWORD>(rc));
}

}  // namespace

bool saveSettings(Log* log, ULONGLONG sentBytes, ULONGLONG receivedBytes) {
    // Work on a snapshot so that no registry call runs under the settings lock.
    Settings s;
    wchar_t* uploads;
    lockSettings();
    s = g_settings;
    uploads = new (std::nothrow) wchar_t[s.uploadsDirectoryLength + 1];
    if (uploads) {
        memcpy(uploads, s.uploadsDirectory ? s.uploadsDirectory : L"",
               s.uploadsDirectoryLength * sizeof(wchar_t));
        uploads[s.uploadsDirectoryLength] = 0;
    }
    unlockSettings();
    if (!s.rememberStats)
        sentBytes = receivedBytes = 0;

    HKEY key;
    if (!createKey(log, L"saveSettings", &key)) {
        delete[] uploads;
        return false;
    }
    RegistryWriter w(log, key, L"saveSettings");
    w.set(L"NotFirstRun", REG_NONE, nullptr, 0);
    w.flag(L"RememberShare", s.rememberShare);
    w.flag(L"RememberConnections", s.rememberConnections);
    w.dword(L"SharePort", s.sharePort);
    w.flag(L"EnableUPnP", s.enableUPnP);
    w.flag(L"DetectLocalIP", s.detectLocalIP);
    w.dword(L"LocalIPIndex", s.localIPIndex);
    w.flag(L"AutoDetectAddress", s.autoDetectAddress);
    w.flag(L"AutoUpdate", s.autoUpdate);
    w.text(L"ServerAddress", s.serverAddress, kAddressSaveUnits);
    w.text(L"LocalAddress", s.localAddress, kAddressSaveUnits);
    w.text(L"UserName", s.userName, kUserNameSaveUnits);
    w.flag(L"RequirePassword", s.requirePassword);
    w.set(L"LoginUser", REG_SZ, s.loginUser, s.loginUserLength);
    w.set(L"LoginPassword", REG_SZ, s.loginPassword, s.loginPasswordLength);
    w.flag(L"SingleDirIsRoot", s.singleDirIsRoot);
    w.flag(L"UseIcons", s.useIcons);
    w.flag(L"RememberStats", s.rememberStats);
    w.qword(L"SentBytes", sentBytes);
    w.qword(L"ReceivedBytes", receivedBytes);
    w.flag(L"AllowUploads", s.allowUploads);
    w.flag(L"SWFUpload", s.swfUpload);
    w.dword(L"MinimizeFunction", s.minimizeFunction);
    if (uploads) {
        w.set(L"UploadsDirectory", REG_SZ, uploads,
              (s.uploadsDirectoryLength + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    }
    delete[] uploads;
    closeKey(log, L"saveSettings", key);
    return true;
}

// ---- Share list ---------------------------------------------------------------------------

bool loadFileList(Log* log, FileHandler* files) {
    HKEY key;
    LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS) {
        LOG_ERROR(log, L"loadFileList", L"RegOpenKeyEx", static_cast<DWORD>(rc));
        return false;
    }
    DWORD size = 0;
    rc = RegQueryValueExW(key, L"ShareList", nullptr, nullptr, nullptr, &size);
    bool ok = rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    if (!ok)
        LOG_ERROR(log, L"loadFileList", L"RegQueryValueEx", static_cast<DWORD>(rc));
    if (rc == ERROR_SUCCESS && size > 0) {
        // 10 bytes larger and zeroed: a value cut short still ends inside the buffer.
        DWORD bufferBytes = size + 10;
        wchar_t* text = new (std::nothrow) wchar_t[bufferBytes / sizeof(wchar_t) + 1]();
        if (text) {
            rc = RegQueryValueExW(key, L"ShareList", nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(text), &size);
            if (rc == ERROR_SUCCESS) {
                files->loadList(text, size / sizeof(wchar_t));
            } else {
                LOG_ERROR(log, L"loadFileList", L"RegQueryValueEx", static_cast<DWORD>(rc));
                ok = false;
            }
            delete[] text;
        }
    }
    closeKey(log, L"loadFileList", key);
    return ok;
}

bool saveFileList(Log* log, FileHandler* files) {
    wchar_t* text = nullptr;
    DWORD length = 0;
    if (!files->serializeList(&text, &length))
        return false;
    HKEY key;
    if (!createKey(log, L"saveFileList", &key)) {
        delete[] text;
        return false;
    }
    LONG rc = RegSetValueExW(key, L"ShareList", 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(text),
                             length * static_cast<DWORD>(sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
        LOG_ERROR(log, L"saveFileList", L"RegSetValueEx", static_cast<DWORD>(rc));
    delete[] text;
    closeKey(log, L"saveFileList", key);
    return rc == ERROR_SUCCESS;
}

// ---- Accessors ----------------------------------------------------------------------------

#define FLAG_ACCESSORS(getter, setter, field) \
    bool getter() {                           \
        SettingsLock hold;                    \
        return g_settings.field;              \
    }                                         \
    void setter(bool on) {                    \
        SettingsLock hold;                    \
        g_settings.field = on;                \
    }

FLAG_ACCESSORS(getRequirePassword, setRequirePassword, requirePassword)
FLAG_ACCESSORS(getAllowUploads, setAllowUploads, allowUploads)
FLAG_ACCESSORS(getSWFUpload, setSWFUpload, swfUpload)
FLAG_ACCESSORS(getEnableUPnP, setEnableUPnP, enableUPnP)
FLAG_ACCESSORS(getSingleDirIsRoot, setSingleDirIsRoot, singleDirIsRoot)
FLAG_ACCESSORS(getUseIcons, setUseIcons, useIcons)

void setDetectLocalIP(bool on) {
    SettingsLock hold;
    g_settings.detectLocalIP = on;
}

wchar_t* getLocalAddressCopy() {
    wchar_t* copy = new (std::nothrow) wchar_t[kAddressTextCapacity]();
    if (!copy)
        return nullptr;
    SettingsLock hold;
    for (size_t i = 0; i < 505 && g_settings.localAddress[i]; ++i)
        copy[i] = g_settings.localAddress[i];
    return copy;
}

void setLocalAddress(const wchar_t* text) {
    size_t n = 0;
    while (text && n < kAddressTextCapacity && text[n])
        ++n;
    SettingsLock hold;
    memset(g_settings.localAddress, 0, sizeof g_settings.localAddress);
    if (n < kAddressTextCapacity)
        memcpy(g_settings.localAddress, text, n * sizeof(wchar_t));
}

wchar_t* getUploadsDirectoryCopy(DWORD* length) {
    lockSettings();
    DWORD n = g_settings.uploadsDirectoryLength;
    wchar_t* copy = new (std::nothrow) wchar_t[n + 1];
    if (copy) {
        if (n)
            memcpy(copy, g_settings.uploadsDirectory, n * sizeof(wchar_t));
        copy[n] = 0;
    }
    unlockSettings();
    if (length)
        *length = copy ? n : 0;
    return copy;
}

bool setUploadsDirectory(const wchar_t* text, DWORD length) {
    if (length > kUploadsDirectoryMaxUnits)
        length = kUploadsDirectoryMaxUnits;
    SettingsLock hold;
    return storeUploadsDirectory(text, length);
}

DWORD copyUserName(wchar_t* out, DWORD capacity) {
    if (capacity == 0)
        return 0;
    SettingsLock hold;
    DWORD n = 0;
    while (n + 1 < capacity && n < kUserNameCapacity && g_settings.userName[n]) {
        out[n] = g_settings.userName[n];
        ++n;
    }
    out[n] = 0;
    return n;
}

void setUserName(const wchar_t* text, DWORD length) {
    if (length > kUserNameCapacity - 1)
        length = kUserNameCapacity - 1;
    SettingsLock hold;
    memset(g_settings.userName, 0, sizeof g_settings.userName);
    memcpy(g_settings.userName, text, length * sizeof(wchar_t));
}

void setLoginUser(const char* bytes, DWORD length) {
    SettingsLock hold;
    g_settings.loginUserLength = static_cast<DWORD>(clampLogin(bytes, length, g_settings.loginUser));
}

void setLoginPassword(const char* bytes, DWORD length) {
    SettingsLock hold;
    g_settings.loginPasswordLength =
        static_cast<DWORD>(clampLogin(bytes, length, g_settings.loginPassword));
}

bool checkLogin(const char* user, DWORD userLength, const char* password, DWORD passwordLength) {
    SettingsLock hold;
    return loginMatches(g_settings.loginUser, g_settings.loginUserLength, g_settings.loginPassword,
                        g_settings.loginPasswordLength, user, userLength, password,
                        passwordLength);
}

// ---- The server's view --------------------------------------------------------------------

namespace {

// Reads the program-wide record through the accessors above, each under the settings lock.
class ProgramServerSettings final : public ServerSettings {
public:
    PageSwitches pageSwitches() const override {
        SettingsLock hold;
        return PageSwitches{g_settings.useIcons, g_settings.allowUploads, g_settings.swfUpload,
                            g_settings.requirePassword};
    }
    bool requirePassword() const override { return getRequirePassword(); }
    bool allowUploads() const override { return getAllowUploads(); }
    bool singleDirIsRoot() const override { return getSingleDirIsRoot(); }
    bool enableUPnP() const override { return getEnableUPnP(); }
    DWORD copyUserName(wchar_t* out, DWORD capacity) const override {
        return ::copyUserName(out, capacity);
    }
    bool checkLogin(const char* user, DWORD userLength, const char* password,
                    DWORD passwordLength) const override {
        return ::checkLogin(user, userLength, password, passwordLength);
    }
    wchar_t* uploadsDirectoryCopy(DWORD* length) const override {
        return getUploadsDirectoryCopy(length);
    }
    wchar_t* localAddressCopy() const override { return getLocalAddressCopy(); }
};

const ProgramServerSettings g_serverSettings;

}  // namespace

const ServerSettings* programServerSettings() {
    return &g_serverSettings;
}
