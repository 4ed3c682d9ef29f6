#include "elevate/StepProtocol.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "fileutil/Errors.h"

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void Put16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void Put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool IsKind(uint16_t kind) { return kind >= 1 && kind <= 7; }

// CON, NUL, COM1 and the like name a device in any folder, also with an
// extension ("nul.txt").
bool IsDeviceName(const std::wstring& part) {
    std::wstring base = part.substr(0, part.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" || base == L"CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           ((base[3] >= L'0' && base[3] <= L'9') || base[3] == L'\u00b9' || base[3] == L'\u00b2' || base[3] == L'\u00b3');
}

}  // namespace

size_t StepPayloadSize(uint16_t kind, size_t moduleSize) {
    switch (static_cast<TStepKind>(kind)) {
    case TStepKind::OpenFolder: return StepFolderFieldSize;
    case TStepKind::InstallModule: return moduleSize;
    case TStepKind::WriteWantsUpdate: return 4;
    case TStepKind::RemovePostponingKeys:
    case TStepKind::WriteNotify:
    case TStepKind::LaunchModule:
    case TStepKind::Quit: return 0;
    }
    return SIZE_MAX;
}

std::string ReadRequestHeader(const uint8_t* data, size_t moduleSize, TRequestHeader* header) {
    *header = TRequestHeader();
    if (Get32(data) != StepRequestMagic) return "not a request record";
    if (Get16(data + 4) != StepProtocolVersion) return "unknown protocol version " + std::to_string(Get16(data + 4));
    header->kind = Get16(data + 6);
    header->sequence = Get32(data + 8);
    header->payloadSize = Get32(data + 12);
    if (!IsKind(header->kind)) return "unknown request kind " + std::to_string(header->kind);
    if (header->kind == static_cast<uint16_t>(TStepKind::InstallModule) && (moduleSize == 0 || moduleSize > StepMaxModuleSize))
        return "no module size is known";
    if (header->payloadSize != StepPayloadSize(header->kind, moduleSize))
        return "payload of " + std::to_string(header->payloadSize) + " bytes where " +
               std::to_string(StepPayloadSize(header->kind, moduleSize)) + " belong";
    return "";
}

std::string ReadRequest(const uint8_t* data, size_t size, size_t moduleSize, TRequest* out) {
    *out = TRequest();
    if (size < StepHeaderSize) return "record shorter than its header";
    TRequestHeader h;
    std::string why = ReadRequestHeader(data, moduleSize, &h);
    if (!why.empty()) return why;
    if (size - StepHeaderSize != h.payloadSize)
        return size - StepHeaderSize > h.payloadSize ? "trailing bytes after the payload" : "payload cut short";
    const uint8_t* p = data + StepHeaderSize;
    TRequest r;
    r.kind = static_cast<TStepKind>(h.kind);
    r.sequence = h.sequence;
    switch (r.kind) {
    case TStepKind::OpenFolder: {
        size_t n = 0;
        while (n < StepFolderFieldSize / 2 && Get16(p + 2 * n) != 0) ++n;
        if (n > StepFolderMaxChars) return "folder not NUL-terminated in its field";
        for (size_t i = 2 * n; i < StepFolderFieldSize; ++i)
            if (p[i] != 0) return "bytes after the folder's terminating NUL";
        r.folder.resize(n);
        for (size_t i = 0; i < n; ++i) r.folder[i] = static_cast<wchar_t>(Get16(p + 2 * i));
        break;
    }
    case TStepKind::InstallModule:
        r.module.assign(reinterpret_cast<const char*>(p), h.payloadSize);
        break;
    case TStepKind::WriteWantsUpdate: {
        uint32_t v = Get32(p);
        if (v > 1) return "wantsUpdate must be 0 or 1, not " + std::to_string(v);
        r.wantsUpdate = v == 1;
        break;
    }
    default: break;
    }
    *out = std::move(r);
    return "";
}

std::string WriteRequest(const TRequest& request) {
    const uint16_t kind = static_cast<uint16_t>(request.kind);
    std::string payload;
    switch (request.kind) {
    case TStepKind::OpenFolder:
        if (request.folder.size() > StepFolderMaxChars)
            throw EError("The program folder's path is too long for the elevated step");
        for (wchar_t c : request.folder) {
            // wchar_t is 32 bits natively; the record holds UTF-16 units.
            if (c == 0 || (static_cast<uint32_t>(c) >> 16) != 0)
                throw EError("The program folder's path cannot be sent to the elevated step");
            Put16(payload, static_cast<uint16_t>(c));
        }
        payload.resize(StepFolderFieldSize, '\0');
        break;
    case TStepKind::InstallModule: break;
    case TStepKind::WriteWantsUpdate: Put32(payload, request.wantsUpdate ? 1 : 0); break;
    default: break;
    }
    // The module is appended straight from the request: a copy of it in
    // between would hold megabytes more at the run's peak.
    const std::string& body = request.kind == TStepKind::InstallModule ? request.module : payload;
    if (body.size() > UINT32_MAX) throw EError("The request is too large for the elevated step");
    std::string out;
    out.reserve(StepHeaderSize + body.size());
    Put32(out, StepRequestMagic);
    Put16(out, StepProtocolVersion);
    Put16(out, kind);
    Put32(out, request.sequence);
    Put32(out, static_cast<uint32_t>(body.size()));
    out += body;
    return out;
}

