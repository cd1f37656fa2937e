// Loopback test support: see LoopbackPeer.h.
#include "LoopbackPeer.h"

Winsock::Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

Winsock::~Winsock() { WSACleanup(); }

Listener::Listener() {
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    listen(socket, 4);
}

void Listener::close() {
    if (socket != INVALID_SOCKET)
        closesocket(socket);
    socket = INVALID_SOCKET;
}

Listener::~Listener() { close(); }

WORD unusedPort() {
    Listener closed;
    closed.close();
    return closed.port;
}

std::string readRequestHead(SOCKET client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, n);
    }
    return request;
}

ScriptedPeer::ScriptedPeer(std::vector<std::string> pieces, DWORD pauseMs) {
    thread = std::thread([this, pieces, pauseMs] {
        SOCKET client = accept(listener.socket, nullptr, nullptr);
        request = readRequestHead(client);
        for (const std::string& piece : pieces) {
            send(client, piece.data(), static_cast<int>(piece.size()), 0);
            Sleep(pauseMs);
        }
        closesocket(client);
    });
}

ScriptedPeer::~ScriptedPeer() {
    if (thread.joinable())
        thread.join();
}

PumpedWindow::PumpedWindow()
    : handle(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}

PumpedWindow::~PumpedWindow() { DestroyWindow(handle); }

void PumpedWindow::pump() {
    MSG msg;
    while (PeekMessageW(&msg, handle, 0, 0, PM_REMOVE))
        onMessage(msg);
}
