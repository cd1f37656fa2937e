// DownloadEntry: the step machine of one download, its file, and its display figures.
#include "DownloadEntry.h"

#include <string.h>

#include "AddressResolver.h"
#include "DownloadMessages.h"
#include "DownloadUrl.h"
#include "DownloadsListCodec.h"
#include "FileDownloader.h"
#include "HeadFields.h"
#include "HeadRequester.h"
#include "Log.h"
#include "ResponseHeader.h"
#include "ServerWithReg.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"DownloadEntry";

const char kDownloaderAgent[] = "Wexa-Share Downloader/1.2.1";

namespace EntryStatus {
const wchar_t kIdle[] = L"Idle";
const wchar_t kResolving[] = L"Current Status: Resolving address";
const wchar_t kResolveStartFailed[] = L"Current Status: Failed to start address resolving";
const wchar_t kResolveFailed[] = L"Current Status: Failed to resolve address";
const wchar_t kResolved[] = L"Current Status: Address resolved";
const wchar_t kRequestingHeader[] = L"Current Status: Requesting header";
const wchar_t kHeaderStartFailed[] = L"Current Status: Failed to start header request";
const wchar_t kNoFileInfo[] = L"Current Status: Failed to get file-info from server";
const wchar_t kHeaderRead[] = L"Current Status: Header read";
const wchar_t kDownloading[] = L"Current Status: Downloading";
const wchar_t kDownloadingNoResume[] = L"Current Status: Downloading (Resume NOT supported)";
const wchar_t kOpenFailed[] = L"Current Status: Failed to open file";
const wchar_t kResumeOpenFailed[] = L"Current Status: Failed to open file to resume on";
const wchar_t kModified[] = L"Current Status: Error. The file on the server has been modified.";
const wchar_t kZeroSize[] = L"Current Status: Error, file-size is zero bytes";
const wchar_t kNotFound[] = L"Current Status: Error, file not found on server";
const wchar_t kPasswordProtected[] = L"Current Status: Error, server is password protected";
const wchar_t kMoved[] = L"Current Status: File has moved to another server location, retrying";
const wchar_t kMovedUnusable[] = L"Current Status: Error parsing referring URL, file has moved";
const wchar_t kInvalidHeader[] = L"Current Status: Server returned invalid or incompatible header";
const wchar_t kPaused[] = L"Current Status: Paused";
const wchar_t kSecureUntrusted[] = L"Current Status: Secure connection failed: certificate not trusted";
const wchar_t kSecureWrongName[] = L"Current Status: Secure connection failed: certificate is for another host";
const wchar_t kSecureExpired[] = L"Current Status: Secure connection failed: certificate expired or not yet valid";
const wchar_t kSecureFailed[] = L"Current Status: Secure connection failed";
const wchar_t kComplete[] = L"Current Status: Download complete";
const wchar_t kStalled[] = L"Current Status: Error, no data received from server";
const wchar_t kDiskFull[] = L"Current Status: Error, not enough disk space";
const wchar_t kTooManyMoves[] = L"Current Status: Error, too many redirects";
}  // namespace EntryStatus

using namespace EntryStatus;

namespace {

const char16_t* u16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

std::string base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

}  // namespace

DownloadEntry::DownloadEntry(const EntryContext& context, DWORD entryId)
    : log_(context.log),
      window_(context.window),
      server_(context.server),
      folder_(context.folder),
      listener_(context.listener),
      counter_(context.counter),
      status_(kIdle),
      id_(entryId) {
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&now);
    for (int i = 0; i < 8; ++i) {
        sampleTimes_[i] = now.QuadPart;
        sampleBytes_[i] = 0;
    }
    slots_.reserve(kMaxConnections);
}

DownloadEntry::~DownloadEntry() {
    if (deleteOnDestroy_ && !deleteFile())
        LOG_ERROR_TEXT(log_, L"DownloadEntry::~DownloadEntry", L"Failed to delete file");
    closeFile(L"DownloadEntry::~DownloadEntry");
}

void DownloadEntry::setStatus(const wchar_t* text) {
    status_ = text;
    if (listener_)
        listener_->entryStatusChanged(this);
}

