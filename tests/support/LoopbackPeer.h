// Test support for code that talks to a peer over loopback: Winsock for the test's life, a
// listener on a free port, a peer that answers one request with scripted pieces, and a
// message-only window whose pump hands each message to the test.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

struct Winsock {
    Winsock();
    ~Winsock();
};

// A loopback listener on a free port; closing it leaves a port where nothing listens.
struct Listener {
    SOCKET socket = INVALID_SOCKET;
    WORD port = 0;
    Listener();
    ~Listener();
    void close();
};

// A loopback port where nothing listens.
WORD unusedPort();

// Reads from `client` until the request head's blank line, the peer's close or an error.
std::string readRequestHead(SOCKET client);

// Serves one connection: reads the request head, sends the pieces with `pauseMs` between
// them, closes. The request is kept for the test; join `thread` before reading it.
struct ScriptedPeer {
    Listener listener;
    std::string request;
    std::thread thread;
    explicit ScriptedPeer(std::vector<std::string> pieces, DWORD pauseMs = 50);
    ~ScriptedPeer();
};

// A message-only window for objects that post to it; onMessage sees each of its messages
// (and frees their records). A subclass that frees records calls pump() in its destructor.
class PumpedWindow {
public:
    HWND handle;
    PumpedWindow();
    virtual ~PumpedWindow();
    void pump();
    // Pumps until done() holds or about `milliseconds` have passed.
    template <class Done>
    bool waitFor(Done done, int milliseconds = 10000) {
        for (int waited = 0; waited < milliseconds; waited += 5) {
            pump();
            if (done())
                return true;
            Sleep(5);
        }
        return false;
    }

protected:
    virtual void onMessage(const MSG& msg) = 0;
};
