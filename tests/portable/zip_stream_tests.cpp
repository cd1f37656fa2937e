// The streamed zip archive: CRC-32 values, entry times, and archives read back by a small
// reader of the format written here from the format's rules (central directory, ZIP64 extra
// fields and end records, local headers, data descriptors).
#include <doctest.h>

#include <string>
#include <vector>

#include "ZipStream.h"

namespace {

uint64_t le(const std::string& z, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(z.at(at + i));
    return v;
}

struct ReadEntry {
    std::string name;
    uint16_t flags = 0;
    uint16_t version = 0;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t offset = 0;
    uint32_t attributes = 0;
    uint32_t unixTime = 0;
    bool zip64Extra = false;
    std::string data;
};

// Extra fields: the ZIP64 one fills the fields that read all ones, in the format's order.
void readExtras(const std::string& z, size_t at, size_t length, ReadEntry* e, bool sizeMarked,
                bool offsetMarked) {
    size_t end = at + length;
    while (at + 4 <= end) {
        uint64_t tag = le(z, at, 2), n = le(z, at + 2, 2);
        size_t p = at + 4;
        if (tag == 1) {
            e->zip64Extra = true;
            if (sizeMarked) {
                e->size = le(z, p, 8);
                CHECK(le(z, p + 8, 8) == e->size);
                p += 16;
            }
            if (offsetMarked)
                e->offset = le(z, p, 8);
        } else if (tag == 0x5455) {
            CHECK(n == 5);
            CHECK(z.at(p) == 1);
            e->unixTime = static_cast<uint32_t>(le(z, p + 1, 4));
        }
        at += 4 + n;
    }
    CHECK(at == end);
}

// Reads a whole archive; every check that fails is reported by doctest. *zip64End tells whether
// the ZIP64 end records were there.
std::vector<ReadEntry> readZip(const std::string& z, bool* zip64End) {
    std::vector<ReadEntry> entries;
    REQUIRE(z.size() >= 22);
    size_t eocd = z.size() - 22;
    REQUIRE(le(z, eocd, 4) == 0x06054b50);
    uint64_t count = le(z, eocd + 10, 2), cdSize = le(z, eocd + 12, 4), cdOffset = le(z, eocd + 16, 4);
    CHECK(le(z, eocd + 8, 2) == count);
    *zip64End = count == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF;
    if (*zip64End) {
        size_t locator = eocd - 20;
        REQUIRE(le(z, locator, 4) == 0x07064b50);
        CHECK(le(z, locator + 16, 4) == 1);
        size_t end64 = static_cast<size_t>(le(z, locator + 8, 8));
        CHECK(end64 + 56 == locator);
        REQUIRE(le(z, end64, 4) == 0x06064b50);
        CHECK(le(z, end64 + 4, 8) == 44);
        count = le(z, end64 + 32, 8);
        CHECK(le(z, end64 + 24, 8) == count);
        cdSize = le(z, end64 + 40, 8);
        cdOffset = le(z, end64 + 48, 8);
        CHECK(cdOffset + cdSize == end64);
    } else {
        CHECK(cdOffset + cdSize == eocd);
    }
    size_t at = static_cast<size_t>(cdOffset);
    for (uint64_t i = 0; i < count; ++i) {
        REQUIRE(le(z, at, 4) == 0x02014b50);
        ReadEntry e;
        e.version = static_cast<uint16_t>(le(z, at + 6, 2));
        e.flags = static_cast<uint16_t>(le(z, at + 8, 2));
        CHECK(le(z, at + 10, 2) == 0);   // stored
        e.crc = static_cast<uint32_t>(le(z, at + 16, 4));
        uint64_t compressed = le(z, at + 20, 4);
        e.size = le(z, at + 24, 4);
        CHECK(compressed == e.size);
        size_t n = static_cast<size_t>(le(z, at + 28, 2)), extra = static_cast<size_t>(le(z, at + 30, 2));
        CHECK(le(z, at + 32, 2) == 0);
        e.attributes = static_cast<uint32_t>(le(z, at + 38, 4));
        e.offset = le(z, at + 42, 4);
        e.name = z.substr(at + 46, n);
        readExtras(z, at + 46 + n, extra, &e, e.size == 0xFFFFFFFF, e.offset == 0xFFFFFFFF);
        at += 46 + n + extra;

        size_t local = static_cast<size_t>(e.offset);
        REQUIRE(le(z, local, 4) == 0x04034b50);
        CHECK(le(z, local + 4, 2) == e.version);
        CHECK(le(z, local + 6, 2) == e.flags);
        size_t ln = static_cast<size_t>(le(z, local + 26, 2)), lextra = static_cast<size_t>(le(z, local + 28, 2));
        CHECK(z.substr(local + 30, ln) == e.name);
        ReadEntry l;
        bool localMarked = le(z, local + 22, 4) == 0xFFFFFFFF;
        CHECK(le(z, local + 18, 4) == le(z, local + 22, 4));
        readExtras(z, local + 30 + ln, lextra, &l, localMarked, false);
        CHECK(l.unixTime == e.unixTime);
        size_t dataStart = local + 30 + ln + lextra;
        e.data = z.substr(dataStart, static_cast<size_t>(e.size));
        CHECK(crc32Update(0, e.data.data(), e.data.size()) == e.crc);
        if (e.flags & 8) {
            size_t d = dataStart + static_cast<size_t>(e.size);
            CHECK(le(z, d, 4) == 0x08074b50);
            CHECK(le(z, d + 4, 4) == e.crc);
            int width = localMarked ? 8 : 4;
            CHECK(le(z, d + 8, width) == e.size);
            CHECK(le(z, d + 8 + width, width) == e.size);
        } else {
            CHECK(le(z, local + 14, 4) == 0);   // no descriptor: empty, CRC 0
            CHECK(e.size == 0);
        }
        entries.push_back(e);
    }
    CHECK(at == cdOffset + cdSize);
    return entries;
}

struct Source {
    std::string name;
    bool folder;
    std::string data;
};

// Streams the archive of the sources with the given produce capacity and data chunk size.
std::string stream(ZipPlan& plan, const std::vector<Source>& sources, size_t capacity, size_t chunk) {
    ZipWriter writer(&plan);
    std::string out;
    std::vector<char> buffer(capacity);
    while (!writer.finished()) {
        uint64_t due = 0;
        size_t n = writer.produce(buffer.data(), capacity, &due);
        out.append(buffer.data(), n);
        if (due) {
            const Source& s = sources.at(writer.currentEntry());
            size_t from = static_cast<size_t>(writer.dataDone());
            size_t take = chunk < due ? chunk : static_cast<size_t>(due);
            CHECK(from + due == s.data.size());
            writer.consume(s.data.data() + from, take);
            out.append(s.data, from, take);
        } else if (n == 0) {
            CHECK(writer.finished());
            break;
        }
    }
    CHECK(writer.position() == out.size());
    return out;
}

std::vector<Source> sampleSources() {
    std::string big;
    for (int i = 0; i < 3000; ++i)
        big += static_cast<char>(i * 7 + i / 13);
    return {
        {"a.txt", false, "abc"},
        {"empty.bin", false, ""},
        {"sub/", true, ""},
        {"sub/\xD0\x9F\xD1\x80\xD0\xB8.txt", false, "hello\r\n"},
        {"sub/deeper/", true, ""},
        {"sub/deeper/big.dat", false, big},
        {"a &amp; <b>.html", false, "<html>"},
    };
}

void fill(ZipPlan& plan, const std::vector<Source>& sources) {
    ZipTime t = zipTimeOf(1600000000, 1600000000);
    for (const Source& s : sources)
        REQUIRE(plan.add(s.name.data(), s.name.size(), s.folder, s.data.size(), t));
}

}  // namespace

