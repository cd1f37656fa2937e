// The log: a queue of fixed-size entries drained by one log thread, which formats each
// entry and, when the log has a file, appends it as UTF-16 text.
#include "Log.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

const DWORD kInitialCapacity = 10;
const size_t kLineLimit = 512;      // a formatted entry is cut to this many characters
const DWORD kDescriptionLimit = 256;

void copyCut(wchar_t* dest, size_t capacity, const wchar_t* src) {
    size_t n = 0;
    if (src) {
        while (n + 1 < capacity && src[n]) {
            dest[n] = src[n];
            ++n;
        }
    }
    dest[n] = 0;
}

}  // namespace

struct LogEntry {
    DWORD kind;
    LONG time;
    DWORD threadId;
    wchar_t unit[64];
    int line;
    wchar_t function[64];
    wchar_t text[256];
    DWORD code;
    bool hasCode;
};

Log::Log() {
    InitializeCriticalSection(&lock_);
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    frequency_ = value.QuadPart > 0 ? value.QuadPart : 1;
    QueryPerformanceCounter(&value);
    startCounter_ = value.QuadPart;
}

Log::~Log() {
    DeleteCriticalSection(&lock_);
}

bool Log::initLog(const wchar_t* fileName) {
    startSemaphore_ = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (!startSemaphore_)
        return false;
    wakeSemaphore_ = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (!wakeSemaphore_) {
        CloseHandle(startSemaphore_);
        startSemaphore_ = nullptr;
        return false;
    }
    if (fileName) {
        size_t length = wcsnlen(fileName, 32767);
        fileName_ = new wchar_t[length + 1];
        wmemcpy(fileName_, fileName, length);
        fileName_[length] = 0;
    }
    thread_ = CreateThread(nullptr, 0, threadProc, this, 0, nullptr);
    if (!thread_) {
        CloseHandle(wakeSemaphore_);
        wakeSemaphore_ = nullptr;
        CloseHandle(startSemaphore_);
        startSemaphore_ = nullptr;
        return false;
    }
    DWORD waited = WaitForSingleObject(startSemaphore_, INFINITE);
    CloseHandle(startSemaphore_);
    startSemaphore_ = nullptr;
    if (waited != WAIT_OBJECT_0) {
        CloseHandle(wakeSemaphore_);
        wakeSemaphore_ = nullptr;
        return false;
    }
    EnterCriticalSection(&lock_);
    running_ = true;
    LeaveCriticalSection(&lock_);
    info(L"Log", this, __LINE__, L"Log::initLog", L"Log inited");
    return true;
}

bool Log::destroyLog() {
    info(L"Log", this, __LINE__, L"Log::destroyLog", L"Closing log");
    LogEntry* stop = new LogEntry();
    stop->kind = KindStop;
    EnterCriticalSection(&lock_);
    closing_ = true;
    LeaveCriticalSection(&lock_);
    // The stop entry bypasses the closing check: it is the one entry allowed after it.
    if (!append(stop))
        delete stop;
    return true;
}

void Log::waitForEnd() {
    if (thread_) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (wakeSemaphore_) {
        CloseHandle(wakeSemaphore_);
        wakeSemaphore_ = nullptr;
    }
    delete[] fileName_;
    fileName_ = nullptr;
    for (DWORD i = 0; i < count_; ++i)
        delete queue_[i];
    delete[] queue_;
    queue_ = nullptr;
    count_ = capacity_ = 0;
}

bool Log::error(const wchar_t* unit, Log* log, int line, const wchar_t* function,
                const wchar_t* call, DWORD code) {
    return append(log, KindError, unit, line, function, call, code, true);
}

bool Log::errorText(const wchar_t* unit, Log* log, int line, const wchar_t* function,
                    const wchar_t* text) {
    return append(log, KindError, unit, line, function, text, 0, false);
}

bool Log::info(const wchar_t* unit, Log* log, int line, const wchar_t* function,
               const wchar_t* text) {
    return append(log, KindInfo, unit, line, function, text, 0, false);
}

bool Log::append(Log* log, DWORD kind, const wchar_t* unit, int line, const wchar_t* function,
                 const wchar_t* text, DWORD code, bool hasCode) {
    if (!log)
        return false;
    LogEntry* entry = new LogEntry();
    entry->kind = kind;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    entry->time = static_cast<LONG>((now.QuadPart - log->startCounter_) * 1000 / log->frequency_);
    entry->threadId = GetCurrentThreadId();
    copyCut(entry->unit, 64, unit);
    entry->line = line;
    copyCut(entry->function, 64, function);
    copyCut(entry->text, 256, text);
    entry->code = code;
    entry->hasCode = hasCode;

    EnterCriticalSection(&log->lock_);
    bool refused = log->closing_;
    LeaveCriticalSection(&log->lock_);
    if (refused || !log->append(entry)) {
        delete entry;
        return false;
    }
    return true;
}

