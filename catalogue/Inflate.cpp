#include "catalogue/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

[[noreturn]] void InvalidOperation() { throw EDecompressionError("Invalid stream operation"); }

struct TInflateState {
    z_stream z{};
    bool open = false;
    ~TInflateState() {
        if (open) inflateEnd(&z);
    }
};

}  // namespace

int32_t TInflatedStream::Read(void* buffer, int32_t count) {
    char* out = static_cast<char*>(buffer);
    int32_t done = 0;
    while (done < count && pos_ < size_) {
        size_t chunk = static_cast<size_t>(pos_ / static_cast<int64_t>(kChunk));
        size_t offset = static_cast<size_t>(pos_ % static_cast<int64_t>(kChunk));
        int64_t n = std::min<int64_t>({count - done, static_cast<int64_t>(kChunk - offset), size_ - pos_});
        std::memcpy(out + done, chunks_[chunk].get() + offset, static_cast<size_t>(n));
        done += static_cast<int32_t>(n);
        pos_ += n;
    }
    return done;
}

int32_t TInflatedStream::Write(const void*, int32_t) { InvalidOperation(); }

void TInflatedStream::SetSize(int64_t) { InvalidOperation(); }

int64_t TInflatedStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t target = origin == TSeekOrigin::Begin ? offset
                     : origin == TSeekOrigin::Current ? pos_ + offset
                                                      : -1;
    if (origin == TSeekOrigin::End || target < pos_) InvalidOperation();
    pos_ = std::min(target, size_);
    return pos_;
}

TInflatedStream Inflate(const std::string& data, int64_t limit) {
    TInflatedStream out;
    TInflateState state;
    z_stream& z = state.z;
    if (inflateInit(&z) != Z_OK) throw EDecompressionError("Error");
    state.open = true;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data.data());
    size_t inLeft = data.size();
    size_t room = 0;  // free bytes at the end of the last chunk
    for (;;) {
        if (z.avail_in == 0 && inLeft > 0) {
            size_t n = std::min<size_t>(inLeft, UINT_MAX / 2);
            z.next_in = const_cast<unsigned char*>(in);
            z.avail_in = static_cast<uInt>(n);
            in += n;
            inLeft -= n;
        }
        if (room == 0) {
            out.chunks_.emplace_back(new char[TInflatedStream::kChunk]);
            room = TInflatedStream::kChunk;
        }
        // One byte more than the limit is allowed out, to tell "exactly the
        // limit" from "too large".
        int64_t allowed = std::min<int64_t>(static_cast<int64_t>(room), limit + 1 - out.size_);
        char* chunk = out.chunks_.back().get() + (TInflatedStream::kChunk - room);
        z.next_out = reinterpret_cast<unsigned char*>(chunk);
        z.avail_out = static_cast<uInt>(allowed);
        int rc = inflate(&z, Z_NO_FLUSH);
        int64_t produced = allowed - static_cast<int64_t>(z.avail_out);
        out.size_ += produced;
        room -= static_cast<size_t>(produced);
        if (out.size_ > limit) {
            throw EDecompressionError("The update catalogue is too large: it inflates to more than " +
                                      std::to_string(limit) + " bytes");
        }
        if (rc == Z_STREAM_END) break;
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0) break;  // cut short
        if (rc != Z_OK && rc != Z_BUF_ERROR) throw EDecompressionError("Error");
        if (rc == Z_OK && produced == 0 && z.avail_in == 0 && inLeft == 0) break;
    }
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