TEST_CASE("crc32_known_values_and_chaining") {
    CHECK(crc32Update(0, "", 0) == 0);
    CHECK(crc32Update(0, "a", 1) == 0xE8B7BE43u);
    CHECK(crc32Update(0, "123456789", 9) == 0xCBF43926u);
    CHECK(crc32Update(0, "The quick brown fox jumps over the lazy dog", 43) == 0x414FA339u);
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += static_cast<char>(i * 31 + 7);
    uint32_t whole = crc32Update(0, text.data(), text.size());
    for (size_t split : {0, 1, 7, 8, 9, 500, 999}) {
        uint32_t c = crc32Update(0, text.data(), split);
        CHECK(crc32Update(c, text.data() + split, text.size() - split) == whole);
    }
}

TEST_CASE("entry_times_in_dos_fields_clamped_to_their_range") {
    // 2020-09-13 12:26:40 UTC, shown two hours later on the local clock.
    ZipTime t = zipTimeOf(1600000000, 1600000000 + 7200);
    CHECK(t.unixTime == 1600000000u);
    CHECK(t.dosDate == ((2020 - 1980) << 9 | 9 << 5 | 13));
    CHECK(t.dosTime == (14 << 11 | 26 << 5 | 40 / 2));
    ZipTime early = zipTimeOf(-5, 100);   // before 1980: the DOS epoch, UTC seconds at 0
    CHECK(early.dosDate == (1 << 5 | 1));
    CHECK(early.dosTime == 0);
    CHECK(early.unixTime == 0);
    ZipTime late = zipTimeOf(int64_t(1) << 40, int64_t(1) << 40);
    CHECK(late.dosDate == ((2107 - 1980) << 9 | 12 << 5 | 31));
    CHECK(late.dosTime == (23 << 11 | 59 << 5 | 29));
    CHECK(late.unixTime == 0x7FFFFFFFu);
}

