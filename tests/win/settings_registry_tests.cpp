// Settings against the real registry (HKCU of the test's WINEPREFIX): the first-run save of
// every value with its exact type, the round trip, load limits, statistics, and the
// "ShareList" value written and restored through FileHandler, and the loader's lock order.
#include <doctest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "FileHandler.h"
#include "HSMainSettings.h"
#include "Log.h"

namespace {

const wchar_t kKey[] = L"Software\\WexaShare";

void clearKey() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
}

struct Value {
    DWORD type = 0;
    std::vector<BYTE> data;
    bool present = false;
};

Value readValue(const wchar_t* name) {
    Value v;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return v;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
        v.data.resize(size);
        RegQueryValueExW(key, name, nullptr, &v.type, size ? v.data.data() : nullptr, &size);
        v.present = true;
    }
    RegCloseKey(key);
    return v;
}

void writeValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS);
    REQUIRE(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) ==
            ERROR_SUCCESS);
    RegCloseKey(key);
}

void writeDword(const wchar_t* name, DWORD value) {
    writeValue(name, REG_DWORD, &value, sizeof value);
}

std::vector<BYTE> dwordBytes(DWORD v) {
    return std::vector<BYTE>(reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 4);
}

std::vector<BYTE> qwordBytes(ULONGLONG v) {
    return std::vector<BYTE>(reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 8);
}

std::vector<BYTE> textBytes(const std::wstring& s) {
    const BYTE* p = reinterpret_cast<const BYTE*>(s.c_str());
    return std::vector<BYTE>(p, p + (s.size() + 1) * sizeof(wchar_t));
}

std::vector<BYTE> rawBytes(const std::string& s) {
    return std::vector<BYTE>(s.begin(), s.end());
}

struct Fixture {
    Fixture() {
        initSettingsLock();
        clearKey();
        setDefaultSettings();
    }
    ~Fixture() {
        clearKey();
        delete[] g_settings.uploadsDirectory;
        g_settings.uploadsDirectory = nullptr;
        deleteSettingsLock();
    }
};

struct Expected {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
};

void checkStored(const std::vector<Expected>& expected) {
    for (const Expected& e : expected) {
        CAPTURE(std::string(e.name, e.name + wcslen(e.name)));
        Value v = readValue(e.name);
        REQUIRE(v.present);
        CHECK(v.type == e.type);
        // The 8-bit login values are stored without a terminator; the system's reader may
        // add one of its own when asked for the value, which is not part of what we wrote.
        if (e.type == REG_SZ && v.data.size() == e.data.size() + 2 && v.data.back() == 0 &&
            v.data[v.data.size() - 2] == 0)
            v.data.resize(e.data.size());
        CHECK(v.data == e.data);
    }
}

}  // namespace

TEST_CASE("first_run_saves_every_value_with_its_type") {
    Fixture f;
    CHECK_FALSE(loadSettings(nullptr));   // no key yet: every default stays
    CHECK(g_settings.firstRun);
    wchar_t user[kUserNameCapacity];
    DWORD userLength = copyUserName(user, kUserNameCapacity);
    CHECK(userLength > 0);
    REQUIRE(saveSettings(nullptr, 1234, 5678));
    checkStored({
        {L"NotFirstRun", REG_NONE, {}},
        {L"RememberShare", REG_DWORD, dwordBytes(1)},
        {L"RememberConnections", REG_DWORD, dwordBytes(1)},
        {L"SharePort", REG_DWORD, dwordBytes(80)},
        {L"EnableUPnP", REG_DWORD, dwordBytes(1)},
        {L"DetectLocalIP", REG_DWORD, dwordBytes(1)},
        {L"LocalIPIndex", REG_DWORD, dwordBytes(0)},
        {L"AutoDetectAddress", REG_DWORD, dwordBytes(1)},
        {L"AutoUpdate", REG_DWORD, dwordBytes(1)},
        {L"ServerAddress", REG_SZ, textBytes(L"serveraddress")},
        {L"LocalAddress", REG_SZ, textBytes(L"")},
        {L"UserName", REG_SZ, textBytes(std::wstring(user, userLength))},
        {L"RequirePassword", REG_DWORD, dwordBytes(0)},
        {L"LoginUser", REG_SZ, {}},
        {L"LoginPassword", REG_SZ, {}},
        {L"SingleDirIsRoot", REG_DWORD, dwordBytes(1)},
        {L"UseIcons", REG_DWORD, dwordBytes(1)},
        {L"RememberStats", REG_DWORD, dwordBytes(1)},
        {L"SentBytes", REG_QWORD, qwordBytes(1234)},
        {L"ReceivedBytes", REG_QWORD, qwordBytes(5678)},
        {L"AllowUploads", REG_DWORD, dwordBytes(0)},
        {L"SWFUpload", REG_DWORD, dwordBytes(1)},
        {L"MinimizeFunction", REG_DWORD, dwordBytes(2)},
        {L"UploadsDirectory", REG_SZ, textBytes(L"")},
    });
    CHECK_FALSE(readValue(L"ShareList").present);
    setDefaultSettings();
    CHECK(loadSettings(nullptr));
    CHECK_FALSE(g_settings.firstRun);
}

