#pragma once
// What the emulators of the tests share: errno values by name (for their
// fault switches and their logs) and text built on the stack, without
// allocation, for the preloaded ones whose calls may come from a child forked
// from a threaded program.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace emulator {

struct NamedErrno {
    int Value;
    const char *Name;
};
inline constexpr NamedErrno Errnos[] = {
    {EACCES, "EACCES"}, {ENOENT, "ENOENT"}, {EIO, "EIO"},         {EINVAL, "EINVAL"}, {ENXIO, "ENXIO"},
    {EBUSY, "EBUSY"},   {EINTR, "EINTR"},   {ENODEV, "ENODEV"},   {EPERM, "EPERM"},   {ENOTTY, "ENOTTY"},
    {EAGAIN, "EAGAIN"}, {EMFILE, "EMFILE"}, {EFAULT, "EFAULT"},   {ENOSPC, "ENOSPC"}, {EBADF, "EBADF"},
    {ENODATA, "ENODATA"}, {EPIPE, "EPIPE"}, {ESHUTDOWN, "ESHUTDOWN"},
};

// "EIO" for EIO; nullptr for a value without a name here.
inline const char *ErrnoName(int value)
{
    for (const NamedErrno &e : Errnos)
        if (e.Value == value)
            return e.Name;
    return nullptr;
}

// EIO for "EIO"; 0 for a name it does not know.
inline int ErrnoByName(const char *name)
{
    for (const NamedErrno &e : Errnos)
        if (std::strcmp(e.Name, name) == 0)
            return e.Value;
    return 0;
}

// Text of at most Size - 1 characters, on the stack; what does not fit is cut.
template <size_t Size> class Text {
public:
    Text &Add(const char *s)
    {
        while (s && *s && used_ < Size - 1)
            buffer_[used_++] = *s++;
        buffer_[used_] = '\0';
        return *this;
    }
    Text &Add(int64_t v)
    {
        char digits[24];
        int n = 0;
        const bool negative = v < 0;
        uint64_t u = negative ? uint64_t(0) - uint64_t(v) : uint64_t(v);
        do {
            digits[n++] = char('0' + u % 10);
            u /= 10;
        } while (u);
        if (negative)
            Add("-");
        while (n > 0 && used_ < Size - 1)
            buffer_[used_++] = digits[--n];
        buffer_[used_] = '\0';
        return *this;
    }
    // Blanks would split a log's fields.
    Text &AddWord(const char *s)
    {
        for (; s && *s && used_ < Size - 1; ++s)
            buffer_[used_++] = (*s == ' ' || *s == '\t' || *s == '\n') ? '_' : *s;
        buffer_[used_] = '\0';
        return *this;
    }
    const char *Str() const { return buffer_; }
    size_t Length() const { return used_; }
    bool Empty() const { return used_ == 0; }

private:
    char buffer_[Size] = {};
    size_t used_ = 0;
};

} // namespace emulator