TEST_CASE("empty_folder_gives_the_end_record_alone") {
    ZipPlan plan;
    CHECK(plan.archiveSize() == 22);
    std::string z = stream(plan, {}, 4096, 4096);
    CHECK(z == std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    bool zip64 = true;
    CHECK(readZip(z, &zip64).empty());
    CHECK_FALSE(zip64);
}

TEST_CASE("archive_reads_back_whatever_the_pieces") {
    std::vector<Source> sources = sampleSources();
    std::string reference;
    for (size_t capacity : {1, 5, 64, 4096}) {
        for (size_t chunk : {1, 1000, 4096}) {
            ZipPlan plan;
            fill(plan, sources);
            std::string z = stream(plan, sources, capacity, chunk);
            CHECK(z.size() == plan.archiveSize());
            if (reference.empty())
                reference = z;
            CHECK(z == reference);
        }
    }
    bool zip64 = true;
    std::vector<ReadEntry> entries = readZip(reference, &zip64);
    CHECK_FALSE(zip64);
    REQUIRE(entries.size() == sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        const ReadEntry& e = entries[i];
        CAPTURE(sources[i].name);
        CHECK(e.name == sources[i].name);
        CHECK(e.data == sources[i].data);
        CHECK((e.flags & 0x0800) != 0);   // UTF-8 names
        CHECK((e.flags & 0x0008) == (sources[i].data.empty() ? 0 : 8));
        CHECK(e.version == 20);
        CHECK(e.attributes == (sources[i].folder ? 0x10u : 0u));
        CHECK(e.unixTime == 1600000000u);
        CHECK_FALSE(e.zip64Extra);
    }
}

TEST_CASE("zip64_forms_for_large_entries_offsets_and_counts") {
    // Limits lowered to 1000 bytes and 4 entries: big.dat (3000 bytes) is a large entry, every
    // entry after it starts past the limit, and the count needs the ZIP64 end records.
    std::vector<Source> sources = sampleSources();
    ZipPlan plan(1000, 4);
    fill(plan, sources);
    std::string z = stream(plan, sources, 333, 256);
    CHECK(z.size() == plan.archiveSize());
    bool zip64 = false;
    std::vector<ReadEntry> entries = readZip(z, &zip64);
    CHECK(zip64);
    REQUIRE(entries.size() == sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        CAPTURE(sources[i].name);
        CHECK(entries[i].data == sources[i].data);
        bool large = sources[i].data.size() >= 1000, far = entries[i].offset >= 1000;
        CHECK(entries[i].zip64Extra == (large || far));
        CHECK(entries[i].version == (large || far ? 45 : 20));
    }
    CHECK(entries[5].name == "sub/deeper/big.dat");
    CHECK(entries[6].offset > 3000);
    // The end record marks its overflowing fields.
    size_t eocd = z.size() - 22;
    CHECK(le(z, eocd + 10, 2) == 0xFFFF);
    CHECK(le(z, eocd + 16, 4) == 0xFFFFFFFF);
}

TEST_CASE("plan_refuses_names_it_cannot_hold") {
    ZipPlan plan;
    ZipTime t;
    CHECK_FALSE(plan.add("", 0, false, 1, t));
    std::string longest(kZipNameLimit, 'n');
    CHECK(plan.add(longest.data(), longest.size(), false, 1, t));
    CHECK_FALSE(plan.add(longest.data(), longest.size() + 1, false, 1, t));
    CHECK(plan.count() == 1);
    // A folder never carries data, whatever size it was given.
    CHECK(plan.add("d/", 2, true, 77, t));
    CHECK(plan.size(1) == 0);
}

TEST_CASE("download_name_of_the_archive") {
    struct Case {
        std::u16string name;
        std::string value;
    };
    const Case cases[] = {
        {u"Music", "attachment; filename=\"Music.zip\"; filename*=UTF-8''Music.zip"},
        {u"a \"b\"\\c", "attachment; filename=\"a _b__c.zip\"; filename*=UTF-8''a%20%22b%22%5Cc.zip"},
        {u"\u041F\u0440", "attachment; filename=\"__.zip\"; filename*=UTF-8''%D0%9F%D1%80.zip"},
        {u"x\U0001F600", "attachment; filename=\"x_.zip\"; filename*=UTF-8''x%F0%9F%98%80.zip"},
        {u"a;b,c", "attachment; filename=\"a;b,c.zip\"; filename*=UTF-8''a%3Bb%2Cc.zip"},
    };
    for (const Case& c : cases) {
        size_t n = zipDisposition(c.name.data(), c.name.size(), nullptr, 0);
        std::string out(n, '?');
        CHECK(zipDisposition(c.name.data(), c.name.size(), &out[0], n) == n);
        CHECK(out == c.value);
        CHECK(zipDisposition(c.name.data(), c.name.size(), &out[0], n - 1) == n);
    }
    // A long name with pairs across the converter's pieces keeps each pair whole.
    std::u16string longName;
    for (int i = 0; i < 50; ++i)
        longName += u"a\U0001F600";
    size_t n = zipDisposition(longName.data(), longName.size(), nullptr, 0);
    std::string out(n, '?');
    zipDisposition(longName.data(), longName.size(), &out[0], n);
    CHECK(out.find("%EF%BF%BD") == std::string::npos);
}

TEST_CASE("names_with_lone_surrogates_have_no_utf8_form") {
    CHECK_FALSE(hasLoneSurrogate(u"plain", 5));
    CHECK_FALSE(hasLoneSurrogate(u"x\U0001F600", 3));
    const char16_t high[] = {u'a', 0xD83D, u'b'};
    const char16_t low[] = {0xDE00, u'a'};
    const char16_t trailingHigh[] = {u'a', 0xD83D};
    CHECK(hasLoneSurrogate(high, 3));
    CHECK(hasLoneSurrogate(low, 2));
    CHECK(hasLoneSurrogate(trailingHigh, 2));
}
