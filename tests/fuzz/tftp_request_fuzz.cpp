// A datagram on the TFTP server port: the request parser with its mode and
// block-size rules, the packets built in answer, and the folder rule of the
// wait's read handler, with both ways of looking names up (the kernel's
// confined lookup and the library's own walk). A file name starting with
// "@" stands for the absolute path of the test tree, so absolute names into
// and out of it are reachable too. The invariants of the folder rule,
// whatever the name:
//   - nothing outside the image folder is ever opened, not even to look:
//     every descriptor the lookup opens (openat is watched) is the folder
//     or something in it, and a stream handed out reads a file inside it
//     (every file of the tree says where it lies in its first bytes);
//   - both lookups come to the same verdict;
//   - no descriptor is left open.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <set>
#include <utility>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TftpPacket.h"
#include "TftpServer.h"
#include "TtftpForm.h"

namespace fs = std::filesystem;
using namespace quillbox;

namespace {

// base/fw is the image folder; everything else in base lies outside it.
struct Tree {
  std::string base;
  TftpFolder kernel;  // names looked up by the kernel's confined lookup
  TftpFolder walk;    // names looked up by the library's own walk
  // The folder and everything in it, links included, by device and inode.
  std::set<std::pair<dev_t, ino_t>> inside;
};
Tree* g_tree = nullptr;

// Set while a lookup runs: every descriptor openat hands out then must be
// one of the tree's inside entries.
std::atomic<bool> g_watching{false};

void CheckOpenedInside(int fd, int dirFd, const char* path) {
  struct stat st {};
  FUZZ_CHECK(::fstat(fd, &st) == 0);
  if (g_tree->inside.count({st.st_dev, st.st_ino}) == 0) {
    std::fprintf(stderr, "opened \"%s\" (below descriptor %d): inode %lu lies outside the image folder\n",
                 path, dirFd, static_cast<unsigned long>(st.st_ino));
    FUZZ_CHECK(!"something outside the image folder was opened");
  }
}

void Write(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  FUZZ_CHECK(f != nullptr);
  std::fputs(text.c_str(), f);
  std::fclose(f);
}

void RemoveTree() {
  if (g_tree) {
    std::error_code ignored;
    fs::remove_all(g_tree->base, ignored);
  }
}

void MakeTree() {
  char pattern[] = "/tmp/quill-fuzz-tftp.XXXXXX";
  FUZZ_CHECK(::mkdtemp(pattern) != nullptr);
  const std::string base = pattern;
  const std::string fw = base + "/fw";
  fs::create_directories(fw + "/sub/deeper");
  fs::create_directories(base + "/fw-private/inner");
  Write(fw + "/fw.pak", "inside:fw.pak\n");
  Write(fw + "/sub/inner.bin", "inside:sub/inner.bin\n");
  Write(fw + "/sub/deeper/d.bin", "inside:sub/deeper/d.bin\n");
  Write(base + "/fw-private/secret.bin", "outside:fw-private/secret.bin\n");
  Write(base + "/fw-private/inner/x.bin", "outside:fw-private/inner/x.bin\n");
  Write(base + "/outside.bin", "outside:outside.bin\n");
  Write(base + "/fw.pak", "outside:fw.pak beside the folder\n");
  // Links that stay inside...
  fs::create_symlink("fw.pak", fw + "/link-in");
  fs::create_symlink(fw + "/sub/inner.bin", fw + "/link-in-abs");
  fs::create_directory_symlink("sub", fw + "/dir-in");
  fs::create_symlink("../fw.pak", fw + "/sub/up-in");
  fs::create_symlink("link-in", fw + "/chain-in");
  // ...and links that lead out, by relative and absolute paths, to files and
  // to folders, directly and through other links.
  fs::create_symlink("../fw-private/secret.bin", fw + "/link-out");
  fs::create_symlink(base + "/outside.bin", fw + "/link-out-abs");
  fs::create_directory_symlink("../fw-private", fw + "/dir-out");
  fs::create_directory_symlink(base, fw + "/dir-base");
  fs::create_directory_symlink("..", fw + "/dir-up");
  fs::create_symlink("../../fw-private/inner/x.bin", fw + "/sub/up-out");
  fs::create_symlink("link-out", fw + "/chain-out");
  fs::create_symlink("../fw.pak", fw + "/sibling-out");
  // Names that do not resolve, and what is not a regular file.
  fs::create_symlink("absent.bin", fw + "/dangling");
  fs::create_symlink("../absent-outside.bin", fw + "/dangling-out");
  fs::create_symlink("loop", fw + "/loop");
  FUZZ_CHECK(::mkfifo((fw + "/fifo").c_str(), 0600) == 0);
  // A folder outside holding a link back in.
  fs::create_symlink(fw + "/fw.pak", base + "/fw-private/back-in");

  static Tree tree{base, TftpFolder::OfFile(fw + "/fw.pak", TftpFolder::Lookup::Kernel),
                   TftpFolder::OfFile(fw + "/fw.pak", TftpFolder::Lookup::Walk), {}};
  g_tree = &tree;
  FUZZ_CHECK(!tree.kernel.Path().empty() && tree.kernel.Path() == tree.walk.Path());
  struct stat st {};
  FUZZ_CHECK(::lstat(fw.c_str(), &st) == 0);
  tree.inside.insert({st.st_dev, st.st_ino});
  for (const auto& entry : fs::recursive_directory_iterator(fw)) {
    FUZZ_CHECK(::lstat(entry.path().c_str(), &st) == 0);
    tree.inside.insert({st.st_dev, st.st_ino});
  }
  std::atexit(RemoveTree);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

// The name field with a leading "@" replaced by the tree's absolute path.
std::vector<uint8_t> WithTreePath(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out(data, data + size);
  if (size > 2 && data[2] == '@') {
    out.erase(out.begin() + 2);
    out.insert(out.begin() + 2, g_tree->base.begin(), g_tree->base.end());
  }
  return out;
}

void CheckErrorPacket(const tftp::ErrorPacket& error) {
  FUZZ_CHECK(error.code == tftp::ERR_NOT_DEFINED || error.code == tftp::ERR_ACCESS_VIOLATION ||
             error.code == tftp::ERR_ILLEGAL_OPERATION);
  const std::vector<uint8_t> packet = tftp::BuildError(error.code, error.message);
  FUZZ_CHECK(packet.size() == 5 + error.message.size());
  FUZZ_CHECK(tftp::GetU16(packet.data()) == tftp::ERROR && tftp::GetU16(packet.data() + 2) == error.code);
  FUZZ_CHECK(packet.back() == 0);
}

void CheckBlockSize(int requested) {
  FUZZ_CHECK(requested >= 0);
  const int packet = tftp::NegotiatedPacketSize(requested);
  FUZZ_CHECK(packet >= tftp::DEFAULT_PACKET_SIZE && packet <= tftp::MAX_BLOCK_SIZE + 4);
  if (requested >= 512 && requested <= tftp::MAX_BLOCK_SIZE) FUZZ_CHECK(packet == requested + 4);
  if (requested == 0) return;
  // The OACK carries the block size granted, and nothing else.
  const std::vector<uint8_t> oack = tftp::BuildOack(packet - 4);
  const std::string digits = std::to_string(packet - 4);
  FUZZ_CHECK(oack.size() == 2 + 8 + digits.size() + 2);
  FUZZ_CHECK(tftp::GetU16(oack.data()) == tftp::OACK);
  FUZZ_CHECK(std::memcmp(oack.data() + 2, "blksize", 8) == 0);
  FUZZ_CHECK(std::memcmp(oack.data() + 10, digits.data(), digits.size()) == 0);
  FUZZ_CHECK(oack[oack.size() - 2] == 0 && oack.back() == 0);
}

// The stream's first bytes say where its file lies.
void CheckServedInside(TftpStream& stream, const std::string& name) {
  uint8_t head[64] = {};
  size_t got = 0;
  FUZZ_CHECK(stream.Read(head, sizeof head, &got) == 0);
  const std::string text(reinterpret_cast<const char*>(head), got);
  if (text.rfind("inside:", 0) != 0) {
    std::fprintf(stderr, "served \"%s\" for the name \"%s\"\n", text.c_str(), name.c_str());
    FUZZ_CHECK(!"a file outside the image folder was served");
  }
}

TftpFolder::Verdict Lookup(const TftpFolder& folder, const std::string& name) {
  std::unique_ptr<TftpFileStream> stream;
  g_watching = true;
  const TftpFolder::Verdict verdict = folder.Open(name, &stream);
  g_watching = false;
  FUZZ_CHECK((verdict == TftpFolder::Verdict::Inside) == (stream != nullptr));
  if (stream) CheckServedInside(*stream, name);
  return verdict;
}

void CheckFolderRule(const std::string& name) {
  const int before = OpenDescriptors();
  const TftpFolder::Verdict kernel = Lookup(g_tree->kernel, name);
  const TftpFolder::Verdict walk = Lookup(g_tree->walk, name);
  // The kernel refuses paths longer than PATH_MAX that a walk of one
  // component at a time still follows; shorter names get one answer.
  if (name.size() < PATH_MAX - g_tree->kernel.Path().size() && kernel != walk) {
    std::fprintf(stderr, "\"%s\": the kernel's lookup says %d, the walk %d\n", name.c_str(),
                 static_cast<int>(kernel), static_cast<int>(walk));
    FUZZ_CHECK(!"the two lookups disagree");
  }
  {
    // The wait's handler, as the server calls it.
    TftpAccessEvent event;
    event.FileName = name;
    g_watching = true;
    ReadFromFolder(g_tree->kernel, event);
    g_watching = false;
    FUZZ_CHECK(event.GrantAccess == (kernel != TftpFolder::Verdict::Outside));
    FUZZ_CHECK((event.AStream != nullptr) == (kernel == TftpFolder::Verdict::Inside));
    FUZZ_CHECK(event.Failure.empty() == (kernel != TftpFolder::Verdict::Missing));
    if (event.AStream) CheckServedInside(*event.AStream, name);
  }
  FUZZ_CHECK(OpenDescriptors() == before);
}

}  // namespace

// Every openat of the process goes through here (the code under test is
// linked into this program); while a lookup runs, what it opens is checked.
extern "C" int openat(int dirFd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  const int fd = static_cast<int>(::syscall(SYS_openat, dirFd, path, flags, mode));
  if (fd >= 0 && g_watching) CheckOpenedInside(fd, dirFd, path);
  return fd;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeTree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The server reads at most its buffer's worth of a request.
  if (size > tftp::REQUEST_BUFFER_SIZE) size = tftp::REQUEST_BUFFER_SIZE;
  const std::vector<uint8_t> datagram = WithTreePath(data, size);
  const net::Endpoint from{htonl(0x0A000005), 2000};  // 10.0.0.5:2000, never sent to

  tftp::Request request;
  tftp::ErrorPacket error;
  if (!tftp::ParseRequest(datagram.data(), datagram.size(), from, &request, &error)) {
    FUZZ_CHECK(error.code != tftp::ERR_ACCESS_VIOLATION);
    CheckErrorPacket(error);
    return 0;
  }
  FUZZ_CHECK(request.opcode == tftp::RRQ || request.opcode == tftp::WRQ);
  std::string mode = request.mode;
  for (char& c : mode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(mode == "octet" || mode == "binary" || mode == "netascii");
  FUZZ_CHECK(request.fileName.find('\0') == std::string::npos);
  CheckBlockSize(request.requestedBlockSize);
  CheckErrorPacket({tftp::ERR_ACCESS_VIOLATION, "Access to " + request.fileName + " denied"});
  // Write requests are refused without looking at the disk; a read request
  // goes through the folder rule.
  if (request.opcode == tftp::RRQ) CheckFolderRule(request.fileName);
  return 0;
}
