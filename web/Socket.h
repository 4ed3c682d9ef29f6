#pragma once
// One TCP connection for the HTTP client. Every wait (connect, receive,
// send) is bounded by a time-out and can be woken by Cancel from another
// thread; the socket itself is closed only by its owner, so a cancel never
// races a reuse of the descriptor.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TSocket {
public:
    TSocket();
    // As if the wake-up channel could not be made (a security suite that
    // blocks the loopback bind): Cancel is then noticed by the waits' slices.
    struct TNoWake {};
    explicit TSocket(TNoWake);
    ~TSocket();
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    // Resolves host and connects to one of its addresses within timeoutMs in
    // all, the name lookup included (it runs on a helper thread, so Cancel
    // and the time-out end the wait for it): the next address is tried when the earlier ones have not answered
    // within 250 ms (or at once when they failed), the earlier attempts stay
    // open and the first to connect wins. Throws EHttpConnectTimeout, or
    // EHttpSocketError (host not found, every address failed, cancelled).
    void Connect(const std::string& host, int port, int32_t timeoutMs);
    // As Connect, with numeric addresses ("127.0.0.2", "::1") in place of the
    // resolver's answer.
    void ConnectAddresses(const std::vector<std::string>& addresses, int port, int32_t timeoutMs);
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
    // Tests: replaces the name lookup of Connect with one that answers
    // numeric addresses (a slow resolver where none can be preloaded). It
    // runs on the lookup's helper thread, which may outlive the socket.
    std::function<std::vector<std::string>(const std::string& host)> LookUpForTest;
    // Tests: the loopback UDP port of the wake-up socket (0: none, or the
    // wake-up is no socket, as on POSIX).
    int WakePortForTest() const;

private:
    // Windows: waits for an overlapped receive under way (timeoutMs as Recv).
    int32_t FinishRead(void* overlapped, int32_t timeoutMs);
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
    std::atomic<bool> cancelled_{false};
};