TEST_CASE("every_value_round_trips") {
    Fixture f;
    Settings& s = g_settings;
    s.rememberShare = false;
    s.rememberConnections = false;
    s.sharePort = 8080;
    s.enableUPnP = false;
    s.detectLocalIP = false;
    s.localIPIndex = 1000;
    s.autoDetectAddress = false;
    s.autoUpdate = false;
    wcscpy(s.serverAddress, L"share.example.org");
    setLocalAddress(L"192.168.1.20");
    setUserName(L"Ren\u00e9e \u65e5\u672c", 8);
    s.requirePassword = true;
    setLoginUser("ann", 3);
    setLoginPassword("s3cr\xe9t", 6);
    s.singleDirIsRoot = false;
    s.useIcons = false;
    s.allowUploads = true;
    s.swfUpload = false;
    s.minimizeFunction = 1;
    REQUIRE(setUploadsDirectory(L"C:\\Users\\x\\Wexa-Share Received", 30));
    REQUIRE(saveSettings(nullptr, 1ULL << 40, 7));
    checkStored({
        {L"SharePort", REG_DWORD, dwordBytes(8080)},
        {L"LocalIPIndex", REG_DWORD, dwordBytes(1000)},
        {L"UserName", REG_SZ, textBytes(L"Ren\u00e9e \u65e5\u672c")},
        {L"LoginUser", REG_SZ, rawBytes("ann")},
        {L"LoginPassword", REG_SZ, rawBytes("s3cr\xe9t")},
        {L"SentBytes", REG_QWORD, qwordBytes(1ULL << 40)},
        {L"MinimizeFunction", REG_DWORD, dwordBytes(1)},
        {L"UploadsDirectory", REG_SZ, textBytes(L"C:\\Users\\x\\Wexa-Share Received")},
    });

    setDefaultSettings();
    REQUIRE(loadSettings(nullptr));
    CHECK_FALSE(s.firstRun);
    CHECK_FALSE(s.rememberShare);
    CHECK_FALSE(s.rememberConnections);
    CHECK(s.sharePort == 8080);
    CHECK_FALSE(s.enableUPnP);
    CHECK_FALSE(s.detectLocalIP);
    CHECK(s.localIPIndex == 1000);
    CHECK_FALSE(s.autoDetectAddress);
    CHECK_FALSE(s.autoUpdate);
    CHECK(std::wstring(s.serverAddress) == L"share.example.org");
    wchar_t* local = getLocalAddressCopy();
    CHECK(std::wstring(local) == L"192.168.1.20");
    delete[] local;
    CHECK(std::wstring(s.userName) == L"Ren\u00e9e \u65e5\u672c");
    CHECK(s.requirePassword);
    CHECK(std::string(s.loginUser, s.loginUserLength) == "ann");
    CHECK(std::string(s.loginPassword, s.loginPasswordLength) == "s3cr\xe9t");
    CHECK_FALSE(s.singleDirIsRoot);
    CHECK_FALSE(s.useIcons);
    CHECK(s.rememberStats);
    CHECK(s.sentBytes == 1ULL << 40);
    CHECK(s.receivedBytes == 7);
    CHECK(s.allowUploads);
    CHECK_FALSE(s.swfUpload);
    CHECK(s.minimizeFunction == 1);
    DWORD length = 0;
    wchar_t* uploads = getUploadsDirectoryCopy(&length);
    CHECK(std::wstring(uploads, length) == L"C:\\Users\\x\\Wexa-Share Received");
    delete[] uploads;
    CHECK(checkLogin("ann", 3, "s3cr\xe9t", 6));
    CHECK_FALSE(checkLogin("Ann", 3, "s3cr\xe9t", 6));
}

