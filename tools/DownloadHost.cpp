// The download engine without its window: restores the saved downloads as the program does,
// adds one download per URL on the command line, and reports every change on standard output.
// Tests, benchmarks and scripts drive it; all download logic lives in DownloadsList.
//
//   WexaDownloadHost.exe [--connections N] [--credentials USER:PASS] [--folder DIR]
//                        [--exit-when-done] [URL...]
// Standard output, one flushed line per change: "status ID TEXT", "complete ID LOCALPATH",
// "removed ID", and "objects N" for "count".
// Standard input: "pause ID", "resume ID", "connections ID N", "remove ID", "count", "quit"
// (saves the list and exits 0; end of input does the same). "objects" lists every live engine
// object ("object ID refs N [ready] [terminating] WHAT") before its "objects N" line.
// For tests only, from the environment: WEXA_DL_STALL_MS="TRANSFER,HEADER,DOWNLOAD" shortens the
// stall limits, and WEXA_DL_RETRY_MS runs the window program's retry of failed downloads at
// that period.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "DownloadMessages.h"
#include "DownloadsList.h"
#include "Log.h"
#include "ServerWithReg.h"

static const wchar_t kLogUnit[] = L"DownloadHost";

namespace {

const UINT WM_ENGINE_STOPPED = WM_USER + 5;
const UINT WM_HOST_COMMAND = WM_APP + 1;
const UINT_PTR kRetryTimer = 1002;

enum CommandKind { CommandQuit, CommandCount, CommandList, CommandPause, CommandResume, CommandConnections, CommandRemove };

struct HostCommand {
    CommandKind kind;
    DWORD id;
    int count;
};

Server* g_server = nullptr;
DownloadsList* g_list = nullptr;
bool g_exitWhenDone = false;
bool g_stopping = false;
int g_exitCode = 0;

void sayLine(const std::string& line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string utf8(const wchar_t* text) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1)
        return std::string();
    std::string out(needed, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], needed, nullptr, nullptr);
    out.resize(needed - 1);
    return out;
}

// Saves the list as at exit and stops the engine; the loop ends when it has stopped.
void finish(int code) {
    if (g_stopping)
        return;
    g_stopping = true;
    g_exitCode = code;
    g_list->saveDownloads();
    g_list->stopDispatch();
    g_server->terminateServer();
}

class HostObserver final : public DownloadsObserver {
public:
    void entryAdded(DownloadEntry*) override {}
    void statusChanged(DownloadEntry* entry) override {
        sayLine("status " + std::to_string(entry->id()) + " " + utf8(entry->status()));
    }
    void entryCompleted(DownloadEntry* entry) override {
        sayLine("complete " + std::to_string(entry->id()) + " " + utf8(entry->localPath().c_str()));
        if (g_exitWhenDone && g_list->allComplete())
            finish(0);
    }
    // Nobody is here to type a password: an entry that needs one stays failed.
    void entryFailed(DownloadEntry*) override {
        if (g_exitWhenDone)
            finish(1);
    }
    void credentialsNeeded(DownloadEntry*) override {}
    void entryRemoved(DWORD entryId) override {
        sayLine("removed " + std::to_string(entryId));
        if (g_exitWhenDone && g_list->allComplete())
            finish(0);
    }
};

void runCommand(const HostCommand& command) {
    switch (command.kind) {
    case CommandCount:
        sayLine("objects " + std::to_string(g_server->objectCount()));
        break;
    case CommandList: {
        std::string lines;
        g_server->listObjects(&lines);
        fputs(lines.c_str(), stdout);
        sayLine("objects " + std::to_string(g_server->objectCount()));
        break;
    }
    case CommandQuit:
        finish(0);
        break;
    case CommandPause:
        g_list->pause(command.id);
        break;
    case CommandResume:
        g_list->resume(command.id);
        break;
    case CommandConnections:
        g_list->setConnections(command.id, command.count);
        break;
    case CommandRemove:
        g_list->remove(command.id);
        break;
    }
}

LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_HOST_COMMAND) {
        HostCommand* command = reinterpret_cast<HostCommand*>(lParam);
        if (!g_stopping)
            runCommand(*command);
        delete command;
        return 0;
    }
    if (message == WM_ENGINE_STOPPED) {
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_TIMER && wParam == kRetryTimer) {
        if (g_list && !g_stopping)
            g_list->retryFailed();
        return 0;
    }
    if (g_list && g_list->handleMessage(message, wParam, lParam))
        return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

void post(HWND window, CommandKind kind, DWORD id = 0, int count = 0) {
    HostCommand* command = new HostCommand{kind, id, count};
    if (!PostMessageW(window, WM_HOST_COMMAND, 0, reinterpret_cast<LPARAM>(command)))
        delete command;
}

