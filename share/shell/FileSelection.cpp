// Splits the open-file dialog's answer into full paths (see FileSelection.h).
#include "FileSelection.h"

#include <cstring>

namespace {
const size_t kNoString = static_cast<size_t>(-1);
}

FileSelection::FileSelection(const char16_t* buffer, size_t units) : buffer_(buffer), units_(units) {
    folderLength_ = buffer ? stringAt(0) : kNoString;
    if (folderLength_ == kNoString || folderLength_ == 0) {
        done_ = true;
        return;
    }
    position_ = folderLength_ + 1;
    // No name after the first string (or no room for one): it is the one chosen file.
    single_ = position_ >= units_ || buffer_[position_] == 0;
}

size_t FileSelection::stringAt(size_t position) const {
    for (size_t i = position; i < units_; ++i)
        if (buffer_[i] == 0)
            return i - position;
    return kNoString;
}

char16_t* FileSelection::next(size_t* length) {
    *length = 0;
    if (done_)
        return nullptr;
    if (single_) {
        done_ = true;
        char16_t* path = new char16_t[folderLength_ + 1];
        memcpy(path, buffer_, folderLength_ * sizeof(char16_t));
        path[folderLength_] = 0;
        *length = folderLength_;
        return path;
    }
    size_t nameLength = position_ < units_ ? stringAt(position_) : kNoString;
    // An empty name ends the list; a name cut off by the end of the buffer is not a file.
    if (nameLength == kNoString || nameLength == 0) {
        done_ = true;
        return nullptr;
    }
    const char16_t* name = buffer_ + position_;
    position_ += nameLength + 1;
    // A drive root comes back as "C:\": its separator is already there.
    bool separator = buffer_[folderLength_ - 1] != u'\\';
    size_t total = folderLength_ + (separator ? 1 : 0) + nameLength;
    char16_t* path = new char16_t[total + 1];
    memcpy(path, buffer_, folderLength_ * sizeof(char16_t));
    size_t at = folderLength_;
    if (separator)
        path[at++] = u'\\';
    memcpy(path + at, name, nameLength * sizeof(char16_t));
    path[total] = 0;
    *length = total;
    return path;
}