bool DownloadEntry::parseUrl(const wchar_t* text, size_t length, bool takeName) {
    UrlParts parts;
    if (!splitDownloadUrl(u16(text), length, &parts))
        return false;
    host_.assign(text + parts.hostStart, parts.hostLength);
    // Every caller parses with the port at its default (a new entry, a changed URL, a moved
    // file), so a URL without a usable port takes its scheme's.
    secure_ = parts.secure;
    port_ = parts.portGiven ? parts.port : defaultPort(parts);
    path_.assign(text + parts.pathStart, length - parts.pathStart);
    if (takeName) {
        std::u16string name = urlFileName(u16(path_.c_str()), path_.size());
        useFolderName(std::wstring(wide(name.c_str()), name.size()));
    }
    return true;
}

void DownloadEntry::useFolderName(const std::wstring& name) {
    fileName_ = name;
    localPath_ = (folder_ ? *folder_ : std::wstring()) + L"\\" + name;
}

bool DownloadEntry::setUrl(const wchar_t* text, size_t length) {
    url_.assign(text, length);
    return parseUrl(text, length, true);
}

void DownloadEntry::setLocalPath(const wchar_t* text, size_t length, bool overwrite) {
    localPath_.assign(text, length);
    std::u16string name = localPathFileName(u16(localPath_.c_str()), localPath_.size());
    fileName_.assign(wide(name.c_str()), name.size());
    overwrite_ = overwrite;
}

bool DownloadEntry::restore(const DownloadRecord& record) {
    if (!setUrl(wide(record.url.c_str()), record.url.size()))
        return false;
    setLocalPath(wide(record.localPath.c_str()), record.localPath.size(), false);
    if (!record.ranges.empty())
        ranges_.replace(record.size, record.ranges.data(), record.ranges.size());
    size_ = ranges_.size();
    resumeFile_ = record.fileFlag;
    savedConnections_ = record.connections;
    credentials_ = record.credentials;
    credentialsHost_ = host_;
    credentialsPort_ = port_;
    credentialsSecure_ = secure_;
    return true;
}

void DownloadEntry::fillRecord(DownloadRecord* record) {
    record->localPath.assign(u16(localPath_.c_str()), localPath_.size());
    record->url.assign(u16(url_.c_str()), url_.size());
    record->fileFlag = fileOpen_ || resumeFile_;
    record->size = ranges_.size();
    record->connections = wanted_;
    // Credentials that belong to another server than the one a move led to are not kept: the
    // restored entry would take them for this one's.
    if (credentialsForHost())
        record->credentials = credentials_;
    record->ranges = ranges_.copyRanges();
    if (fileOpen_ && !flushed_.empty()) {
        // Missing is what is missing now or was at the last flush: a byte written since then may
        // not be on the disk yet, and the record must never claim it.
        std::vector<ByteRange> both = record->ranges;
        both.insert(both.end(), flushed_.begin(), flushed_.end());
        ByteRangeList merged;
        merged.replace(record->size, both.data(), both.size());
        record->ranges = merged.copyRanges();
    }
}

void DownloadEntry::flushForSave(DWORD now, bool force) {
    if (!fileOpen_)
        return;
    int64_t missing = ranges_.missingBytes();
    if (missing == flushedMissing_ || (!force && flushedOnce_ && now - lastFlush_ < kFlushMilliseconds))
        return;
    // The ranges are taken first: every write they count as done has completed before the flush.
    std::vector<ByteRange> snapshot = ranges_.copyRanges();
    lastFlush_ = now;
    flushedOnce_ = true;
    if (!FlushFileBuffers(file_)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"DownloadEntry::flushForSave", L"FlushFileBuffers", error);
        return;
    }
    flushed_.swap(snapshot);
    flushedMissing_ = missing;
    // An empty snapshot of a finished file still differs from "never flushed".
    if (flushed_.empty())
        flushed_.push_back(ByteRange{0, -1});
}

std::string DownloadEntry::hostText() {
    std::string out;
    if (host_.empty())
        return out;
    int needed = WideCharToMultiByte(CP_OEMCP, 0, host_.c_str(), static_cast<int>(host_.size()), nullptr, 0,
                                     nullptr, nullptr);
    if (needed > 0) {
        out.resize(needed);
        WideCharToMultiByte(CP_OEMCP, 0, host_.c_str(), static_cast<int>(host_.size()), &out[0], needed, nullptr,
                            nullptr);
    }
    return out;
}