bool Log::append(LogEntry* entry) {
    LogEntry** old = nullptr;
    EnterCriticalSection(&lock_);
    // Without a log thread nothing would ever drain the queue; entries after the stop entry
    // would never be written: refuse both (the stop entry itself is the one allowed after it).
    if (!running_ || (closing_ && entry->kind != KindStop)) {
        LeaveCriticalSection(&lock_);
        return false;
    }
    if (count_ == capacity_) {
        DWORD capacity = capacity_ ? capacity_ * 2 + 1 : kInitialCapacity;
        LogEntry** grown = new LogEntry*[capacity];
        if (count_)
            memcpy(grown, queue_, count_ * sizeof *queue_);
        old = queue_;
        queue_ = grown;
        capacity_ = capacity;
    }
    queue_[count_++] = entry;
    LeaveCriticalSection(&lock_);
    // Several appends may collapse into one wake-up: the thread drains the whole queue.
    if (wakeSemaphore_)
        ReleaseSemaphore(wakeSemaphore_, 1, nullptr);
    delete[] old;
    return true;
}

DWORD WINAPI Log::threadProc(void* param) {
    static_cast<Log*>(param)->run();
    return 0;
}

void Log::run() {
    ReleaseSemaphore(startSemaphore_, 1, nullptr);
    HANDLE file = INVALID_HANDLE_VALUE;
    if (fileName_) {
        file = CreateFileW(fileName_, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            static const unsigned char bom[2] = {0xFF, 0xFE};
            DWORD written;
            WriteFile(file, bom, sizeof bom, &written, nullptr);
        }
    }
    bool stopping = false;
    while (!stopping) {
        if (WaitForSingleObject(wakeSemaphore_, INFINITE) != WAIT_OBJECT_0)
            break;
        for (;;) {
            EnterCriticalSection(&lock_);
            LogEntry* entry = nullptr;
            if (count_) {
                entry = queue_[0];
                memmove(queue_, queue_ + 1, (count_ - 1) * sizeof *queue_);
                --count_;
            }
            LeaveCriticalSection(&lock_);
            if (!entry)
                break;
            if (entry->kind == KindStop)
                stopping = true;
            else
                writeEntry(file, *entry);
            delete entry;
        }
    }
    // Whatever ended the loop, nothing drains the queue from here on.
    EnterCriticalSection(&lock_);
    running_ = false;
    LeaveCriticalSection(&lock_);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

size_t formatLogLine(wchar_t* out, LONG time, DWORD threadId, bool isError, const wchar_t* unit, int line,
                     const wchar_t* function, const wchar_t* text, const DWORD* code, const wchar_t* description) {
    // Fields are cut to 63/63/255/256 characters, so 2048 always holds the whole line.
    wchar_t whole[2048];
    wchar_t mark = isError ? L'*' : L'|';
    int length;
    if (code) {
        length = _snwprintf(whole, 2047, L"%ld (%lu)\t%lc%ls: Line %d, %ls\r\n%ls: %lu - %ls\r\n\r\n",
                            static_cast<long>(time), static_cast<unsigned long>(threadId), mark, unit, line,
                            function, text, static_cast<unsigned long>(*code), description);
    } else {
        length = _snwprintf(whole, 2047, L"%ld (%lu)\t%lc%ls: Line %d, %ls\r\n%ls\r\n\r\n",
                            static_cast<long>(time), static_cast<unsigned long>(threadId), mark, unit, line,
                            function, text);
    }
    whole[2047] = 0;
    size_t n = length < 0 ? wcslen(whole) : static_cast<size_t>(length);
    if (n > kLineLimit)
        n = kLineLimit;
    wmemcpy(out, whole, n);
    out[n] = 0;
    return n;
}

void Log::writeEntry(HANDLE file, const LogEntry& entry) {
    wchar_t description[kDescriptionLimit + 1] = L"";
    if (entry.hasCode) {
        DWORD got = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   entry.code, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
                                   description, kDescriptionLimit, nullptr);
        if (!got)
            copyCut(description, kDescriptionLimit + 1, L"No error description");
    }
    wchar_t line[kLineLimit + 1];
    size_t length = formatLogLine(line, entry.time, entry.threadId, entry.kind == KindError, entry.unit,
                                  entry.line, entry.function, entry.text, entry.hasCode ? &entry.code : nullptr,
                                  description);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, line, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr);
    }
}
