// A folded header against the line limit, through a scripted connection, so
// that it runs natively and under Wine alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "web/HttpClient.h"

namespace {

// One answer made as it is read: a head, then a line repeated many times,
// then the rest; counts what was read. Only one connection is served.
class TRepeatingAnswer : public THttpConnection {
public:
    TRepeatingAnswer(std::string head, std::string line, size_t times, std::string tail, size_t* served)
        : head_(std::move(head)), line_(std::move(line)), times_(times), tail_(std::move(tail)), served_(served) {}
    void Connect(const std::string&, int, int32_t) override {
        if (connected_) throw EHttpSocketError("Connection refused");
        connected_ = true;
    }
    int32_t Recv(char* buffer, int32_t count, int32_t) override {
        while (pos_ == current_.size()) {
            if (part_ == 0) current_ = head_;
            else if (part_ <= times_) current_ = line_;
            else if (part_ == times_ + 1) current_ = tail_;
            else return 0;
            ++part_;
            pos_ = 0;
        }
        size_t n = std::min(static_cast<size_t>(count), current_.size() - pos_);
        std::copy(current_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  current_.begin() + static_cast<std::ptrdiff_t>(pos_ + n), buffer);
        pos_ += n;
        *served_ += n;
        return static_cast<int32_t>(n);
    }
    void SendAll(const char*, size_t, int32_t) override {}
    bool IsOpen() const override { return connected_; }
    void Cancel() override {}

private:
    std::string head_, line_;
    size_t times_;
    std::string tail_;
    size_t* served_;
    std::string current_;
    size_t part_ = 0, pos_ = 0;
    bool connected_ = false;
};

TEST(HttpHeaders, FoldedHeaderIsOneLineAgainstTheLimit) {
    // Every physical line is within the limits; folded together, 16 MB.
    const std::string commas = " " + std::string(16382, ',') + "\r\n";
    const std::string tail = "Location: /x\r\nContent-Length: 0\r\n\r\n";
    for (const char* name : {"Set-cookie2: a=1", "Location: /a", "X-Other: 1"}) {
        SCOPED_TRACE(name);
        size_t served = 0;
        TIdHTTP http;
        http.HandleRedirects = true;
        http.ConnectionFactory = [&] {
            return std::make_unique<TRepeatingAnswer>("HTTP/1.1 302 Found\r\n" + std::string(name) + "\r\n", commas,
                                                      998, tail, &served);
        };
        auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(http.Get("http://site/"), EHttpMaxLineLength);
        // Failed at the first continuation that overflows, not at the end.
        EXPECT_LT(served, 3 * commas.size());
        std::printf("%s: %zu bytes read, failed in %.3f s\n", name, served,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }

    // Folds within the limit are joined with one space.
    size_t served = 0;
    TIdHTTP http;
    http.ConnectionFactory = [&] {
        return std::make_unique<TRepeatingAnswer>("HTTP/1.1 200 OK\r\nX-Folded: a\r\n", " \tb \r\n", 3,
                                                  "Content-Length: 2\r\n\r\nhi", &served);
    };
    EXPECT_EQ(http.Get("http://site/"), "hi");
    EXPECT_EQ(http.Response.Header("X-Folded"), "a b b b");
}

}  // namespace
