#pragma once
// THttpConnection: the one TCP connection the HTTP client talks through. The
// real one wraps TSocket; tests and the fuzz target put a scripted one in its
// place, so the response handling runs without a network.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class THttpConnection {
public:
    virtual ~THttpConnection() = default;
    // Throws EHttpConnectTimeout, or EHttpSocketError.
    virtual void Connect(const std::string& host, int port, int32_t timeoutMs) = 0;
    // Up to count bytes; 0 when the peer closed in an orderly way. timeoutMs
    // 0 or less waits without limit. Throws EHttpReadTimeout, or
    // EHttpSocketError (reset, cancelled).
    virtual int32_t Recv(char* buffer, int32_t count, int32_t timeoutMs) = 0;
    virtual void SendAll(const char* data, size_t count, int32_t timeoutMs) = 0;
    virtual bool IsOpen() const = 0;
    // Any thread: wakes every wait; later calls fail.
    virtual void Cancel() = 0;
};

// A connection over a real socket (TSocket).
std::unique_ptr<THttpConnection> MakeSocketConnection();