bool DownloadEntry::doStep() {
    if (!resolved_) {
        std::string host = hostText();
        AddressResolver* resolver = new AddressResolver(server_, window_, id_, host.c_str());
        if (!server_->addObject(resolver)) {
            LOG_ERROR_TEXT(log_, L"DownloadEntry::doStep", L"addObject");
            delete resolver;
            setStatus(kResolveStartFailed);
            failDownload();
            return false;
        }
        resolving_ = true;
        setStatus(kResolving);
        return true;
    }
    if (!headerRead_) {
        std::string host = hostText();
        char* path = escapeForUrl(u16(path_.c_str()), path_.size(), nullptr);
        HeadRequester* requester = new HeadRequester(server_, window_, id_, address_, port_, path, host.c_str(),
                                                     credentialsForHost(), secure_);
        delete[] path;
        headerRequestId_ = requester->id();
        // Whatever an earlier request (a move) received, this one has received nothing yet.
        headerReceived_ = false;
        if (!server_->addObject(requester)) {
            LOG_ERROR_TEXT(log_, L"DownloadEntry::doStep", L"addObject");
            delete requester;
            setStatus(kHeaderStartFailed);
            failDownload();
            return false;
        }
        headerPending_ = true;
        headerStarted_ = GetTickCount();
        setStatus(kRequestingHeader);
        return true;
    }
    if (!fileOpen_) {
        if (!openFile()) {
            bool full = openError_ == ERROR_DISK_FULL || openError_ == ERROR_HANDLE_DISK_FULL;
            setStatus(resumeFile_ ? kResumeOpenFailed : full ? kDiskFull : kOpenFailed);
            failDownload();
            return false;
        }
        lastMissing_ = -1;
        // Nothing is written yet: what is missing now is on the disk as it is.
        flushed_ = ranges_.copyRanges();
        flushedMissing_ = ranges_.missingBytes();
        if (flushed_.empty())
            flushed_.push_back(ByteRange{0, -1});
        setStatus(resumable_ ? kDownloading : kDownloadingNoResume);
        return true;
    }
    if (recheck_) {
        // The server may be gone: the header request finds out, and fails the entry if so,
        // instead of starting connection after refused connection.
        if (!slots_.empty())
            return false;
        recheck_ = false;
        headerRead_ = false;
        headerReceived_ = false;
        return doStep();
    }
    addDownloaders();
    if (slots_.empty() && ranges_.isEmpty() && !complete_) {
        closeFile(L"DownloadEntry::doStep");
        complete_ = true;
        setStatus(kComplete);
    }
    return false;
}

bool DownloadEntry::handleAddress(DWORD address) {
    resolving_ = false;
    if (address == INADDR_NONE) {
        setStatus(kResolveFailed);
        stopped_ = true;
        error_ = true;
        terminateConnections();
        return false;
    }
    address_ = address;
    resolved_ = true;
    setStatus(kResolved);
    return true;
}

bool DownloadEntry::checkSize(int64_t length) {
    if (size_ > 0 && length != size_) {
        setStatus(kModified);
        failDownload();
        return false;
    }
    if (length <= 0) {
        setStatus(kZeroSize);
        failDownload();
        return false;
    }
    return true;
}

void DownloadEntry::failHeader() {
    stopped_ = true;
    error_ = true;
    terminateConnections();
}

