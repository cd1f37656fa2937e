// Fuzzes the streamed zip writer: the input describes a plan (names, folders, sizes, the ZIP64
// limits) and how the archive is pulled (produce capacities, data piece sizes). Whatever the
// pieces, the archive must have the planned length and the same bytes as one pulled in large
// pieces, and its end record must sit at its end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ZipStream.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint32_t next(uint32_t bound) {   // 0 .. bound - 1 (0 when the input is spent)
        uint32_t v = 0;
        for (int i = 0; i < 2 && at < size; ++i) v = v << 8 | data[at++];
        return bound ? v % bound : 0;
    }
};

struct Source {
    std::string name;
    bool folder;
    std::string data;
};

std::string pull(ZipPlan& plan, const std::vector<Source>& sources, Input* pieces) {
    ZipWriter writer(&plan);
    std::string out;
    std::vector<char> buffer(70000);
    for (int guard = 0; !writer.finished() && guard < 1000000; ++guard) {
        size_t capacity = pieces ? 1 + pieces->next(200) : buffer.size();
        uint64_t due = 0;
        size_t n = writer.produce(buffer.data(), capacity, &due);
        require(n <= capacity);
        out.append(buffer.data(), n);
        if (due) {
            const Source& s = sources[writer.currentEntry()];
            size_t from = static_cast<size_t>(writer.dataDone());
            require(from + due == s.data.size());
            size_t take = pieces ? 1 + pieces->next(300) : static_cast<size_t>(due);
            if (take > due) take = static_cast<size_t>(due);
            writer.consume(s.data.data() + from, take);
            out.append(s.data, from, take);
        } else if (n == 0) {
            break;
        }
    }
    require(writer.finished());
    require(writer.position() == out.size());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    bool lowered = in.next(2);
    uint64_t limit = lowered ? 1 + in.next(5000) : kZip64Limit;
    uint64_t countLimit = lowered ? 1 + in.next(10) : kZip64CountLimit;
    std::vector<Source> sources;
    size_t entries = in.next(20);
    for (size_t i = 0; i < entries; ++i) {
        Source s;
        size_t nameLength = 1 + in.next(40);
        for (size_t k = 0; k < nameLength; ++k) s.name += static_cast<char>(in.next(256));
        s.folder = in.next(4) == 0;
        if (!s.folder) s.data.assign(in.next(3000), static_cast<char>(i));
        sources.push_back(s);
    }
    ZipPlan whole(limit, countLimit), pieced(limit, countLimit);
    ZipTime t = zipTimeOf(in.next(65536) * 40000, in.next(65536) * 40000);
    for (const Source& s : sources) {
        require(whole.add(s.name.data(), s.name.size(), s.folder, s.data.size(), t));
        require(pieced.add(s.name.data(), s.name.size(), s.folder, s.data.size(), t));
    }
    std::string reference = pull(whole, sources, nullptr);
    require(reference.size() == whole.archiveSize());
    std::string other = pull(pieced, sources, &in);
    require(other == reference);
    require(reference.size() >= 22 && std::memcmp(reference.data() + reference.size() - 22, "PK\x05\x06", 4) == 0);
    return 0;
}
