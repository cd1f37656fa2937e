// The program's log: callers queue fixed-size entries and go on at once; a log thread
// formats them and, when a file name was given, appends them to a UTF-16 text file.
#pragma once
#include <windows.h>

struct LogEntry;

class Log {
public:
    Log();
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Starts the log thread; fileName null writes nothing (both programs run that way).
    bool initLog(const wchar_t* fileName);
    // Logs "Closing log", refuses later entries and tells the thread to stop after the
    // entries queued so far.
    bool destroyLog();
    // The shell's part after destroyLog: waits for the thread and frees everything left.
    void waitForEnd();

    // Each returns whether the entry was queued. log may be null (the entry is dropped).
    static bool error(const wchar_t* unit, Log* log, int line, const wchar_t* function,
                      const wchar_t* call, DWORD code);
    static bool errorText(const wchar_t* unit, Log* log, int line, const wchar_t* function,
                          const wchar_t* text);
    static bool info(const wchar_t* unit, Log* log, int line, const wchar_t* function,
                     const wchar_t* text);

private:
    friend struct LogLockProbe;   // tests hold the lock to check the order in which callers lock
    enum Kind : DWORD { KindError = 0, KindInfo = 1, KindStop = 2 };
    static bool append(Log* log, DWORD kind, const wchar_t* unit, int line,
                       const wchar_t* function, const wchar_t* text, DWORD code, bool hasCode);
    bool append(LogEntry* entry);
    static DWORD WINAPI threadProc(void* param);
    void run();
    void writeEntry(HANDLE file, const LogEntry& entry);

    wchar_t* fileName_ = nullptr;
    LogEntry** queue_ = nullptr;
    DWORD count_ = 0;
    DWORD capacity_ = 0;
    HANDLE startSemaphore_ = nullptr;
    HANDLE wakeSemaphore_ = nullptr;
    HANDLE thread_ = nullptr;
    CRITICAL_SECTION lock_;
    bool running_ = false;   // the log thread is there to drain the queue
    bool closing_ = false;
    LONGLONG frequency_ = 0;
    LONGLONG startCounter_ = 0;
};

// Formats one entry exactly as the log file holds it, cut to 512 characters; out holds 513.
// code is null for entries without an error code.
size_t formatLogLine(wchar_t* out, LONG time, DWORD threadId, bool isError, const wchar_t* unit, int line,
                     const wchar_t* function, const wchar_t* text, const DWORD* code, const wchar_t* description);

// Each unit defines `static const wchar_t kLogUnit[] = L"UnitName";` and logs in one line:
//   LOG_ERROR(log_, L"HTTPConnection::sendFile", L"WSASend", err);
#define LOG_ERROR(log, function, call, code) Log::error(kLogUnit, (log), __LINE__, (function), (call), (code))
#define LOG_ERROR_TEXT(log, function, text) Log::errorText(kLogUnit, (log), __LINE__, (function), (text))
#define LOG_INFO(log, function, text) Log::info(kLogUnit, (log), __LINE__, (function), (text))