bool DownloadEntry::handleHeader(const char* bytes, size_t length) {
    headerPending_ = false;
    if (!bytes) {
        if (!headerReceived_) {
            setStatus(kNoFileInfo);
            failDownload();
        }
        return false;
    }
    headerReceived_ = true;
    passwordNeeded_ = false;
    ResponseHeader head;
    parseResponseHeader(bytes, length, &head);
    bool accepted = false;
    bool result = false;
    int64_t contentLength = head.contentLengthFound ? head.contentLength : -1;
    if (head.version == kResponseVersion11 && head.status == kResponsePartial) {
        // The size is the Content-Range's total when there is one: a server may cap what it
        // sends for "bytes=0-", and its Content-Length is then only that part.
        std::string rangeText;
        ContentRange range;
        bool rangeGiven = headField(bytes, length, "content-range", &rangeText);
        bool hasRange = rangeGiven && parseContentRange(rangeText, &range);
        bool usableRange = hasRange && range.first == 0 && range.total > 0;
        // A 206 that gives exactly the whole file from byte 0 proves range support as well as
        // Accept-Ranges does (servers that leave that header out of their 206 answers).
        bool proves = usableRange && range.last == range.total - 1 && contentLength == range.total;
        if ((rangeGiven && !usableRange) || (!head.byteRanges && !proves)) {
            setStatus(kInvalidHeader);
            failHeader();
        } else if (checkSize(hasRange ? range.total : contentLength)) {
            size_ = hasRange ? range.total : contentLength;
            ranges_.setSize(size_);
            headerRead_ = true;
            resumable_ = true;
            setStatus(fileOpen_ ? kDownloading : kHeaderRead);
            accepted = true;
            moves_ = 0;
        }
    } else if (head.version == kResponseVersion11 && head.status == kResponseOk) {
        if (checkSize(contentLength)) {
            size_ = head.contentLength;
            ranges_.resetToWhole(size_);
            headerRead_ = true;
            resumable_ = false;
            setStatus(fileOpen_ ? kDownloadingNoResume : kHeaderRead);
            accepted = true;
            moves_ = 0;
        }
    } else if (head.version == kResponseVersion11 && head.status == kResponseNotFound) {
        setStatus(kNotFound);
        failHeader();
    } else if (head.version == kResponseVersion11 && head.status == kResponseAuthNeeded) {
        setStatus(kPasswordProtected);
        passwordNeeded_ = true;
        failHeader();
    } else if (isRedirectStatus(headStatusCode(bytes, length))) {
        result = followMove(bytes, length);
    } else {
        setStatus(kInvalidHeader);
        failHeader();
    }
    if (accepted) {
        // A server-suggested name, made safe: it can never leave the download folder.
        if (!fileOpen_ && !resumeFile_ && head.fileNameFound) {
            std::u16string name = safeDispositionName(head.fileName, head.fileNameLength);
            if (!name.empty()) {
                std::wstring confirmed = localPath_;
                useFolderName(std::wstring(wide(name.c_str()), name.size()));
                // The user agreed to replace the file chosen with Save As, not one of the
                // server's name: that one is numbered like any other existing file.
                if (overwrite_ && _wcsicmp(confirmed.c_str(), localPath_.c_str()) != 0)
                    overwrite_ = false;
            }
        }
        result = true;
    }
    freeResponseHeader(&head);
    return result;
}

