#pragma once
// The VCD file robot-trace writes: whole or not at all, and only ever a
// regular file.
//
// The text goes to a temporary file beside the file it replaces and is
// renamed over it at the end, so a reader never sees half of it. A name that
// is a symbolic link is followed to the file it names; the link stays a link
// and the new file takes the place of its target. A link whose target does not
// exist yet gets it made (in the target's folder, which must exist), as a
// shell's `>` would. A device, FIFO, socket or directory is refused before
// anything is written: as root `-o /dev/null` would otherwise replace the
// system's /dev/null by a file.
#include <csignal>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace robottrace {

// An output stream buffer over a file descriptor that remembers the first
// write error, so that a full disc is reported as such.
class FdOutBuffer : public std::streambuf {
public:
    explicit FdOutBuffer(int fd);
    // The errno of the first failed write; 0 when every write went through.
    int Error() const { return error_; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool Drain();

    int fd_;
    int error_ = 0;
    std::vector<char> buffer_;
};

class AtomicFile {
public:
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Finds the file `path` stands for and makes the temporary file beside
    // it. False, with a message for the user, when it cannot be written.
    bool Open(std::string &error);
    std::ostream &Stream() { return *stream_; }
    // Puts the written file in place; false, with a message, when that fails
    // (the temporary file is removed, the old file left as it was).
    bool Commit(std::string &error);
    // Removes the temporary file; the old file stays as it was.
    void Discard();

    // The name as given, and where a link leads: "out.vcd (a link to /data/run.vcd)".
    std::string Describe() const;

private:
    bool Resolve(std::string &error);

    std::string path_;   // as given
    std::string target_; // the file the name stands for, links followed
    std::string folder_, name_; // target_ split at its last '/'
    int folderFd_ = -1;
    std::string temp_; // the temporary file's name in folder_; empty when none
    int fd_ = -1;
    std::unique_ptr<FdOutBuffer> buffer_;
    std::unique_ptr<std::ostream> stream_;
};

// Removes the temporary file of the AtomicFile being written, if any. Safe in
// a signal handler: the handlers of the signals that end robot-trace call it.
void RemovePartialFileNow();

// The signals after which RemovePartialFileNow is called; they are held back
// while the temporary file is made and registered, so that none is missed.
inline constexpr int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace robottrace
