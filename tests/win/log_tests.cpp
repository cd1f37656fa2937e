// The log's file format, byte for byte, and its closing rules.
#include <doctest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "Log.h"

namespace {

std::wstring tempLogPath(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId()) + L".txt";
}

std::string readBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "";
    std::string data(1 << 20, '\0');
    DWORD got = 0;
    ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &got, nullptr);
    CloseHandle(h);
    data.resize(got);
    return data;
}

std::wstring systemText(DWORD code) {
    wchar_t text[257];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), text, 256, nullptr);
    return n ? std::wstring(text, n) : L"No error description";
}

// Splits the file into entries after the byte-order mark and drops each entry's "<time> ("
// prefix, which depends on the clock. An entry starts at the start of the file or after a
// blank line, with "<digits> (<thread id>)\t".
std::vector<std::wstring> entries(const std::string& bytes) {
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    std::wstring tid = L" (" + std::to_wstring(GetCurrentThreadId()) + L")\t";
    std::vector<size_t> starts;
    for (size_t at = 0; at < text.size(); ++at) {
        if (at != 0 && (at < 4 || text.compare(at - 4, 4, L"\r\n\r\n") != 0))
            continue;
        size_t digits = at;
        while (digits < text.size() && iswdigit(text[digits]))
            ++digits;
        if (digits > at && text.compare(digits, tid.size(), tid) == 0)
            starts.push_back(at);
    }
    std::vector<std::wstring> out;
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        std::wstring entry = text.substr(starts[i], end - starts[i]);
        out.push_back(entry.substr(entry.find(L" (") + 2));
    }
    return out;
}

}  // namespace

TEST_CASE("file log: byte-order mark, both line formats, marks and the system text") {
    std::wstring path = tempLogPath(L"wexa-log-format-");
    Log log;
    REQUIRE(log.initLog(path.c_str()));
    CHECK(Log::error(L"UnitA", &log, 42, L"Class::method", L"WSARecv", ERROR_ACCESS_DENIED));
    CHECK(Log::errorText(L"UnitB", &log, 7, L"Other::thing", L"initObject failed"));
    CHECK(Log::info(L"UnitC", &log, 9, L"WinMain", L"Something happened"));
    CHECK(Log::error(L"UnitD", &log, 1, L"F", L"Call", 0));
    CHECK(Log::error(L"UnitE", &log, 2, L"G", L"Call", 0xE0FF1234));
    log.destroyLog();
    log.waitForEnd();

    std::string bytes = readBytes(path);
    DeleteFileW(path.c_str());
    REQUIRE(bytes.size() > 2);
    CHECK(static_cast<unsigned char>(bytes[0]) == 0xFF);
    CHECK(static_cast<unsigned char>(bytes[1]) == 0xFE);
    std::wstring tid = std::to_wstring(GetCurrentThreadId());
    std::vector<std::wstring> got = entries(bytes);
    REQUIRE(got.size() == 7);
    CHECK(got[0] == tid + L")\t|Log: Line " + got[0].substr(got[0].find(L"Line ") + 5, got[0].find(L',') - got[0].find(L"Line ") - 5) +
                        L", Log::initLog\r\nLog inited\r\n\r\n");
    CHECK(got[1] == tid + L")\t*UnitA: Line 42, Class::method\r\nWSARecv: 5 - " + systemText(5) + L"\r\n\r\n");
    CHECK(got[2] == tid + L")\t*UnitB: Line 7, Other::thing\r\ninitObject failed\r\n\r\n");
    CHECK(got[3] == tid + L")\t|UnitC: Line 9, WinMain\r\nSomething happened\r\n\r\n");
    CHECK(got[4] == tid + L")\t*UnitD: Line 1, F\r\nCall: 0 - " + systemText(0) + L"\r\n\r\n");
    CHECK(got[5] == tid + L")\t*UnitE: Line 2, G\r\nCall: 3774812724 - No error description\r\n\r\n");
    CHECK(got[6].find(L"Log::destroyLog\r\nClosing log\r\n\r\n") != std::wstring::npos);
}

