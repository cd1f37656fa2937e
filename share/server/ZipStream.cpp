// The streamed zip archive: CRC-32, entry times, the plan and the writer (see ZipStream.h).
#include "ZipStream.h"

#include <cstring>
#include <new>

#include "TextHelpers.h"

namespace {

// Slicing by eight: one table lookup per byte of eight at a time, several times faster than
// the plain byte loop; the archive's whole data goes through here.
struct CrcTables {
    uint32_t t[8][256];
    constexpr CrcTables() : t() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i) {
            for (int s = 1; s < 8; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
        }
    }
};
constexpr CrcTables kCrc;

const uint32_t kLocalSignature = 0x04034b50;
const uint32_t kDescriptorSignature = 0x08074b50;
const uint32_t kCentralSignature = 0x02014b50;
const uint32_t kZip64EndSignature = 0x06064b50;
const uint32_t kZip64LocatorSignature = 0x07064b50;
const uint32_t kEndSignature = 0x06054b50;
const uint16_t kVersionDefault = 20;     // folders and data descriptors
const uint16_t kVersionZip64 = 45;
const uint16_t kMadeBy = kVersionZip64;  // host 0: the attributes are the system's own
const uint16_t kFlagDescriptor = 0x0008;
const uint16_t kFlagUtf8 = 0x0800;
const uint16_t kExtraZip64 = 0x0001;
const uint16_t kExtraTime = 0x5455;
const uint32_t kAttributeFolder = 0x10;
const uint64_t kLocalFixed = 30;
const uint64_t kCentralFixed = 46;
const uint64_t kTimeExtra = 9;           // tag, length, flags, modification time
const uint64_t kZip64EndLength = 56;
const uint64_t kZip64LocatorLength = 20;
const uint64_t kEndLength = 22;

// Writes the part of a record that falls into the caller's window: the record's bytes from
// `skip` on, as many as capacity takes. Each record is generated again from its start on
// every call, so no partial record is ever kept.
struct Window {
    char* out;
    size_t capacity;
    uint64_t skip;
    uint64_t at = 0;       // position within the record
    size_t written = 0;

    void put(const void* data, size_t length) {
        const char* bytes = static_cast<const char*>(data);
        uint64_t end = at + length;
        if (end > skip && written < capacity) {
            uint64_t from = at < skip ? skip - at : 0;
            size_t n = static_cast<size_t>(length - from);
            if (n > capacity - written)
                n = capacity - written;
            memcpy(out + written, bytes + from, n);
            written += n;
        }
        at = end;
    }
    void u16(uint64_t v) {
        unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
        put(b, 2);
    }
    void u32(uint64_t v) {
        unsigned char b[4];
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<unsigned char>(v >> (8 * i));
        put(b, 4);
    }
    void u64(uint64_t v) {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i)
            b[i] = static_cast<unsigned char>(v >> (8 * i));
        put(b, 8);
    }
};

uint64_t clamp32(uint64_t value, uint64_t limit) {
    return value >= limit ? 0xFFFFFFFF : value;
}

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = ~crc;
    while (length >= 8) {
        uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        c = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^
            kCrc.t[4][lo >> 24] ^ kCrc.t[3][p[4]] ^ kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^ kCrc.t[0][p[7]];
        p += 8;
        length -= 8;
    }
    while (length--)
        c = kCrc.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

ZipTime zipTimeOf(int64_t utcSeconds, int64_t localSeconds) {
    ZipTime t;
    t.unixTime = static_cast<uint32_t>(utcSeconds < 0 ? 0 : utcSeconds > 0x7FFFFFFF ? 0x7FFFFFFF : utcSeconds);
    CalendarTime c = calendarFromUnixTime(localSeconds);
    if (c.year < 1980)
        return t;   // the DOS epoch
    if (c.year > 2107)
        c = CalendarTime{2107, 12, 0, 31, 23, 59, 59};
    t.dosDate = static_cast<uint16_t>((c.year - 1980) << 9 | c.month << 5 | c.day);
    t.dosTime = static_cast<uint16_t>(c.hour << 11 | c.minute << 5 | c.second / 2);
    return t;
}

// ---- Plan ---------------------------------------------------------------------------------

