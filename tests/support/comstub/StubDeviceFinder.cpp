// The device-finder stand-in: FindByType sends a real SSDP M-SEARCH for the type and collects the
// answers for a bounded time (finder_wait_ms in finder.txt, 3000 ms unless set); the collection
// holds one device per distinct answer (USN). Devices themselves are not served: the program only
// counts them.
#include "ComStub.h"
#include "StubInterfaces.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <set>

namespace {

class StubDevices : public StubObject<IUPnPDevices> {
public:
    explicit StubDevices(long count) : count_(count) {}

    HRESULT STDMETHODCALLTYPE get_Count(long* value) override {
        recordCall("Devices.get_Count -> %ld", count_);
        *value = count_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** value) override {
        *value = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_Item(BSTR, IDispatch** device) override {
        *device = nullptr;
        return E_NOTIMPL;
    }

private:
    long count_;
};

std::string headerValue(const std::string& answer, const char* name) {
    size_t length = strlen(name);
    size_t at = 0;
    while (at < answer.size()) {
        size_t end = answer.find("\r\n", at);
        if (end == std::string::npos)
            end = answer.size();
        if (end - at > length && answer[at + length] == ':' && _strnicmp(answer.c_str() + at, name, length) == 0) {
            size_t value = at + length + 1;
            while (value < end && answer[value] == ' ')
                ++value;
            return answer.substr(value, end - value);
        }
        at = end + 2;
    }
    return std::string();
}

// Number of distinct devices of `type` that answered within waitMs; -1 when no search could be sent.
long searchDevices(const std::string& type, int waitMs) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    long found = -1;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) {
        DWORD ttl = 2;
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);
        sockaddr_in group = {};
        group.sin_family = AF_INET;
        group.sin_port = htons(1900);
        group.sin_addr.s_addr = inet_addr("239.255.255.250");
        std::string request = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                              "MX: 2\r\nST: " + type + "\r\n\r\n";
        int sent = sendto(s, request.data(), static_cast<int>(request.size()), 0,
                          reinterpret_cast<const sockaddr*>(&group), sizeof group);
        if (sent == static_cast<int>(request.size())) {
            std::set<std::string> devices;
            DWORD deadline = GetTickCount() + waitMs;
            for (;;) {
                DWORD now = GetTickCount();
                if (static_cast<LONG>(deadline - now) <= 0)
                    break;
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(s, &readable);
                DWORD left = deadline - now;
                timeval wait = {static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
                if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
                    break;
                char buffer[2048];
                int got = recv(s, buffer, sizeof buffer - 1, 0);
                if (got <= 0)
                    continue;
                std::string answer(buffer, got);
                if (answer.compare(0, 12, "HTTP/1.1 200") == 0 && headerValue(answer, "ST") == type)
                    devices.insert(headerValue(answer, "USN"));
            }
            found = static_cast<long>(devices.size());
        }
        closesocket(s);
    }
    WSACleanup();
    return found;
}

class StubFinder : public StubObject<IUPnPDeviceFinder> {
public:
    HRESULT STDMETHODCALLTYPE FindByType(BSTR typeUri, DWORD flags, IUPnPDevices** devices) override {
        if (!devices)
            return E_POINTER;
        *devices = nullptr;
        std::string type = narrow(typeUri);
        int waitMs = stubSetting(readStubFile(L"finder.txt"), "finder_wait_ms", 3000);
        DWORD started = GetTickCount();
        long count = searchDevices(type, waitMs);
        recordCall("Finder.FindByType %s %lu -> %ld in %lu ms", type.c_str(), static_cast<unsigned long>(flags),
                   count, static_cast<unsigned long>(GetTickCount() - started));
        if (count < 0)
            return E_FAIL;
        *devices = new StubDevices(count);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateAsyncFind(BSTR, DWORD, IUnknown*, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartAsyncFind(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelAsyncFind(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindByUDN(BSTR, IDispatch** device) override {
        *device = nullptr;
        return E_NOTIMPL;
    }
};

}  // namespace

HRESULT createDeviceFinder(REFIID iid, void** out) {
    recordCall("Finder.create");
    StubFinder* finder = new StubFinder();
    HRESULT hr = finder->QueryInterface(iid, out);
    finder->Release();
    return hr;
}
