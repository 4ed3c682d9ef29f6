#include "web/Sha256_win32.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/SystemDll_win32.h"
#include "web/ChecksumFile_win32.h"

namespace {

const DWORD kDigestSize = 32;

std::string Hex(const unsigned char* digest) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < kDigestSize; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

// CNG answers with NTSTATUS codes, whose texts live in ntdll's message table.
[[noreturn]] void ThrowStatus(const char* call, NTSTATUS status) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    std::string message = std::string(call) + " failed (" + code + ")";
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
        GetModuleHandleA("ntdll.dll"), static_cast<DWORD>(status), 0, reinterpret_cast<LPSTR>(&text), 0,
        nullptr);
    if (length && text) {
        std::string t(text, length);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
        message += ": " + t;
    }
    if (text) LocalFree(text);
    throw EOSError(message, static_cast<unsigned long>(status));
}

[[noreturn]] void ThrowLastError(const char* call) {
    const DWORD code = GetLastError();
    throw EOSError(std::string(call) + " failed: " + SysErrorMessage(code), code);
}

class THasher {
public:
    virtual ~THasher() = default;
    virtual void Update(const void* bytes, size_t count) = 0;
    virtual std::string Finish() = 0;
};

// bcrypt.dll is not a KnownDLL, so it is never imported: a copy beside the
// program would be loaded instead of the system's.
struct TCng {
    decltype(&BCryptOpenAlgorithmProvider) Open = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) Close = nullptr;
    decltype(&BCryptGetProperty) GetProperty = nullptr;
    decltype(&BCryptCreateHash) CreateHash = nullptr;
    decltype(&BCryptHashData) HashData = nullptr;
    decltype(&BCryptFinishHash) FinishHash = nullptr;
    decltype(&BCryptDestroyHash) DestroyHash = nullptr;

    // Null where the system has no CNG (before Vista).
    static const TCng* Get() {
        static const TCng* const cng = Load();
        return cng;
    }

private:
    static const TCng* Load() {
        static TCng c;
        try {
            const char* dll = "bcrypt.dll";
            c.Open = SystemDllFunction<decltype(c.Open)>(dll, "BCryptOpenAlgorithmProvider");
            c.Close = SystemDllFunction<decltype(c.Close)>(dll, "BCryptCloseAlgorithmProvider");
            c.GetProperty = SystemDllFunction<decltype(c.GetProperty)>(dll, "BCryptGetProperty");
            c.CreateHash = SystemDllFunction<decltype(c.CreateHash)>(dll, "BCryptCreateHash");
            c.HashData = SystemDllFunction<decltype(c.HashData)>(dll, "BCryptHashData");
            c.FinishHash = SystemDllFunction<decltype(c.FinishHash)>(dll, "BCryptFinishHash");
            c.DestroyHash = SystemDllFunction<decltype(c.DestroyHash)>(dll, "BCryptDestroyHash");
        } catch (const EError&) {
            return nullptr;
        }
        return &c;
    }
};

