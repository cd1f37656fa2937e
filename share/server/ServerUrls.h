// The addresses the share program shows and copies (the Internet, loopback and LAN URLs) and
// the port text of the Change Port dialog, as pure text functions. The Win32 side supplies
// the settings and the listener ports and puts the results on screen or the clipboard.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kUrlHostMaxUnits = 500;     // ServerAddress / LocalAddress as used in a URL
constexpr size_t kUrlPathMaxUnits = 32767;
constexpr uint16_t kDefaultHttpPort = 80;
constexpr size_t kPortTextMaxUnits = 9;      // what the Change Port dialog reads of its edit

extern const char16_t kLoopbackHost[];        // "127.0.0.1"
extern const char16_t kSendFileFormPath[];    // "send_file_form/"
extern const char16_t kSendFileSwfPath[];     // "send_file_swf/"

// The port written in the URLs: among the active ports (in the order they became active) 80
// when present, else the first; with none active the same rule over the configured ports;
// with neither, 80.
uint16_t urlPort(const uint16_t* active, size_t activeCount, const uint16_t* configured,
                 size_t configuredCount);

// "http://" + host + (":" + port unless it is 80) + "/" + path. host stops at its first NUL
// and at kUrlHostMaxUnits; path (null for none) is cut to kUrlPathMaxUnits. Returns a new[]
// NUL-terminated text (delete[]) and its length in *outLength when outLength is not null.
char16_t* makeUrl(const char16_t* host, size_t hostLength, uint16_t port, const char16_t* path,
                  size_t pathLength, size_t* outLength);

// The Change Port dialog's number: the first kPortTextMaxUnits units must all be digits and
// give 1..65535; anything else (empty, 0, too big, not a number) gives 0.
uint16_t portFromText(const char16_t* text, size_t length);

// The host of the LAN URL: of the host's IPv4 addresses (4 bytes each, in the host's order)
// the one with the best score wins, the first of equal scores: 192.168.x.x 3, other 192.x 1,
// 10.x and 172.16-31.x 2, anything else 0, plus 10 for the dotted text equal to current (the
// address chosen before). Returns the index, or -1 when there is no address.
int chooseLocalAddress(const uint8_t (*addresses)[4], size_t count, const char16_t* current,
                       size_t currentLength);
// "a.b.c.d"; out holds at least 16 units. Returns the length.
size_t formatDottedAddress(const uint8_t* address, char16_t* out, size_t capacity);
