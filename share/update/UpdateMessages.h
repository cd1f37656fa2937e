// What the update requesters post to the Options tab's "Update" group: the messages and their
// heap records, whose ownership passes to the group (it frees them, and the poster frees them
// when the post fails).
#pragma once
#include <windows.h>

#include <cstdint>

constexpr UINT WM_UPDATE_CHECK_ENDED = WM_USER + 22;   // wParam = the requester's id
constexpr UINT WM_UPDATE_VERSION = WM_USER + 23;       // lParam = UpdateVersion (new)
constexpr UINT WM_UPDATE_DOWNLOAD_ENDED = WM_USER + 25;
constexpr UINT WM_UPDATE_FILE = WM_USER + 26;          // lParam = UpdateFile (new)

struct UpdateVersion {
    int32_t version;
};

// The installer, complete, with a verified signature of a version newer than this program.
// bytes: new[], freed with the record. The signature goes along so that the file written from
// these bytes can be checked again right before it is started.
struct UpdateFile {
    char* bytes;
    uint32_t length;
    int32_t version;   // the signed version
    uint8_t signature[64];
};