bool DownloadEntry::followMove(const char* bytes, size_t length) {
    // A loop of moves would otherwise never end.
    if (++moves_ > kMaxMoves) {
        setStatus(kTooManyMoves);
        failHeader();
        return false;
    }
    setStatus(kMoved);
    resolved_ = false;
    headerRead_ = false;
    url_.clear();
    host_.clear();
    path_.clear();
    port_ = 80;
    address_ = INADDR_NONE;
    // The location up to the first ";", as the response parser reads it.
    std::string value;
    std::wstring location;
    if (headField(bytes, length, "location", &value)) {
        for (char c : value.substr(0, value.find(';')))
            location += static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    size_t decodedLength = 0;
    char16_t* decoded = location.empty() ? nullptr : decodeUrl(u16(location.c_str()), location.size(), &decodedLength);
    // A decoded CR or LF (or any control) would reach the request's Host line.
    bool clean = decoded != nullptr;
    for (size_t i = 0; clean && i < decodedLength; ++i)
        clean = decoded[i] >= 0x20 && decoded[i] != 0x7F;
    bool parsed = clean && parseUrl(wide(decoded), decodedLength, false);
    if (parsed) {
        url_.assign(wide(decoded), decodedLength);
    } else {
        setStatus(kMovedUnusable);
        failHeader();
    }
    delete[] decoded;
    return parsed;
}

const char* DownloadEntry::credentialsForHost() const {
    // A login given for one server is never sent to another that a move points at, nor in the
    // clear when it was given for a secure connection (or the other way round).
    if (credentials_.empty() || port_ != credentialsPort_ || secure_ != credentialsSecure_ ||
        _wcsicmp(host_.c_str(), credentialsHost_.c_str()) != 0)
        return nullptr;
    return credentials_.c_str();
}

void DownloadEntry::handleSecureFailure(TlsFailure why) {
    headerReceived_ = true;
    setStatus(why == TlsFailure::Untrusted   ? kSecureUntrusted
              : why == TlsFailure::WrongName ? kSecureWrongName
              : why == TlsFailure::Expired   ? kSecureExpired
                                             : kSecureFailed);
    failDownload();
}

bool DownloadEntry::openFile() {
    DWORD disposition = resumeFile_ ? OPEN_EXISTING : overwrite_ ? CREATE_ALWAYS : CREATE_NEW;
    std::wstring original = localPath_;
    bool originalOverwrite = overwrite_;
    openError_ = 0;
    for (int attempt = 0;; ++attempt) {
        HANDLE file = CreateFileW(localPath_.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                  FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            file_ = file;
            if (prepareFile()) {
                fileOpen_ = true;
                return true;
            }
            closeFile(L"DownloadEntry::openFile");
            // A file this attempt created goes again: each retry would otherwise leave one more.
            if (!resumeFile_ && !DeleteFileW(localPath_.c_str())) {
                DWORD error = GetLastError();
                LOG_ERROR(log_, L"DownloadEntry::openFile", L"DeleteFileW", error);
            }
            break;
        }
        DWORD error = GetLastError();
        bool taken = error == ERROR_FILE_EXISTS || error == ERROR_SHARING_VIOLATION;
        if (!taken || resumeFile_ || attempt == 9) {
            LOG_ERROR(log_, L"DownloadEntry::openFile", L"CreateFileW", error);
            openError_ = error;
            break;
        }
        std::u16string next = numberedPath(u16(original.c_str()), original.size(), attempt + 1);
        setLocalPath(wide(next.c_str()), next.size(), false);
        disposition = CREATE_NEW;
    }
    // The next try starts from the name the download had, not from the last one tried.
    setLocalPath(original.c_str(), original.size(), originalOverwrite);
    return false;
}

bool DownloadEntry::prepareFile() {
    if (!server_->associate(file_, L"DownloadEntry::openFile"))
        return false;
    // The file has its full length from the start.
    LARGE_INTEGER end;
    end.QuadPart = size_;
    if (!SetFilePointerEx(file_, end, nullptr, FILE_BEGIN)) {
        openError_ = GetLastError();
        LOG_ERROR(log_, L"DownloadEntry::openFile", L"SetFilePointerEx", openError_);
        return false;
    }
    if (!SetEndOfFile(file_)) {
        openError_ = GetLastError();
        LOG_ERROR(log_, L"DownloadEntry::openFile", L"SetEndOfFile", openError_);
        return false;
    }
    return true;
}

void DownloadEntry::closeFile(const wchar_t* function) {
    if (file_ == INVALID_HANDLE_VALUE)
        return;
    if (!CloseHandle(file_)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"CloseHandle", error);
    }
    file_ = INVALID_HANDLE_VALUE;
    fileOpen_ = false;
}

void DownloadEntry::addDownloaders() {
    if (stopped_ || removing_ || !fileOpen_ || recheck_)
        return;
    int allowed = wanted_ < cap_ ? wanted_ : cap_;
    while (slots_.empty() || (static_cast<int>(slots_.size()) < allowed && resumable_)) {
        ByteRange range = ranges_.pickRange();
        if (range.end < range.start)
            break;
        std::string host = hostText();
        char* path = escapeForUrl(u16(path_.c_str()), path_.size(), nullptr);
        FileDownloader* connection =
            new FileDownloader(server_, window_, id_, address_, port_, path, host.c_str(), file_, range.start,
                               range.end, &ranges_, credentialsForHost(), counter_, secure_);
        delete[] path;
        DWORD connectionId = connection->id();
        if (!server_->addObject(connection)) {
            LOG_ERROR_TEXT(log_, L"DownloadEntry::addDownloaders", L"addObject");
            delete connection;
            break;
        }
        slots_.push_back(
            ConnectionSlot{connectionId, range.start, range.end, range.start, false, TransferEnd::kRunning,
                           GetTickCount(), false});
    }
}

