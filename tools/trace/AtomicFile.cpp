#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace robottrace {

namespace {

// As many links as the kernel follows in one path before it gives up (ELOOP).
constexpr int MaxLinkHops = 40;
// Tries at a free temporary name before giving up; each is random.
constexpr int MaxTempNameTries = 100;
constexpr size_t TempSuffixLength = 6;
constexpr size_t WriteBufferSize = 1 << 16;

// The temporary file being written, for the signal handler: its folder's
// descriptor (-1 when there is none) and its name there.
volatile std::sig_atomic_t g_partialFolder = -1;
char g_partialName[NAME_MAX + 1];

const char *KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a FIFO (named pipe)";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

std::string NotRegular(mode_t mode)
{
    return std::string("it is ") + KindOf(mode) + "; a VCD is written only to a regular file";
}

// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string FolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A link's text is relative to the folder the link is in.
std::string Beside(const std::string &link, const std::string &to)
{
    if (!to.empty() && to[0] == '/')
        return to;
    const std::string folder = FolderOf(link);
    if (folder == ".")
        return to;
    return folder == "/" ? "/" + to : folder + "/" + to;
}

std::string RandomSuffix()
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[TempSuffixLength];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet (early boot): the clock is good enough, O_EXCL keeps it safe.
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) * 2654435761u ^
                                       static_cast<unsigned long long>(getpid());
        for (size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(mix >> (8 * i));
    }
    std::string out;
    for (unsigned char b : bytes)
        out += letters[b % (sizeof letters - 1)];
    return out;
}

// Holds the ending signals back for its lifetime.
class HeldSignals {
public:
    HeldSignals()
    {
        sigset_t ending;
        sigemptyset(&ending);
        for (int sig : EndingSignals)
            sigaddset(&ending, sig);
        sigprocmask(SIG_BLOCK, &ending, &old_);
    }
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

private:
    sigset_t old_;
};

} // namespace

void RemovePartialFileNow()
{
    const int folder = g_partialFolder;
    if (folder >= 0)
        unlinkat(folder, g_partialName, 0);
}

FdOutBuffer::FdOutBuffer(int fd) : fd_(fd), buffer_(WriteBufferSize)
{
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool FdOutBuffer::Drain()
{
    const char *p = pbase();
    size_t left = static_cast<size_t>(pptr() - pbase());
    // After a failure the rest is dropped: the file is discarded anyway.
    while (left > 0 && error_ == 0) {
        const ssize_t wrote = write(fd_, p, left);
        if (wrote < 0) {
            if (errno != EINTR)
                error_ = errno;
            continue;
        }
        p += wrote;
        left -= static_cast<size_t>(wrote);
    }
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return error_ == 0;
}

FdOutBuffer::int_type FdOutBuffer::overflow(int_type c)
{
    if (!Drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int FdOutBuffer::sync() { return Drain() ? 0 : -1; }

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile()
{
    Discard();
    if (folderFd_ >= 0)
        close(folderFd_);
}

std::string AtomicFile::Describe() const
{
    if (target_.empty() || target_ == path_)
        return path_;
    return path_ + " (a link to " + target_ + ")";
}

bool AtomicFile::Resolve(std::string &error)
{
    std::string path = path_;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                target_ = path;
                error = std::strerror(errno);
                return false;
            }
            break; // a new file; its folder is checked when the file is made
        }
        if (!S_ISLNK(st.st_mode)) {
            target_ = path;
            if (!S_ISREG(st.st_mode)) {
                error = NotRegular(st.st_mode);
                return false;
            }
            break;
        }
        if (hops == MaxLinkHops) {
            target_ = path;
            error = std::strerror(ELOOP);
            return false;
        }
        // The kernel's own links (/dev/stdout, /proc/self/fd/1) may lead to
        // a pipe whose link text ("pipe:[1234]") names no file: ask the
        // kernel where the link leads before reading it.
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            char *where = realpath(path.c_str(), nullptr);
            target_ = where ? where : path;
            std::free(where);
            error = NotRegular(st.st_mode);
            return false;
        }
        // st_size is 0 for the kernel's own links: read into a buffer as
        // large as a path may be.
        std::vector<char> text(PATH_MAX);
        const ssize_t length = readlink(path.c_str(), text.data(), text.size());
        if (length < 0 || static_cast<size_t>(length) >= text.size()) {
            target_ = path;
            error = std::strerror(length < 0 ? errno : ENAMETOOLONG);
            return false;
        }
        path = Beside(path, std::string(text.data(), static_cast<size_t>(length)));
    }
    target_ = path;
    folder_ = FolderOf(path);
    name_ = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (name_.empty()) {
        error = "the name ends with '/', so it names a directory, not a file";
        return false;
    }
    return true;
}

bool AtomicFile::Open(std::string &error)
{
    if (!Resolve(error))
        return false;
    // The folder is held open: the file is made, checked and renamed in the
    // same folder even if a link on the way there changes meanwhile.
    folderFd_ = open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderFd_ < 0) {
        error = errno == ENOENT ? "there is no folder " + folder_ : std::strerror(errno);
        return false;
    }
    int openErrno = 0;
    {
        // A signal between making the file and registering it would leave it behind.
        HeldSignals held;
        for (int attempt = 0; attempt < MaxTempNameTries && fd_ < 0; ++attempt) {
            const std::string name = name_ + ".partial-" + RandomSuffix();
            // 0666: the user's umask gives the modes, as for any new file.
            fd_ = openat(folderFd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd_ >= 0) {
                temp_ = name;
                if (name.size() < sizeof g_partialName) {
                    std::memcpy(g_partialName, name.c_str(), name.size() + 1);
                    g_partialFolder = folderFd_;
                }
            } else if (errno != EEXIST) {
                break;
            }
        }
        openErrno = errno;
    }
    if (fd_ < 0) {
        error = std::strerror(openErrno);
        return false;
    }
    buffer_ = std::make_unique<FdOutBuffer>(fd_);
    stream_ = std::make_unique<std::ostream>(buffer_.get());
    return true;
}

bool AtomicFile::Commit(std::string &error)
{
    stream_->flush();
    int failure = buffer_->Error();
    if (failure == 0 && !*stream_)
        failure = EIO;
    if (failure == 0 && fsync(fd_) != 0)
        failure = errno;
    // close() reports late write errors of network file systems.
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure != 0) {
        error = std::strerror(failure);
        Discard();
        return false;
    }
    // Something else may have been put there since Open: the rule holds to the end.
    struct stat st {};
    if (fstatat(folderFd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode)) {
            error = NotRegular(st.st_mode) + " (it changed while the VCD was written)";
            Discard();
            return false;
        }
    } else if (errno != ENOENT) {
        error = std::strerror(errno);
        Discard();
        return false;
    }
    if (renameat(folderFd_, temp_.c_str(), folderFd_, name_.c_str()) != 0) {
        error = std::strerror(errno);
        Discard();
        return false;
    }
    g_partialFolder = -1;
    temp_.clear();
    return true;
}

void AtomicFile::Discard()
{
    stream_.reset();
    buffer_.reset();
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        unlinkat(folderFd_, temp_.c_str(), 0);
        temp_.clear();
    }
    // Only now: a signal until here would remove the same file again, harmlessly.
    g_partialFolder = -1;
}

} // namespace robottrace