std::string WriteReply(const TStepReply& reply) {
    std::string out;
    out.reserve(StepReplySize);
    Put32(out, StepReplyMagic);
    Put16(out, StepProtocolVersion);
    Put16(out, reply.kind);
    Put32(out, reply.sequence);
    Put32(out, static_cast<uint32_t>(reply.result));
    for (size_t i = 0; i < reply.reason.size() && i < StepReasonSize - 1; ++i) {
        char c = reply.reason[i];
        out += c >= 0x20 && c < 0x7F ? c : '?';
    }
    out.resize(StepReplySize, '\0');
    return out;
}

std::string ReadReply(const uint8_t* data, size_t size, TStepReply* out) {
    *out = TStepReply();
    if (size != StepReplySize) return "reply of " + std::to_string(size) + " bytes";
    if (Get32(data) != StepReplyMagic) return "not a reply record";
    if (Get16(data + 4) != StepProtocolVersion) return "unknown protocol version " + std::to_string(Get16(data + 4));
    TStepReply r;
    r.kind = Get16(data + 6);
    r.sequence = Get32(data + 8);
    uint32_t result = Get32(data + 12);
    if (result > static_cast<uint32_t>(TStepResult::Failed)) return "unknown result " + std::to_string(result);
    r.result = static_cast<TStepResult>(result);
    const uint8_t* reason = data + 16;
    size_t n = 0;
    while (n < StepReasonSize && reason[n] != 0) {
        if (reason[n] < 0x20 || reason[n] >= 0x7F) return "unprintable reason";
        ++n;
    }
    if (n == StepReasonSize) return "reason not NUL-terminated";
    for (size_t i = n; i < StepReasonSize; ++i)
        if (reason[i] != 0) return "bytes after the reason's terminating NUL";
    r.reason.assign(reinterpret_cast<const char*>(reason), n);
    *out = std::move(r);
    return "";
}

std::string FolderPathRefusal(const std::wstring& path) {
    if (path.empty()) return "empty folder path";
    if (path.size() > StepFolderMaxChars) return "folder path longer than 1023 characters";
    for (wchar_t c : path) {
        if (c < 0x20) return "control character in the folder path";
        if (c == L'/') return "forward slash in the folder path";
        if (std::wcschr(L"*?<>\"|", c) != nullptr) return "wildcard or reserved character in the folder path";
    }
    const bool drive = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                       path[1] == L':' && path[2] == L'\\';
    if (!drive) return "not a full path on a drive letter";
    if (path.find(L':', 2) != std::wstring::npos) return "colon after the drive (a stream)";
    std::wstring rest = path.substr(3);
    if (!rest.empty() && rest.back() == L'\\') rest.pop_back();
    if (rest.empty()) return "the drive's root is not a program folder";
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find(L'\\', start);
        if (end == std::wstring::npos) end = rest.size();
        std::wstring part = rest.substr(start, end - start);
        if (part.empty()) return "empty component in the folder path";
        if (part == L"." || part == L"..") return "\".\" or \"..\" in the folder path";
        if (part.back() == L'.' || part.back() == L' ') return "component ending in a dot or space";
        if (IsDeviceName(part)) return "a device name in the folder path";
        start = end + 1;
    }
    return "";
}

std::string TStepSession::Accept(const TRequest& request) {
    if (ended_) return "the session has ended";
    if (request.sequence != lastSequence_ + 1)
        return "sequence " + std::to_string(request.sequence) + " where " + std::to_string(lastSequence_ + 1) + " belongs";
    lastSequence_ = request.sequence;
    const uint16_t kind = static_cast<uint16_t>(request.kind);
    if (request.kind == TStepKind::Quit) {
        ended_ = true;
        return "";
    }
    if (kind < 1 || kind > 6) return "unknown request kind";
    if (folder_.empty() && request.kind != TStepKind::OpenFolder) return "no folder is open";
    if (request.kind == TStepKind::OpenFolder) {
        if (!folder_.empty()) return "the folder is already open";
        std::string why = FolderPathRefusal(request.folder);
        if (!why.empty()) return why;
        folder_ = request.folder;
    } else if (kind <= lastKind_) {
        return "out of order";
    }
    lastKind_ = kind;
    if (request.kind == TStepKind::LaunchModule) ended_ = true;
    return "";
}