void DownloadEntry::addProgress(DWORD connectionId, int32_t bytes, TransferEnd end) {
    for (ConnectionSlot& slot : slots_) {
        if (slot.connectionId == connectionId) {
            slot.position += bytes;
            if (end != TransferEnd::kRunning)
                slot.end = end;
            if (bytes > 0)
                slot.lastMoved = GetTickCount();
            break;
        }
    }
    bytesReceived_ += bytes;
}

bool DownloadEntry::hasConnection(DWORD connectionId) const {
    for (const ConnectionSlot& slot : slots_) {
        if (slot.connectionId == connectionId)
            return true;
    }
    return false;
}

bool DownloadEntry::connectionEnded(DWORD connectionId) {
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].connectionId == connectionId) {
            ConnectionSlot slot = slots_[i];
            slots_.erase(slots_.begin() + i);
            if (!slot.asked && !stopped_ && !removing_)
                judgeEnd(slot);
            break;
        }
    }
    return removing_ && slots_.empty();
}

void DownloadEntry::judgeEnd(const ConnectionSlot& slot) {
    switch (slot.end) {
    case TransferEnd::kDiskFull:
        setStatus(kDiskFull);
        failDownload();
        return;
    case TransferEnd::kBadHead:
        setStatus(kInvalidHeader);
        failDownload();
        return;
    case TransferEnd::kWholeAnswer:
        // Ranges announced but not served on GET: more connections would each get the whole
        // file in turn, so the one from byte 0 is left to finish alone.
        if (resumable_) {
            resumable_ = false;
            setStatus(kDownloadingNoResume);
        }
        break;
    case TransferEnd::kBody:
        failedStreak_ = 0;
        if (cap_ < wanted_)
            ++cap_;
        break;
    default:
        // Refused, or nothing usable at all. With others still running the server is there and
        // serving: this one just ends, and the replacement starts at once the first time.
        if (!slots_.empty()) {
            if (++failedStreak_ >= 2)
                cap_ = static_cast<int>(slots_.size());
            return;
        }
        // Refused with nothing else running, and refused again after asking the server anew:
        // asking once more would only repeat it (the retry timer tries a resumable download
        // again later).
        if (slot.end == TransferEnd::kRefused && failedStreak_++ > 0) {
            setStatus(kInvalidHeader);
            failDownload();
            return;
        }
        // The server may be gone or changed: the header request finds out, and fails the
        // entry if so.
        recheck_ = true;
        return;
    }
    // Without ranges only a request from byte 0 can be used: start over.
    if (!resumable_ && slots_.empty() && !ranges_.isEmpty())
        ranges_.resetToWhole(size_);
}

void DownloadEntry::checkStalls(DWORD now, const StallLimits& limits) {
    if (stopped_ || removing_ || complete_)
        return;
    if (headerPending_ && now - headerStarted_ >= limits.header) {
        // Its end message then fails the entry as any request that got no head.
        headerPending_ = false;
        LOG_INFO(log_, L"DownloadEntry::checkStalls", L"no head within the time limit");
        server_->terminateObject(headerRequestId_);
    }
    for (ConnectionSlot& slot : slots_) {
        if (!slot.asked && !slot.timedOut && now - slot.lastMoved >= limits.transfer) {
            // Ended like a broken connection: what it did not write stays missing.
            slot.timedOut = true;
            server_->terminateObject(slot.connectionId);
        }
    }
    if (!fileOpen_)
        return;
    int64_t missing = ranges_.missingBytes();
    if (missing != lastMissing_) {
        lastMissing_ = missing;
        lastMoved_ = now;
    } else if (now - lastMoved_ >= limits.download) {
        // A failure like any other: the retry timer resumes it when the server can resume.
        setStatus(kStalled);
        failDownload();
    }
}

void DownloadEntry::terminateConnections() {
    for (ConnectionSlot& slot : slots_) {
        slot.asked = true;
        server_->terminateObject(slot.connectionId);
    }
}