TEST_CASE("out_of_range_and_malformed_values_load_as_the_rules_say") {
    Fixture f;
    writeDword(L"MinimizeFunction", 7);
    writeDword(L"LocalIPIndex", 5000);
    writeDword(L"SharePort", 0x10050);
    writeDword(L"UseIcons", 5);                         // any non-zero reads as on
    writeValue(L"AutoUpdate", REG_SZ, L"0", 4);         // wrong type keeps the default
    writeValue(L"LoginUser", REG_SZ, "bob\0tail", 8);   // length up to the first zero byte
    std::string longPassword(600, 'p');                 // too long: keeps the default
    writeValue(L"LoginPassword", REG_SZ, longPassword.data(), 600);
    std::wstring longAddress(600, L'a');
    writeValue(L"ServerAddress", REG_SZ, longAddress.c_str(), 1202);
    // Stored without a terminator.
    writeValue(L"UploadsDirectory", REG_SZ, L"D:\\in", 10);
    g_settings.useIcons = false;
    REQUIRE(loadSettings(nullptr));
    CHECK(g_settings.minimizeFunction == 2);
    CHECK(g_settings.localIPIndex == 0);
    CHECK(g_settings.sharePort == 0x50);
    CHECK(g_settings.useIcons);
    CHECK(g_settings.autoUpdate);
    CHECK(std::string(g_settings.loginUser, g_settings.loginUserLength) == "bob");
    CHECK(g_settings.loginPasswordLength == 0);
    CHECK(std::wstring(g_settings.serverAddress) == L"serveraddress");
    CHECK(std::wstring(g_settings.uploadsDirectory) == L"D:\\in");
    CHECK(g_settings.uploadsDirectoryLength == 5);
}

TEST_CASE("statistics_follow_remember_stats") {
    Fixture f;
    g_settings.rememberStats = false;
    REQUIRE(saveSettings(nullptr, 999, 888));
    CHECK(readValue(L"SentBytes").data == qwordBytes(0));
    CHECK(readValue(L"ReceivedBytes").data == qwordBytes(0));
    // Totals stored earlier are not read while RememberStats is off.
    ULONGLONG stored = 555;
    writeValue(L"SentBytes", REG_QWORD, &stored, 8);
    setDefaultSettings();
    REQUIRE(loadSettings(nullptr));
    CHECK_FALSE(g_settings.rememberStats);
    CHECK(g_settings.sentBytes == 0);
}

TEST_CASE("empty_login_user_accepts_any_user_with_the_password") {
    Fixture f;
    setRequirePassword(true);
    setLoginUser("", 0);
    setLoginPassword("pw", 2);
    CHECK(checkLogin("anyone", 6, "pw", 2));
    CHECK_FALSE(checkLogin("anyone", 6, "px", 2));
    std::string big(800, 'u');
    setLoginUser(big.data(), 800);
    CHECK(g_settings.loginUserLength == 500);
    CHECK(checkLogin(big.data(), 500, "pw", 2));
    CHECK_FALSE(checkLogin(big.data(), 800, "pw", 2));
}

