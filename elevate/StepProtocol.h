#pragma once
// The elevated step's records. The main process (the user's rights) sends one
// request at a time and the step (administrator rights) answers each with one
// reply. Records have a fixed shape per kind and are little-endian. The step
// treats every request as hostile: anyone running as the user can start the
// step and talk to it, so each request must be harmless from any caller.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t StepRequestMagic = 0x54535053;
constexpr uint32_t StepReplyMagic = 0x50525053;
constexpr uint16_t StepProtocolVersion = 1;
constexpr size_t StepHeaderSize = 16;        // magic, version, kind, sequence, payload size
constexpr size_t StepFolderFieldSize = 2048;  // UTF-16LE, NUL-padded
constexpr size_t StepFolderMaxChars = 1023;   // leaves room for the NUL inside the field
constexpr size_t StepReplySize = 272;
constexpr size_t StepReasonSize = 256;        // NUL-padded; at most 255 characters of text
// No update module comes near this; a larger compiled-in size is a build fault.
constexpr size_t StepMaxModuleSize = 64u * 1024 * 1024;

// In the order the procedure needs them; the session holds them to it.
enum class TStepKind : uint16_t {
    OpenFolder = 1,            // payload: the program folder (StepFolderFieldSize bytes)
    RemovePostponingKeys = 2,  // none: CheckOnOrAfterDate, NotifyAfterUpdateTo from [Updates]
    WriteNotify = 3,           // none: notifyForAnyUpdate=TRUE, the only value ever written
    InstallModule = 4,         // the module's bytes, exactly the compiled-in module size
    WriteWantsUpdate = 5,      // uint32 0 or 1
    LaunchModule = 6,          // none; the step's last act
    Quit = 7,                  // none; ends the session at any time
};

enum class TStepResult : uint32_t {
    Done = 0,
    NothingToChange = 1,
    Refused = 2,
    Failed = 3,
};

struct TRequest {
    TStepKind kind = TStepKind::Quit;
    uint32_t sequence = 0;
    std::wstring folder;  // OpenFolder
    std::string module;   // InstallModule: the bytes
    bool wantsUpdate = false;  // WriteWantsUpdate
};

struct TStepReply {
    uint16_t kind = 0;  // echoed as received, so also a kind the step does not know
    uint32_t sequence = 0;
    TStepResult result = TStepResult::Refused;
    std::string reason;  // short, for the log; printable ASCII
};

// The payload size a kind must have; SIZE_MAX for a kind that does not exist.
// moduleSize is the compiled-in size of the update module.
size_t StepPayloadSize(uint16_t kind, size_t moduleSize);

// The fields of a request's header, checked on their own so that a reader can
// refuse a record before reading (or allocating for) its payload.
struct TRequestHeader {
    uint16_t kind = 0;
    uint32_t sequence = 0;
    uint32_t payloadSize = 0;
};
// Reads the StepHeaderSize bytes at data into *header (kind and sequence are
// filled whenever the magic and version are right, so a reply can echo them).
// Returns "" or why the record is refused: another magic, version or kind, or
// a payload size other than the kind's.
std::string ReadRequestHeader(const uint8_t* data, size_t moduleSize, TRequestHeader* header);

// Reads one whole request record of size bytes. Returns "" with *out filled,
// or why it is refused (header as above, trailing or missing bytes, a folder
// field that is not NUL-terminated and NUL-padded, a wantsUpdate other than 0
// or 1). The folder's path itself is judged by the session. Never throws
// beyond std::bad_alloc for the module's bytes (at most moduleSize).
std::string ReadRequest(const uint8_t* data, size_t size, size_t moduleSize, TRequest* out);

// The record for a request. Throws EError when it cannot be sent as it is:
// a folder of more than StepFolderMaxChars characters or holding a NUL.
std::string WriteRequest(const TRequest& request);

// The 272-byte reply. A reason longer than 255 bytes is cut, and bytes
// outside printable ASCII become '?'. Never throws beyond std::bad_alloc.
std::string WriteReply(const TStepReply& reply);
// Reads a reply of size bytes. Returns "" with *out filled, or why it is
// refused (size, magic, version, result, an unterminated or unprintable reason).
std::string ReadReply(const uint8_t* data, size_t size, TStepReply* out);

// "" when path may be a program folder for the step: X:\... on a drive
// letter, without UNC, device or NT prefixes, forward slashes, streams, empty
// "." or ".." components, components ending in a dot or space, device names
// (CON, NUL, COM1, ...), control characters or *?<>"|, and at most
// StepFolderMaxChars characters. One
// trailing backslash is allowed; the drive's root alone is not a program
// folder. Otherwise a short reason. Whether the folder is on a fixed disk and
// free of links is for the step to check on the folder itself.
std::string FolderPathRefusal(const std::wstring& path);

// One step's conversation: OpenFolder first and once, then the others in the
// procedure's order (kinds strictly increasing, each at most once, any may be
// left out), LaunchModule as the last act (it ends the session); Quit ends it
// at any time. Each
// request carries the sequence of the one before plus one (the first 1),
// refused ones included; a request with a wrong sequence is not counted.
class TStepSession {
public:
    // "" when request may be carried out now (the session then counts it as
    // done), or why it is refused (then only its sequence is counted).
    std::string Accept(const TRequest& request);
    // Ends the session, e.g. when the folder of an accepted OpenFolder could
    // not be opened: every later request is refused.
    void End() { ended_ = true; }
    bool Ended() const { return ended_; }
    // The folder of the accepted OpenFolder; empty before.
    const std::wstring& Folder() const { return folder_; }

private:
    uint32_t lastSequence_ = 0;
    uint16_t lastKind_ = 0;  // of the last accepted request
    bool ended_ = false;
    std::wstring folder_;
};
