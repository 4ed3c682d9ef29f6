#include "catalogue/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

[[noreturn]] void InvalidOperation() { throw EDecompressionError("Invalid stream operation"); }

}  // namespace

struct TInflateStream::TState {
    z_stream z{};
    bool open = false;
    const unsigned char* in = nullptr;
    size_t inLeft = 0;
    ~TState() {
        if (open) inflateEnd(&z);
    }
};

TInflateStream::TInflateStream(const std::string& data, int64_t limit)
    : z_(new TState), limit_(limit), window_(new char[kWindow]) {
    if (inflateInit(&z_->z) == Z_OK)
        z_->open = true;
    else
        failure_ = "Error";
    z_->in = reinterpret_cast<const unsigned char*>(data.data());
    z_->inLeft = data.size();
}

TInflateStream::~TInflateStream() = default;

void TInflateStream::Refill() {
    windowPos_ = windowEnd_ = 0;
    if (!failure_.empty()) throw EDecompressionError(failure_);
    z_stream& z = z_->z;
    while (!ended_ && windowEnd_ == 0) {
        if (z.avail_in == 0 && z_->inLeft > 0) {
            size_t n = std::min<size_t>(z_->inLeft, UINT_MAX / 2);
            z.next_in = const_cast<unsigned char*>(z_->in);
            z.avail_in = static_cast<uInt>(n);
            z_->in += n;
            z_->inLeft -= n;
        }
        // One byte more than the limit is allowed out, to tell "exactly the
        // limit" from "too large".
        size_t room = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kWindow), limit_ + 1 - produced_));
        z.next_out = reinterpret_cast<unsigned char*>(window_.get());
        z.avail_out = static_cast<uInt>(room);
        int rc = inflate(&z, Z_NO_FLUSH);
        windowEnd_ = room - z.avail_out;
        produced_ += static_cast<int64_t>(windowEnd_);
        if (produced_ > limit_) {
            failure_ = "The update catalogue is too large: it inflates to more than " + std::to_string(limit_) + " bytes";
            throw EDecompressionError(failure_);
        }
        if (rc == Z_STREAM_END) {
            ended_ = true;
        } else if (rc == Z_BUF_ERROR || (rc == Z_OK && windowEnd_ == 0)) {
            if (z.avail_in == 0 && z_->inLeft == 0) ended_ = true;  // cut short
        } else if (rc != Z_OK) {
            failure_ = "Error";
            throw EDecompressionError(failure_);
        }
    }
}

int32_t TInflateStream::Read(void* buffer, int32_t count) {
    char* out = static_cast<char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        if (windowPos_ == windowEnd_) {
            if (ended_) break;
            Refill();
            if (windowEnd_ == 0) break;
        }
        size_t n = std::min(static_cast<size_t>(count - done), windowEnd_ - windowPos_);
        std::memcpy(out + done, window_.get() + windowPos_, n);
        windowPos_ += n;
        done += static_cast<int32_t>(n);
    }
    pos_ += done;
    return done;
}

int64_t TInflateStream::Finish() {
    while (!ended_) {
        pos_ += static_cast<int64_t>(windowEnd_ - windowPos_);
        Refill();
    }
    if (!failure_.empty()) throw EDecompressionError(failure_);
    return produced_;
}

int32_t TInflateStream::Write(const void*, int32_t) { InvalidOperation(); }

void TInflateStream::SetSize(int64_t) { InvalidOperation(); }

int64_t TInflateStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t target = origin == TSeekOrigin::Begin ? offset : pos_ + offset;
    if (origin == TSeekOrigin::End || target != pos_) InvalidOperation();
    return pos_;
}

std::string InflateAll(const std::string& data, int64_t limit) {
    TInflateStream s(data, limit);
    std::string out;
    char buf[16 * 1024];
    while (int32_t n = s.Read(buf, sizeof buf)) out.append(buf, static_cast<size_t>(n));
    s.Finish();
    return out;
}

std::string Deflate(const std::string& bytes, int level) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    int rc = compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                       reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()), level);
    if (rc != Z_OK) throw EError("Compression failed (zlib error " + std::to_string(rc) + ")");
    out.resize(size);
    return out;
}
