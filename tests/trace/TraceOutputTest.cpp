// Where robot-trace's VCD may go: only to a regular file, through symbolic
// links to the file they name, whole or not at all. Run as a user runs it, on
// real device nodes, FIFOs, sockets, folders and links.
#include "TraceTestFiles.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The kernel's null device: major 1, minor 3.
const dev_t NullDevice = makedev(1, 3);

// What is at a path, links not followed; 0 when there is nothing.
mode_t KindAt(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

std::string LinkText(const std::string &path)
{
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// A listening-less local socket bound at `path`; the descriptor stays open
// until the test ends.
int BindSocket(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path)
        return -1;
    std::copy(path.begin(), path.end(), address.sun_path);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A trace whose VCD is far larger than the write limit of the failure test.
std::string LongTrace()
{
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += std::to_string(1000000 + 1000 * i) + ",W,888," + std::to_string(i % 32) + "\n";
    return text;
}

} // namespace

TEST_F(TraceTool, RefusesDevicesFifosSocketsAndFoldersAndLeavesThemAsTheyWere)
{
    const std::string trace = Quoted(Write("trace.txt", KnownTrace));
    // A null device of our own where the kernel lets us make one (root);
    // otherwise the system's, which an unprivileged run cannot replace anyway.
    std::string device = Path("null");
    if (mknod(device.c_str(), S_IFCHR | 0666, NullDevice) != 0)
        device = "/dev/null";
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    const int sock = BindSocket(Path("sock"));
    ASSERT_GE(sock, 0);
    std::filesystem::create_directory(Path("folder"));
    Write("folder/kept.txt", "kept");
    std::filesystem::create_symlink(device, Path("to-null"));
    std::filesystem::create_symlink("to-null", Path("to-to-null"));
    const std::string before = Listing();

    const struct {
        std::string output, kind;
    } refused[] = {
        {device, "a character device"},
        {Path("to-null"), "a character device"},
        {Path("to-to-null"), "a character device"},
        {Path("fifo"), "a FIFO (named pipe)"},
        {Path("sock"), "a socket"},
        {Path("folder"), "a directory"},
        {Path("folder/"), "a directory"},
    };
    for (const auto &c : refused) {
        // A tool that opened the FIFO to write would wait for a reader for ever.
        const Run run = Tool(trace + " -o " + Quoted(c.output), "timeout 60");
        EXPECT_EQ(run.status, 1) << c.output << ": " << run.err;
        EXPECT_NE(run.err.find("robot-trace: cannot write " + c.output), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("it is " + c.kind + "; a VCD is written only to a regular file"),
                  std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.output; // refused before the trace is read
    }
    // A link shows where it leads.
    const Run viaLink = Tool(trace + " -o " + Quoted(Path("to-to-null")));
    EXPECT_NE(viaLink.err.find("to-to-null (a link to "), std::string::npos) << viaLink.err;

    struct stat st {};
    ASSERT_EQ(lstat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, NullDevice);
    EXPECT_EQ(KindAt(Path("fifo")), S_IFIFO);
    EXPECT_EQ(KindAt(Path("sock")), S_IFSOCK);
    EXPECT_EQ(Listing("folder"), "kept.txt");
    EXPECT_EQ(LinkText(Path("to-null")), device);
    EXPECT_EQ(LinkText(Path("to-to-null")), "to-null");
    EXPECT_EQ(Listing(), before); // no temporary file left anywhere
    close(sock);
}

TEST_F(TraceTool, WritesTheFileALinkNamesAndTheLinkStaysALink)
{
    const std::string trace = Quoted(Write("trace.txt", KnownTrace));
    ASSERT_EQ(Tool("-q " + trace + " -o " + Quoted(Path("plain.vcd"))).status, 0);
    const std::string vcd = Read(Path("plain.vcd"));
    ASSERT_NE(vcd.find("$enddefinitions"), std::string::npos);

    // A relative link into another folder, and a link to that link.
    std::filesystem::create_directory(Path("data"));
    Write("data/run.vcd", "old");
    std::filesystem::create_symlink("data/run.vcd", Path("out.vcd"));
    std::filesystem::create_symlink(Path("out.vcd"), Path("again.vcd"));
    // A reader that has the old file open keeps reading the old file: the new
    // one is put in its place whole, not written into it.
    std::ifstream reader(Path("data/run.vcd"), std::ios::binary);

    const Run run = Tool(trace + " -o " + Quoted(Path("out.vcd")));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("VCD written to " + Path("out.vcd") + " (a link to " + Path("data/run.vcd") + ")"),
              std::string::npos) << run.out;
    EXPECT_EQ(KindAt(Path("out.vcd")), S_IFLNK);
    EXPECT_EQ(LinkText(Path("out.vcd")), "data/run.vcd");
    EXPECT_EQ(Read(Path("data/run.vcd")), vcd);
    std::string seen;
    std::getline(reader, seen);
    EXPECT_EQ(seen, "old");

    Write("data/run.vcd", "old again");
    const Run twice = Tool("-q " + trace + " -o " + Quoted(Path("again.vcd")));
    ASSERT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(LinkText(Path("again.vcd")), Path("out.vcd"));
    EXPECT_EQ(LinkText(Path("out.vcd")), "data/run.vcd");
    EXPECT_EQ(Read(Path("data/run.vcd")), vcd);
    // The temporary file was made beside the target and is gone.
    EXPECT_EQ(Listing("data"), "run.vcd");
    EXPECT_EQ(Listing(), "again.vcd data out.vcd plain.vcd trace.txt");
}

TEST_F(TraceTool, ADanglingLinkGetsItsFileMadeWhereItsFolderExists)
{
    const std::string trace = Quoted(Write("trace.txt", KnownTrace));
    ASSERT_EQ(Tool("-q " + trace + " -o " + Quoted(Path("plain.vcd"))).status, 0);
    std::filesystem::create_directory(Path("data"));
    std::filesystem::create_symlink("data/new.vcd", Path("new.vcd"));
    const Run made = Tool("-q " + trace + " -o " + Quoted(Path("new.vcd")));
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(LinkText(Path("new.vcd")), "data/new.vcd");
    EXPECT_EQ(Read(Path("data/new.vcd")), Read(Path("plain.vcd")));
    EXPECT_EQ(Listing("data"), "new.vcd");

    // Into a folder that does not exist: refused, nothing made, the link kept.
    std::filesystem::create_symlink("missing/x.vcd", Path("lost.vcd"));
    const Run lost = Tool("-q " + trace + " -o " + Quoted(Path("lost.vcd")));
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("cannot write " + Path("lost.vcd") + " (a link to " + Path("missing/x.vcd") +
                            "): there is no folder " + Path("missing")),
              std::string::npos) << lost.err;
    EXPECT_EQ(LinkText(Path("lost.vcd")), "missing/x.vcd");

    // Links that lead round in a circle.
    std::filesystem::create_symlink("loop-b", Path("loop-a"));
    std::filesystem::create_symlink("loop-a", Path("loop-b"));
    const Run loop = Tool("-q " + trace + " -o " + Quoted(Path("loop-a")));
    EXPECT_EQ(loop.status, 1);
    EXPECT_NE(loop.err.find("Too many levels of symbolic links"), std::string::npos) << loop.err;
    EXPECT_EQ(Listing(), "data loop-a loop-b lost.vcd new.vcd plain.vcd trace.txt");
}