TEST_CASE("share_list_written_and_restored") {
    Fixture f;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"wexa-settings-" + std::to_wstring(GetCurrentProcessId());
    std::wstring a = root + L"\\Alpha", b = root + L"\\beta.txt";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(a.c_str(), nullptr);
    HANDLE h = CreateFileW(b.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    CloseHandle(h);

    {
        FileHandler files(nullptr, programServerSettings());
        DWORD ida = files.addFile(b.c_str(), static_cast<DWORD>(b.size()), true);
        DWORD idb = files.addFile(a.c_str(), static_cast<DWORD>(a.size()), true);
        REQUIRE(ida);
        REQUIRE(idb);
        files.setSent(ida, 42);
        REQUIRE(saveFileList(nullptr, &files));
        // Sorted by name: Alpha/ before beta.txt.
        std::wstring expected = a + L'\0' + L"0" + L'\0' + b + L'\0' + L"42" + L'\0' + L'\0';
        Value v = readValue(L"ShareList");
        CHECK(v.type == REG_MULTI_SZ);
        CHECK(v.data == std::vector<BYTE>(reinterpret_cast<const BYTE*>(expected.data()),
                                          reinterpret_cast<const BYTE*>(expected.data()) +
                                              expected.size() * 2));
    }
    {
        FileHandler files(nullptr, programServerSettings());
        REQUIRE(loadFileList(nullptr, &files));
        REQUIRE(files.itemCount() == 2);
        SharedItem* first = files.getItemCopy(1);
        SharedItem* second = files.getItemCopy(2);
        REQUIRE(first);
        REQUIRE(second);
        CHECK(std::u16string(first->name) == u"Alpha/");
        CHECK(first->totalSent == 0);
        CHECK(std::u16string(second->name) == u"beta.txt");
        CHECK(second->totalSent == 42);
        delete first;
        delete second;
        // An empty share writes a value of size 0.
        files.removeAll();
        REQUIRE(saveFileList(nullptr, &files));
        Value v = readValue(L"ShareList");
        CHECK(v.present);
        CHECK(v.data.empty());
    }
    {
        // A list that does not end in two NULs restores nothing.
        std::wstring bad = a + L'\0' + L"5" + L'\0';
        writeValue(L"ShareList", REG_MULTI_SZ, bad.data(), static_cast<DWORD>(bad.size() * 2));
        FileHandler files(nullptr, programServerSettings());
        loadFileList(nullptr, &files);
        CHECK(files.itemCount() == 0);
    }
    DeleteFileW(b.c_str());
    RemoveDirectoryW(a.c_str());
    RemoveDirectoryW(root.c_str());
}

// Holds a log's lock from the test, to see which locks a caller holds when it logs.
struct LogLockProbe {
    static CRITICAL_SECTION& lock(Log& log) { return log.lock_; }
};

namespace {

DWORD WINAPI loadWith(void* log) {
    loadSettings(static_cast<Log*>(log));
    return 0;
}

DWORD WINAPI takeSettingsLock(void*) {
    lockSettings();
    unlockSettings();
    return 0;
}

}  // namespace

TEST_CASE("load_failures_are_logged_after_the_settings_lock_is_released") {
    Fixture f;
    std::wstring longAddress(600, L'a');
    writeValue(L"ServerAddress", REG_SZ, longAddress.c_str(), 1202);   // too long: a failed query
    // A log without its thread has no other user of its lock than the loader.
    Log log;
    CRITICAL_SECTION& logLock = LogLockProbe::lock(log);
    EnterCriticalSection(&logLock);
    const LONG heldAlone = logLock.LockCount;
    HANDLE loader = CreateThread(nullptr, 0, loadWith, &log, 0, nullptr);
    REQUIRE(loader);
    // The loader reaches its first report of the failure and waits for the log's lock.
    for (int i = 0; i < 2000 && logLock.LockCount == heldAlone; ++i)
        Sleep(5);
    CHECK(logLock.LockCount != heldAlone);
    // Meanwhile the settings lock must be free: no other lock is taken under it.
    HANDLE taker = CreateThread(nullptr, 0, takeSettingsLock, nullptr, 0, nullptr);
    REQUIRE(taker);
    DWORD waited = WaitForSingleObject(taker, 5000);
    LeaveCriticalSection(&logLock);
    CHECK(waited == WAIT_OBJECT_0);
    WaitForSingleObject(taker, INFINITE);
    WaitForSingleObject(loader, INFINITE);
    CloseHandle(taker);
    CloseHandle(loader);
    CHECK(std::wstring(g_settings.serverAddress) == L"serveraddress");
}