ZipPlan::ZipPlan(uint64_t zip64Limit, uint64_t countLimit) : zip64Limit_(zip64Limit), countLimit_(countLimit) {}

ZipPlan::~ZipPlan() {
    delete[] records_;
    delete[] names_;
}

bool ZipPlan::add(const char* name, size_t nameLength, bool folder, uint64_t size, const ZipTime& time) {
    if (nameLength == 0 || nameLength > kZipNameLimit)
        return false;
    if (count_ == capacity_) {
        size_t grown = capacity_ * 2 + 64;
        Record* bigger = new (std::nothrow) Record[grown];
        if (!bigger)
            return false;
        if (count_)
            memcpy(bigger, records_, count_ * sizeof *records_);
        delete[] records_;
        records_ = bigger;
        capacity_ = grown;
    }
    if (namesCapacity_ - namesUsed_ < nameLength) {
        size_t grown = namesCapacity_ * 2 + nameLength + 4096;
        char* bigger = new (std::nothrow) char[grown];
        if (!bigger)
            return false;
        if (namesUsed_)
            memcpy(bigger, names_, namesUsed_);
        delete[] names_;
        names_ = bigger;
        namesCapacity_ = grown;
    }
    memcpy(names_ + namesUsed_, name, nameLength);
    Record& r = records_[count_++];
    r.size = folder ? 0 : size;
    r.offset = 0;
    r.nameStart = namesUsed_;
    r.nameLength = static_cast<uint16_t>(nameLength);
    r.dosTime = time.dosTime;
    r.dosDate = time.dosDate;
    r.folder = folder;
    r.unixTime = time.unixTime;
    r.crc = 0;
    namesUsed_ += nameLength;
    return true;
}

const char* ZipPlan::name(size_t index, size_t* length) const {
    *length = records_[index].nameLength;
    return names_ + records_[index].nameStart;
}

bool ZipPlan::folder(size_t index) const {
    return records_[index].folder;
}

uint64_t ZipPlan::size(size_t index) const {
    return records_[index].size;
}

size_t ZipPlan::bytesHeld() const {
    return capacity_ * sizeof(Record) + namesCapacity_;
}

uint64_t ZipPlan::localLength(const Record& r) const {
    return kLocalFixed + r.nameLength + (bigSize(r) ? 20 : 0) + kTimeExtra;
}

// Entries with data have their CRC and sizes after the data; empty ones carry them (all zero)
// in the local header and need no descriptor.
uint64_t ZipPlan::descriptorLength(const Record& r) const {
    return r.size == 0 ? 0 : bigSize(r) ? 24 : 16;
}

uint64_t ZipPlan::centralLength(const Record& r) const {
    uint64_t zip64 = (bigSize(r) ? 16 : 0) + (r.offset >= zip64Limit_ ? 8 : 0);
    return kCentralFixed + r.nameLength + (zip64 ? 4 + zip64 : 0) + kTimeExtra;
}

uint64_t ZipPlan::archiveSize() const {
    uint64_t at = 0, central = 0;
    for (size_t i = 0; i < count_; ++i) {
        Record r = records_[i];
        r.offset = at;
        at += localLength(r) + r.size + descriptorLength(r);
        central += centralLength(r);
    }
    uint64_t total = at + central + kEndLength;
    if (count_ >= countLimit_ || central >= zip64Limit_ || at >= zip64Limit_)
        total += kZip64EndLength + kZip64LocatorLength;
    return total;
}

// ---- Writer -------------------------------------------------------------------------------

ZipWriter::ZipWriter(ZipPlan* plan) : plan_(plan), phase_(Local) {
    if (!plan->count_)
        endCentral();
}

// After the last central record (or at once for an empty archive): the end records follow.
void ZipWriter::endCentral() {
    const ZipPlan& p = *plan_;
    entry_ = p.count_;
    uint64_t centralSize = position_ - centralStart_;
    bool zip64 = p.count_ >= p.countLimit_ || centralSize >= p.zip64Limit_ || centralStart_ >= p.zip64Limit_;
    zip64EndStart_ = position_;
    phase_ = zip64 ? Zip64End : End;
}