DWORD WINAPI readCommands(void* param) {
    HWND window = static_cast<HWND>(param);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        char word[32] = {};
        unsigned long id = 0;
        int count = 0;
        int fields = sscanf(line, "%31s %lu %d", word, &id, &count);
        if (fields < 1)
            continue;
        if (strcmp(word, "quit") == 0)
            break;
        if (strcmp(word, "count") == 0)
            post(window, CommandCount);
        else if (strcmp(word, "objects") == 0)
            post(window, CommandList);
        else if (strcmp(word, "pause") == 0 && fields >= 2)
            post(window, CommandPause, id);
        else if (strcmp(word, "resume") == 0 && fields >= 2)
            post(window, CommandResume, id);
        else if (strcmp(word, "remove") == 0 && fields >= 2)
            post(window, CommandRemove, id);
        else if (strcmp(word, "connections") == 0 && fields >= 3)
            post(window, CommandConnections, id, count);
    }
    post(window, CommandQuit);
    return 0;
}

std::string narrow(const wchar_t* text) {
    int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1)
        return std::string();
    std::string out(needed, '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], needed, nullptr, nullptr);
    out.resize(needed - 1);
    return out;
}

// Test knobs: a variable that is unset or malformed leaves the program's own values.
StallLimits stallLimitsFromEnvironment() {
    StallLimits limits;
    wchar_t text[64];
    DWORD length = GetEnvironmentVariableW(L"WEXA_DL_STALL_MS", text, 64);
    unsigned long transfer = 0, header = 0, download = 0;
    if (length > 0 && length < 64 && swscanf(text, L"%lu,%lu,%lu", &transfer, &header, &download) == 3 &&
        transfer && header && download) {
        limits.transfer = transfer;
        limits.header = header;
        limits.download = download;
    }
    return limits;
}

UINT retryPeriodFromEnvironment() {
    wchar_t text[32];
    DWORD length = GetEnvironmentVariableW(L"WEXA_DL_RETRY_MS", text, 32);
    return length > 0 && length < 32 ? static_cast<UINT>(_wtoi(text)) : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int connections = 1;
    std::string credentials;
    bool haveCredentials = false;
    std::wstring folder;
    std::vector<std::wstring> urls;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--connections" && i + 1 < argc) {
            connections = _wtoi(argv[++i]);
        } else if (arg == L"--credentials" && i + 1 < argc) {
            credentials = narrow(argv[++i]);
            haveCredentials = true;
        } else if (arg == L"--folder" && i + 1 < argc) {
            folder = argv[++i];
            while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
                folder.pop_back();
        } else if (arg == L"--exit-when-done") {
            g_exitWhenDone = true;
        } else {
            urls.push_back(arg);
        }
    }

    Log log;
    log.initLog(nullptr);
    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started) {
        LOG_ERROR(&log, L"wmain", L"WSAStartup", started);
        return 1;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = hostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"WexaDownloadHost";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
    if (!window) {
        DWORD error = GetLastError();
        LOG_ERROR(&log, L"wmain", L"CreateWindowEx", error);
        return 1;
    }
    g_server = new Server(&log, window, WM_ENGINE_STOPPED);
    if (!g_server->startServer()) {
        LOG_ERROR_TEXT(&log, L"wmain", L"startServer failed");
        return 1;
    }
    ReceivedCounter counter;
    HostObserver observer;
    g_list = new DownloadsList(&log, g_server, window, &observer, &counter, stallLimitsFromEnvironment());
    UINT retryPeriod = retryPeriodFromEnvironment();
    if (retryPeriod && !SetTimer(window, kRetryTimer, retryPeriod, nullptr)) {
        DWORD error = GetLastError();
        LOG_ERROR(&log, L"wmain", L"SetTimer", error);
    }
    if (folder.empty())
        loadDownloadFolder(&log, &folder);
    g_list->setFolder(folder);
    g_list->readDownloads();

    std::string user, password;
    if (haveCredentials) {
        size_t colon = credentials.find(':');
        user = credentials.substr(0, colon);
        password = colon == std::string::npos ? std::string() : credentials.substr(colon + 1);
    }
    for (const std::wstring& url : urls) {
        if (!g_list->addDownload(url.c_str(), url.size(), connections, haveCredentials ? user.c_str() : nullptr,
                                 password.c_str()))
            fprintf(stderr, "invalid URL %s\n", utf8(url.c_str()).c_str());
    }
    if (g_exitWhenDone && g_list->allComplete())
        finish(0);
    HANDLE reader = CreateThread(nullptr, 0, readCommands, window, 0, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);

    g_server->destroyServer();
    // Every write has completed now: the list saved again holds everything the files hold.
    g_list->saveDownloads(true);
    delete g_list;
    g_list = nullptr;
    WSACleanup();
    log.destroyLog();
    log.waitForEnd();
    if (reader)
        CloseHandle(reader);
    fflush(stdout);
    // The reader may still be blocked on standard input: leave without waiting for it.
    ExitProcess(g_exitCode);
}
