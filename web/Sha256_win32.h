#pragma once
// SHA-256 digests with Windows' own cryptography: CNG (bcrypt.dll, loaded from
// the system folder on first use), or CryptoAPI where CNG is absent. Digests
// are 64 lowercase hexadecimal digits.
#include <cstddef>
#include <string>

enum class TSha256Provider { Cng, CryptoApi };

// The provider FileSha256 and Sha256Hex use: CNG when bcrypt.dll has it.
TSha256Provider DefaultSha256Provider();

// The digest of count bytes. Throws EOSError with the system's text when the
// provider cannot compute it.
std::string Sha256Hex(const void* bytes, size_t count);
std::string Sha256Hex(const void* bytes, size_t count, TSha256Provider provider);

// The digest of a whole file, read with writers refused. Throws EFOpenError
// "Cannot open file "path". reason" when it cannot be opened, EReadError when
// a read fails, and EOSError as Sha256Hex.
std::string FileSha256(const std::string& path);
std::string FileSha256(const std::string& path, TSha256Provider provider);