// Moves to the next record once the current one is complete.
void ZipWriter::advance() {
    recordSkip_ = 0;
    const ZipPlan& p = *plan_;
    switch (phase_) {
    case Local:
        dataDone_ = 0;
        crc_ = 0;
        phase_ = p.records_[entry_].size ? Data : Descriptor;
        if (phase_ == Descriptor)
            advance();   // an empty entry has no descriptor
        return;
    case Data:
        phase_ = Descriptor;
        return;
    case Descriptor:
        if (++entry_ < p.count_) {
            phase_ = Local;
        } else {
            entry_ = 0;
            phase_ = Central;
            centralStart_ = position_;
        }
        return;
    case Central:
        if (entry_ + 1 < p.count_) {
            ++entry_;
            return;
        }
        endCentral();
        return;
    case Zip64End:
        phase_ = Zip64Locator;
        return;
    case Zip64Locator:
        phase_ = End;
        return;
    case End:
    case Done:
        phase_ = Done;
        return;
    }
}

bool ZipWriter::emit(char* out, size_t capacity, size_t* written) {
    ZipPlan& p = *plan_;
    Window w{out, capacity, recordSkip_};
    uint64_t limit = p.zip64Limit_;
    switch (phase_) {
    case Local: {
        ZipPlan::Record& r = p.records_[entry_];
        if (recordSkip_ == 0)
            r.offset = position_;
        bool big = p.bigSize(r);
        w.u32(kLocalSignature);
        w.u16(p.usesZip64(r) ? kVersionZip64 : kVersionDefault);
        w.u16(kFlagUtf8 | (r.size ? kFlagDescriptor : 0));
        w.u16(0);   // stored
        w.u16(r.dosTime);
        w.u16(r.dosDate);
        w.u32(0);   // CRC and sizes: in the descriptor, or zero for an empty entry
        w.u32(big ? 0xFFFFFFFF : 0);
        w.u32(big ? 0xFFFFFFFF : 0);
        w.u16(r.nameLength);
        w.u16((big ? 20 : 0) + kTimeExtra);
        w.put(p.names_ + r.nameStart, r.nameLength);
        if (big) {
            w.u16(kExtraZip64);
            w.u16(16);
            w.u64(0);
            w.u64(0);
        }
        w.u16(kExtraTime);
        w.u16(5);
        w.put("\x01", 1);
        w.u32(r.unixTime);
        break;
    }
    case Descriptor: {
        const ZipPlan::Record& r = p.records_[entry_];
        w.u32(kDescriptorSignature);
        w.u32(r.crc);
        if (p.bigSize(r)) {
            w.u64(r.size);
            w.u64(r.size);
        } else {
            w.u32(r.size);
            w.u32(r.size);
        }
        break;
    }
    case Central: {
        const ZipPlan::Record& r = p.records_[entry_];
        bool big = p.bigSize(r);
        bool farOffset = r.offset >= limit;
        uint16_t zip64 = static_cast<uint16_t>((big ? 16 : 0) + (farOffset ? 8 : 0));
        w.u32(kCentralSignature);
        w.u16(kMadeBy);
        w.u16(p.usesZip64(r) ? kVersionZip64 : kVersionDefault);
        w.u16(kFlagUtf8 | (r.size ? kFlagDescriptor : 0));
        w.u16(0);
        w.u16(r.dosTime);
        w.u16(r.dosDate);
        w.u32(r.crc);
        w.u32(clamp32(r.size, limit));
        w.u32(clamp32(r.size, limit));
        w.u16(r.nameLength);
        w.u16((zip64 ? 4 + zip64 : 0) + kTimeExtra);
        w.u16(0);   // comment
        w.u16(0);   // disk
        w.u16(0);   // internal attributes
        w.u32(r.folder ? kAttributeFolder : 0);
        w.u32(clamp32(r.offset, limit));
        w.put(p.names_ + r.nameStart, r.nameLength);
        if (zip64) {
            w.u16(kExtraZip64);
            w.u16(zip64);
            if (big) {
                w.u64(r.size);
                w.u64(r.size);
            }
            if (farOffset)
                w.u64(r.offset);
        }
        w.u16(kExtraTime);
        w.u16(5);
        w.put("\x01", 1);
        w.u32(r.unixTime);
        break;
    }
    case Zip64End: {
        w.u32(kZip64EndSignature);
        w.u64(kZip64EndLength - 12);
        w.u16(kMadeBy);
        w.u16(kVersionZip64);
        w.u32(0);
        w.u32(0);
        w.u64(p.count_);
        w.u64(p.count_);
        w.u64(zip64EndStart_ - centralStart_);
        w.u64(centralStart_);
        break;
    }
    case Zip64Locator:
        w.u32(kZip64LocatorSignature);
        w.u32(0);
        w.u64(zip64EndStart_);
        w.u32(1);
        break;
    case End: {
        uint64_t count = p.count_ >= p.countLimit_ ? 0xFFFF : p.count_;
        w.u32(kEndSignature);
        w.u16(0);
        w.u16(0);
        w.u16(count);
        w.u16(count);
        w.u32(clamp32(zip64EndStart_ - centralStart_, limit));
        w.u32(clamp32(centralStart_, limit));
        w.u16(0);
        break;
    }
    case Data:
    case Done:
        break;
    }
    *written = w.written;
    recordSkip_ += w.written;
    position_ += w.written;
    return recordSkip_ >= w.at;
}

