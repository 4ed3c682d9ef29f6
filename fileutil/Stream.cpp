#include "fileutil/Stream.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "fileutil/Errors.h"

int64_t TStream::GetSize() {
    int64_t pos = Seek(0, TSeekOrigin::Current);
    int64_t size = Seek(0, TSeekOrigin::End);
    Seek(pos, TSeekOrigin::Begin);
    return size;
}

int32_t TStringStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || pos_ >= static_cast<int64_t>(data_.size())) return 0;
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return static_cast<int32_t>(n);
}

int32_t TStringStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    size_t end = static_cast<size_t>(pos_) + static_cast<size_t>(count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(&data_[static_cast<size_t>(pos_)], buffer, static_cast<size_t>(count));
    pos_ = static_cast<int64_t>(end);
    return count;
}

int64_t TStringStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == TSeekOrigin::Begin ? 0
                   : origin == TSeekOrigin::Current ? pos_
                                                    : static_cast<int64_t>(data_.size());
    pos_ = std::max<int64_t>(0, base + offset);
    return pos_;
}

void TStringStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    pos_ = std::min<int64_t>(pos_, size);
}

int32_t TDownloadFileStream::Write(const void* buffer, int32_t count) {
    if (Limit >= 0 && count > 0 && Position() + count > Limit) {
        LimitPassed = true;
        throw EWriteError("The download passed the expected size of " + std::to_string(Limit) + " bytes");
    }
    return TFileStream::Write(buffer, count);
}