class TCngHasher : public THasher {
public:
    TCngHasher() : cng_(TCng::Get()) {
        if (!cng_) throw EOSError("CNG (bcrypt.dll) is not available", ERROR_PROC_NOT_FOUND);
        Check("BCryptOpenAlgorithmProvider", cng_->Open(&alg_, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
        DWORD objectSize = 0;
        ULONG got = 0;
        Check("BCryptGetProperty", cng_->GetProperty(alg_, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                                                     sizeof objectSize, &got, 0));
        object_.resize(objectSize ? objectSize : 1);
        Check("BCryptCreateHash", cng_->CreateHash(alg_, &hash_, object_.data(), static_cast<ULONG>(object_.size()),
                                                   nullptr, 0, 0));
    }
    ~TCngHasher() override {
        if (hash_) cng_->DestroyHash(hash_);
        if (alg_) cng_->Close(alg_, 0);
    }
    TCngHasher(const TCngHasher&) = delete;
    TCngHasher& operator=(const TCngHasher&) = delete;

    void Update(const void* bytes, size_t count) override {
        // The const_cast is the API's: it only reads the input.
        Check("BCryptHashData", cng_->HashData(hash_, static_cast<PUCHAR>(const_cast<void*>(bytes)),
                                               static_cast<ULONG>(count), 0));
    }
    std::string Finish() override {
        unsigned char digest[kDigestSize];
        Check("BCryptFinishHash", cng_->FinishHash(hash_, digest, kDigestSize, 0));
        return Hex(digest);
    }

private:
    // The construction may fail half-way: members release what was made.
    void Check(const char* call, NTSTATUS status) {
        if (status < 0) {
            if (hash_) cng_->DestroyHash(hash_);
            if (alg_) cng_->Close(alg_, 0);
            hash_ = nullptr;
            alg_ = nullptr;
            ThrowStatus(call, status);
        }
    }

    const TCng* cng_;
    BCRYPT_ALG_HANDLE alg_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    std::vector<UCHAR> object_;
};

class TCryptoApiHasher : public THasher {
public:
    TCryptoApiHasher() {
        // The AES provider is the one with SHA-2 (from XP SP3 on).
        if (!CryptAcquireContextA(&prov_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
            ThrowLastError("CryptAcquireContext");
        if (!CryptCreateHash(prov_, CALG_SHA_256, 0, 0, &hash_)) {
            const DWORD code = GetLastError();
            CryptReleaseContext(prov_, 0);
            SetLastError(code);
            ThrowLastError("CryptCreateHash");
        }
    }
    ~TCryptoApiHasher() override {
        CryptDestroyHash(hash_);
        CryptReleaseContext(prov_, 0);
    }
    TCryptoApiHasher(const TCryptoApiHasher&) = delete;
    TCryptoApiHasher& operator=(const TCryptoApiHasher&) = delete;

    void Update(const void* bytes, size_t count) override {
        if (!CryptHashData(hash_, static_cast<const BYTE*>(bytes), static_cast<DWORD>(count), 0))
            ThrowLastError("CryptHashData");
    }
    std::string Finish() override {
        unsigned char digest[kDigestSize];
        DWORD size = kDigestSize;
        if (!CryptGetHashParam(hash_, HP_HASHVAL, digest, &size, 0)) ThrowLastError("CryptGetHashParam");
        if (size != kDigestSize) throw EOSError("CryptGetHashParam gave a digest of the wrong size", 0);
        return Hex(digest);
    }

private:
    HCRYPTPROV prov_ = 0;
    HCRYPTHASH hash_ = 0;
};

std::unique_ptr<THasher> NewHasher(TSha256Provider provider) {
    if (provider == TSha256Provider::Cng) return std::make_unique<TCngHasher>();
    return std::make_unique<TCryptoApiHasher>();
}

}  // namespace

TSha256Provider DefaultSha256Provider() {
    return TCng::Get() ? TSha256Provider::Cng : TSha256Provider::CryptoApi;
}

std::string Sha256Hex(const void* bytes, size_t count) { return Sha256Hex(bytes, count, DefaultSha256Provider()); }

std::string Sha256Hex(const void* bytes, size_t count, TSha256Provider provider) {
    std::unique_ptr<THasher> hasher = NewHasher(provider);
    hasher->Update(bytes, count);
    return hasher->Finish();
}

std::string FileSha256(const std::string& path) { return FileSha256(path, DefaultSha256Provider()); }

std::string FileSha256(const std::string& path, TSha256Provider provider) {
    TFileHandle file = OpenForChecksum(path, FILE_FLAG_SEQUENTIAL_SCAN);
    std::unique_ptr<THasher> hasher = NewHasher(provider);
    std::vector<char> block(65536);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) {
            const DWORD e = GetLastError();
            throw EReadError("Cannot read \"" + path + "\". " + SysErrorMessage(e));
        }
        if (got == 0) break;
        hasher->Update(block.data(), got);
    }
    return hasher->Finish();
}