TEST_F(TraceTool, AWriteThatFailsLeavesTheOldFileAndNoPartialFile)
{
    // The file-size limit makes the kernel refuse the write part-way (EFBIG;
    // SIGXFSZ ignored, as the shell passes it on); the VCD would be about 1 MB.
    const std::string trace = Quoted(Write("trace.txt", LongTrace()));
    const std::string limited = "trap '' XFSZ; ulimit -f 64;";
    Write("out.vcd", "old");
    std::filesystem::create_directory(Path("data"));
    Write("data/run.vcd", "old too");
    std::filesystem::create_symlink("data/run.vcd", Path("link.vcd"));

    for (const std::string output : {"out.vcd", "link.vcd"}) {
        const Run run = Tool("-q " + trace + " -o " + Quoted(Path(output)), limited);
        EXPECT_EQ(run.status, 1) << output;
        EXPECT_NE(run.err.find("cannot write " + Path(output)), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
    }
    EXPECT_EQ(Read(Path("out.vcd")), "old");
    EXPECT_EQ(Read(Path("data/run.vcd")), "old too");
    EXPECT_EQ(Listing(), "data link.vcd out.vcd trace.txt");
    EXPECT_EQ(Listing("data"), "run.vcd");

    // Without the limit the same trace goes through.
    const Run free = Tool("-q " + trace + " -o " + Quoted(Path("link.vcd")));
    EXPECT_EQ(free.status, 0) << free.err;
    EXPECT_GT(Read(Path("data/run.vcd")).size(), 64u * 1024);
}
