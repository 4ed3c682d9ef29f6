#include "catalogue/Inflate.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__SSE2__) || defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#define STIRPELLO_ADLER_SSE2 1
#endif

namespace {

[[noreturn]] void InvalidOperation() { throw EDecompressionError("Invalid stream operation"); }

constexpr uint32_t kAdlerBase = 65521;
constexpr size_t kAdlerRun = 5552;  // bytes before the sums must be reduced; a multiple of 16

uint32_t Adler32Scalar(uint32_t adler, const unsigned char* p, size_t n) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (n > 0) {
        size_t run = std::min(n, kAdlerRun);
        n -= run;
        while (run--) {
            a += *p++;
            b += a;
        }
        a %= kAdlerBase;
        b %= kAdlerBase;
    }
    return (b << 16) | a;
}

#ifdef STIRPELLO_ADLER_SSE2
// The checksum is a good part of inflating; zlib's own is byte by byte.
// Sixteen bytes at a time: b gains 16 times a for each block plus the bytes
// weighted 16 down to 1.
__attribute__((target("sse2"))) uint32_t Adler32Sse2(uint32_t adler, const unsigned char* p, size_t n) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i wLo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i wHi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    while (n >= 16) {
        size_t blocks = std::min(n, kAdlerRun) / 16;
        n -= blocks * 16;
        __m128i vPrev = zero, vA = zero, vB = zero;
        for (size_t i = 0; i < blocks; ++i, p += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            vPrev = _mm_add_epi32(vPrev, vA);
            vA = _mm_add_epi32(vA, _mm_sad_epu8(x, zero));
            vB = _mm_add_epi32(vB, _mm_madd_epi16(_mm_unpacklo_epi8(x, zero), wLo));
            vB = _mm_add_epi32(vB, _mm_madd_epi16(_mm_unpackhi_epi8(x, zero), wHi));
        }
        alignas(16) uint32_t la[4], lp[4], lb[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(la), vA);
        _mm_store_si128(reinterpret_cast<__m128i*>(lp), vPrev);
        _mm_store_si128(reinterpret_cast<__m128i*>(lb), vB);
        const uint64_t sumA = uint64_t{la[0]} + la[2];
        const uint64_t sumPrev = uint64_t{lp[0]} + lp[2];
        const uint64_t sumB = uint64_t{lb[0]} + lb[1] + lb[2] + lb[3];
        b = static_cast<uint32_t>((b + 16 * static_cast<uint64_t>(blocks) * a + 16 * sumPrev + sumB) % kAdlerBase);
        a = static_cast<uint32_t>((a + sumA) % kAdlerBase);
    }
    return Adler32Scalar((b << 16) | a, p, n);
}
#endif

uint32_t Adler32(uint32_t adler, const unsigned char* p, size_t n) {
#ifdef STIRPELLO_ADLER_SSE2
#if defined(__SSE2__)
    return Adler32Sse2(adler, p, n);
#else
    static const bool sse2 = __builtin_cpu_supports("sse2");
    if (sse2) return Adler32Sse2(adler, p, n);
#endif
#endif
    return Adler32Scalar(adler, p, n);
}

}  // namespace

// The stream is inflated raw, its two-byte header and its Adler-32 checked
// here, so that the checksum runs over whole windows at a time; the outcomes
// are zlib's own.
struct TInflateStream::TState {
    z_stream z{};
    bool open = false;
    bool headerRead = false;
    uint32_t check = 1;
    const unsigned char* in = nullptr;
    size_t inLeft = 0;
    ~TState() {
        if (open) inflateEnd(&z);
    }
};

TInflateStream::TInflateStream(const std::string& data, int64_t limit)
    : z_(new TState), limit_(limit), window_(new char[kWindow]) {
    if (inflateInit2(&z_->z, -15) == Z_OK)
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
    if (!z_->headerRead && !ended_) {
        // Too short to hold a header: nothing inflates, as with a stream cut
        // short anywhere.
        if (z_->inLeft < 2) {
            ended_ = true;
            return;
        }
        const unsigned cmf = z_->in[0], flg = z_->in[1];
        if ((cmf * 256 + flg) % 31 != 0 || (cmf & 0x0F) != Z_DEFLATED || (cmf >> 4) > 7) {
            failure_ = "Error";
            throw EDecompressionError(failure_);
        }
        if (flg & 0x20) {  // a preset dictionary, which a catalogue never has
            if (z_->inLeft >= 6) {
                failure_ = "Error";
                throw EDecompressionError(failure_);
            }
            ended_ = true;
            return;
        }
        z_->in += 2;
        z_->inLeft -= 2;
        z_->headerRead = true;
    }
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
        z_->check = Adler32(z_->check, reinterpret_cast<const unsigned char*>(window_.get()), windowEnd_);
        if (rc == Z_STREAM_END) {
            ended_ = true;
            // The checksum follows, big-endian; a stream cut inside it reads
            // as complete.
            const unsigned char* t = z.next_in;
            if (z.avail_in + z_->inLeft >= 4) {
                uint32_t stored = (uint32_t{t[0]} << 24) | (uint32_t{t[1]} << 16) | (uint32_t{t[2]} << 8) | t[3];
                if (stored != z_->check) {
                    failure_ = "Error";
                    throw EDecompressionError(failure_);
                }
            }
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
