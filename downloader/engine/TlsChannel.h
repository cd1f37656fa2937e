// The client side of one TLS connection through the system's Schannel: the handshake, the check
// of the server's certificate against the system's roots and the host name, and the sealing and
// opening of records. It owns no socket: the request objects feed it what their overlapped
// receives bring and send what it gives them, on the worker that completes each receive.
#pragma once
#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>

#include <deque>
#include <string>

#include "DownloadMessages.h"

class Log;

class TlsChannel {
public:
    enum Step { StepContinue, StepReady, StepFailed };
    enum Read { ReadOk, ReadClosed, ReadFailed };

    // unit: the owner's log unit; every entry of the channel is logged under it.
    TlsChannel(Log* log, const wchar_t* unit);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // The first handshake message for host (its name goes out as the server name and is the
    // name the certificate must carry). *out stays valid as long as the channel. False: failed,
    // logged.
    bool start(const char* host, WSABUF* out);
    // Handshake bytes from the server. *out: what to send now (may be empty). StepReady: the
    // handshake is done and the certificate was accepted; StepFailed: see failure().
    Step handshake(const char* data, size_t length, WSABUF* out);
    bool ready() const { return ready_; }
    TlsFailure failure() const { return failure_; }
    // Ciphertext that came with the handshake's last message: the owner reads it before what
    // its next receive brings.
    std::string takeLeftover();

    // The gather list as records, in one buffer that stays valid as long as the channel.
    bool seal(const WSABUF* pieces, DWORD count, WSABUF* out);
    // Opens every complete record of data[0, length) in place: their plain text is moved to the
    // front, *plain bytes of it, and *used bytes of data were consumed (the rest is the start
    // of a record still arriving, to be kept in front of the next receive's bytes). ReadClosed:
    // the server ended the connection (after *plain bytes).
    Read open(char* data, size_t length, size_t* plain, size_t* used);

private:
    // One InitializeSecurityContextW round with input_ as the token; what it answers to send
    // is appended to *reply.
    SECURITY_STATUS step(std::string* reply);
    bool verifyServer();
    WSABUF keep(std::string&& bytes);

    Log* log_;
    const wchar_t* unit_;
    CredHandle credentials_ = {};
    CtxtHandle context_ = {};
    bool haveCredentials_ = false;
    bool haveContext_ = false;
    bool ready_ = false;
    TlsFailure failure_ = TlsFailure::None;
    std::wstring host_;
    std::string input_;   // handshake bytes not yet consumed
    SecPkgContext_StreamSizes sizes_ = {};
    // Every buffer handed out to be sent; a deque keeps them in place while it grows, and a
    // connection sends only a handful (handshake messages and its one request).
    std::deque<std::string> sent_;
};
