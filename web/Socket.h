#pragma once
// One TCP connection for the HTTP client. Every wait (connect, receive,
// send) is bounded by a time-out and can be woken by Cancel from another
// thread; the socket itself is closed only by its owner, so a cancel never
// races a reuse of the descriptor.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class TSocket {
public:
    TSocket();
    ~TSocket();
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    // Resolves host and connects to the first address that answers within
    // timeoutMs in all. Throws EHttpConnectTimeout, or EHttpSocketError.
    void Connect(const std::string& host, int port, int32_t timeoutMs);
    // Up to count bytes; 0 when the peer closed in an orderly way. timeoutMs
    // 0 or less waits without limit. Throws EHttpReadTimeout, or
    // EHttpSocketError (reset, cancelled).
    int32_t Recv(char* buffer, int32_t count, int32_t timeoutMs);
    void SendAll(const char* data, size_t count, int32_t timeoutMs);
    void Close();  // owner only
    bool IsOpen() const;
    // Any thread: wakes every wait; later calls fail.
    void Cancel();
    bool Cancelled() const { return cancelled_; }

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
    std::atomic<bool> cancelled_{false};
};