void DownloadEntry::togglePause() {
    stopped_ = !stopped_;
    error_ = false;
    if (stopped_) {
        setStatus(kPaused);
        terminateConnections();
        return;
    }
    setStatus(kIdle);
    lastMissing_ = -1;
    moves_ = 0;
    failedStreak_ = 0;
    cap_ = kMaxConnections;
    resolved_ = false;
    headerReceived_ = false;
    headerRead_ = false;
    doStep();
}

void DownloadEntry::failDownload() {
    stopped_ = true;
    error_ = true;
    terminateConnections();
}

bool DownloadEntry::beginRemove(bool deleteFileOnDestroy) {
    removing_ = true;
    deleteOnDestroy_ = deleteFileOnDestroy;
    terminateConnections();
    return slots_.empty();
}

void DownloadEntry::setConnections(int count) {
    wanted_ = count < 1 ? 1 : count > kMaxConnections ? kMaxConnections : count;
    cap_ = kMaxConnections;
    failedStreak_ = 0;
    // The most recently started go first; their unfinished parts stay missing for the others.
    for (size_t i = wanted_; i < slots_.size(); ++i) {
        slots_[i].asked = true;
        server_->terminateObject(slots_[i].connectionId);
    }
    addDownloaders();
}

bool DownloadEntry::changeUrl(const wchar_t* text, size_t length) {
    url_.assign(text, length);
    UrlParts parts;
    if (!splitDownloadUrl(u16(text), length, &parts))
        return false;
    port_ = 80;
    return parseUrl(text, length, false);
}

void DownloadEntry::setCredentials(const char* user, const char* password) {
    std::string pair = std::string(user ? user : "") + ":" + (password ? password : "");
    credentials_ = base64(pair);
    credentialsHost_ = host_;
    credentialsPort_ = port_;
    credentialsSecure_ = secure_;
}

bool DownloadEntry::deleteFile() {
    if ((!fileOpen_ && !resumeFile_) || complete_)
        return false;
    closeFile(L"DownloadEntry::deleteFile");
    if (!DeleteFileW(localPath_.c_str())) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"DownloadEntry::deleteFile", L"DeleteFileW", error);
        return false;
    }
    return true;
}

int DownloadEntry::percentDone() {
    int64_t size = ranges_.size();
    if (size <= 0)
        return 0;
    int64_t percent = (size - ranges_.missingBytes()) * 100 / size;
    return percent < 0 ? 0 : percent > 100 ? 100 : static_cast<int>(percent);
}

int64_t DownloadEntry::bytesDone() {
    int64_t size = ranges_.size();
    return size > 0 ? size - ranges_.missingBytes() : 0;
}

const wchar_t* DownloadEntry::rateText() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (now.QuadPart - sampleTimes_[7] > frequency_.QuadPart) {
        LONGLONG elapsed = now.QuadPart - sampleTimes_[0];
        speed_ = elapsed > 0 ? (bytesReceived_ - sampleBytes_[0]) * frequency_.QuadPart / elapsed : 0;
        for (int i = 0; i < 7; ++i) {
            sampleTimes_[i] = sampleTimes_[i + 1];
            sampleBytes_[i] = sampleBytes_[i + 1];
        }
        sampleTimes_[7] = now.QuadPart;
        sampleBytes_[7] = bytesReceived_;
    }
    if (complete_) {
        copyBounded(reinterpret_cast<char16_t*>(rateText_), 64, u"<Completed>");
    } else if (stopped_) {
        copyBounded(reinterpret_cast<char16_t*>(rateText_), 64, u"<Paused>");
    } else {
        formatSize(speed_, reinterpret_cast<char16_t*>(rateText_), 62);
        appendBounded(reinterpret_cast<char16_t*>(rateText_), 64, u"/s");
    }
    return rateText_;
}

const wchar_t* DownloadEntry::timeRemainingText() {
    remainingText_[0] = 0;
    if (speed_ > 0 && !complete_ && !stopped_)
        formatDuration(ranges_.missingBytes() / speed_, reinterpret_cast<char16_t*>(remainingText_), 67);
    return remainingText_;
}
