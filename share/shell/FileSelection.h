// The open-file dialog's answer, read without the system: one chosen file comes back as its
// full path; several come back as the folder followed by each name, all NUL-separated and
// ended by an empty string. The reader never looks past the buffer it is given.
#pragma once
#include <cstddef>

class FileSelection {
public:
    // buffer holds units characters (the dialog's whole buffer).
    FileSelection(const char16_t* buffer, size_t units);

    // The next chosen file as a full path (new[], NUL-terminated; the caller frees it) and its
    // length; null when no file is left. Names are joined to the folder with one "\".
    char16_t* next(size_t* length);

private:
    // Length of the string at position, or npos when it has no terminator inside the buffer.
    size_t stringAt(size_t position) const;

    const char16_t* buffer_;
    size_t units_;
    size_t folderLength_ = 0;
    size_t position_ = 0;      // the next name
    bool single_ = false;      // one file: the first string is the whole path
    bool done_ = false;
};