size_t ZipWriter::produce(char* out, size_t capacity, uint64_t* dataDue) {
    *dataDue = 0;
    size_t total = 0;
    while (phase_ != Done) {
        if (phase_ == Data) {
            uint64_t left = plan_->records_[entry_].size - dataDone_;
            if (left) {
                *dataDue = left;
                return total;
            }
            plan_->records_[entry_].crc = crc_;
            advance();
            continue;
        }
        if (total == capacity)
            return total;
        size_t written = 0;
        bool complete = emit(out + total, capacity - total, &written);
        total += written;
        if (!complete)
            return total;
        advance();
    }
    return total;
}

void ZipWriter::consume(const void* data, size_t length) {
    if (phase_ != Data)
        return;
    uint64_t left = plan_->records_[entry_].size - dataDone_;
    if (length > left)
        length = static_cast<size_t>(left);
    crc_ = crc32Update(crc_, data, length);
    dataDone_ += length;
    position_ += length;
}

// ---- Offering the archive -----------------------------------------------------------------

namespace {

// Writes the disposition value when out is not null (the caller has checked the room).
size_t writeDisposition(const char16_t* name, size_t length, char* out) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t pos = 0;
    auto put = [&](char c) {
        if (out)
            out[pos] = c;
        ++pos;
    };
    auto puts = [&](const char* s) {
        while (*s)
            put(*s++);
    };
    puts("attachment; filename=\"");
    for (size_t i = 0; i < length; ++i) {
        char16_t c = name[i];
        bool plain = c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\';
        put(plain ? static_cast<char>(c) : '_');
        // A surrogate pair is one character: one "_" for it.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000)
            ++i;
    }
    puts(".zip\"; filename*=UTF-8''");
    char utf8[4 * 64];
    for (size_t i = 0; i < length;) {
        size_t piece = length - i > 64 ? 64 : length - i;
        // A pair stays within one piece.
        if (piece == 64 && name[i + piece - 1] >= 0xD800 && name[i + piece - 1] < 0xDC00)
            --piece;
        size_t n = utf16ToUtf8(name + i, piece, utf8, sizeof utf8);
        for (size_t k = 0; k < n; ++k) {
            unsigned char b = static_cast<unsigned char>(utf8[k]);
            bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                         b == '.' || b == '-' || b == '_' || b == '~';
            if (plain) {
                put(static_cast<char>(b));
            } else {
                put('%');
                put(kHex[b >> 4]);
                put(kHex[b & 15]);
            }
        }
        i += piece;
    }
    puts(".zip");
    return pos;
}

}  // namespace

size_t zipDisposition(const char16_t* folderName, size_t length, char* out, size_t capacity) {
    size_t needed = writeDisposition(folderName, length, nullptr);
    if (out && needed <= capacity)
        writeDisposition(folderName, length, out);
    return needed;
}

bool hasLoneSurrogate(const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 1 >= length || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000)
                return true;
            ++i;
        } else if (c >= 0xDC00 && c < 0xE000) {
            return true;
        }
    }
    return false;
}