TEST_CASE("file log: long names and texts are cut to their fields") {
    std::wstring path = tempLogPath(L"wexa-log-cuts-");
    Log log;
    REQUIRE(log.initLog(path.c_str()));
    std::wstring unit(100, L'u'), function(80, L'f'), text(300, L't');
    Log::errorText(unit.c_str(), &log, 3, function.c_str(), text.c_str());
    log.destroyLog();
    log.waitForEnd();
    std::string bytes = readBytes(path);
    DeleteFileW(path.c_str());
    std::wstring tid = std::to_wstring(GetCurrentThreadId());
    std::vector<std::wstring> got = entries(bytes);
    REQUIRE(got.size() == 3);
    CHECK(got[1] == tid + L")\t*" + std::wstring(63, L'u') + L": Line 3, " + std::wstring(63, L'f') + L"\r\n" +
                        std::wstring(255, L't') + L"\r\n\r\n");
}

TEST_CASE("a formatted line longer than 512 characters is cut to 512") {
    std::wstring unit(63, L'u'), function(63, L'f'), text(255, L't'), description(256, L'd');
    DWORD code = 1234;
    wchar_t line[513];
    size_t n = formatLogLine(line, 1500, 77, true, unit.c_str(), 3, function.c_str(), text.c_str(), &code,
                             description.c_str());
    std::wstring full = L"1500 (77)\t*" + unit + L": Line 3, " + function + L"\r\n" + text + L": 1234 - " +
                        description + L"\r\n\r\n";
    CHECK(n == 512);
    CHECK(std::wstring(line) == full.substr(0, 512));

    n = formatLogLine(line, -3, 77, false, L"U", 9, L"F", L"short", nullptr, L"");
    CHECK(std::wstring(line, n) == L"-3 (77)\t|U: Line 9, F\r\nshort\r\n\r\n");
}

TEST_CASE("entries after destroyLog are dropped; those before it are all written") {
    std::wstring path = tempLogPath(L"wexa-log-close-");
    Log log;
    REQUIRE(log.initLog(path.c_str()));
    for (int i = 0; i < 100; ++i)
        CHECK(Log::info(L"U", &log, i, L"F", (L"entry " + std::to_wstring(i)).c_str()));
    log.destroyLog();
    CHECK_FALSE(Log::info(L"U", &log, 1, L"F", L"too late"));
    CHECK_FALSE(Log::error(L"U", &log, 1, L"F", L"Late", 5));
    log.waitForEnd();
    std::string bytes = readBytes(path);
    DeleteFileW(path.c_str());
    std::vector<std::wstring> got = entries(bytes);
    REQUIRE(got.size() == 102);
    for (int i = 0; i < 100; ++i)
        CHECK(got[i + 1].find(L"\r\nentry " + std::to_wstring(i) + L"\r\n") != std::wstring::npos);
    CHECK(got[101].find(L"Closing log") != std::wstring::npos);
    std::wstring all(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    CHECK(all.find(L"too late") == std::wstring::npos);
}

TEST_CASE("without a file the log runs, accepts entries and writes nothing") {
    Log log;
    REQUIRE(log.initLog(nullptr));
    CHECK(Log::info(L"U", &log, 1, L"F", L"text"));
    CHECK(Log::error(L"U", &log, 1, L"F", L"Call", 5));
    log.destroyLog();
    log.waitForEnd();
    CHECK_FALSE(Log::info(L"U", nullptr, 1, L"F", L"no log"));
}

TEST_CASE("a log whose thread never started drops every entry") {
    // Nothing would ever drain its queue: every entry offered must be refused (and freed).
    Log log;
    for (int i = 0; i < 100; ++i) {
        CHECK_FALSE(Log::info(L"U", &log, i, L"F", L"text"));
        CHECK_FALSE(Log::error(L"U", &log, i, L"F", L"Call", 5));
    }
    CHECK(log.destroyLog());
    log.waitForEnd();
}
