// vantrel-verify-decode: the decoding side of vantrel-verify, which becomes this program for every task but
// serving. It judges one found file in a process of its own, under limits it sets on itself before it
// reads a byte, so that a decoder that crashes, loops or swallows memory on hostile data takes only
// this process with it; as a serving process's judge it judges file after file, handed to it open,
// until it has used its processor time or judged its share. It draws previews and turns pictures the
// same way.

#include "Vantrel/verify/CaptureDate.h"
#include "Vantrel/verify/ChildLimits.h"
#include "Vantrel/verify/IntegrityCheck.h"
#include "Vantrel/verify/JudgePackets.h"
#include "Vantrel/verify/PreviewRender.h"
#include "Vantrel/verify/VerifyProtocol.h"

#include <QFile>
#include <QImageReader>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>


#ifdef VANTREL_VERIFY_TEST_HOOKS
#include <chrono>
#include <cstdlib>
#include <thread>
#endif

namespace {

using namespace vantrel;
using ChildLimits::count;
using ChildLimits::limit;
using ChildLimits::limitExit;
using ChildLimits::maxFileBytes;
using ChildLimits::maxMemoryMiB;
using ChildLimits::usageExit;

// The largest square a preview is drawn into.
constexpr std::uint64_t maxRenderSidePixels = 8192;
// A judging process judges at most this many files, so that whatever a decoder leaves behind (a
// leak, a cache, a fragmented heap) does not grow without end; then a fresh one takes over.
constexpr int maxFilesPerJudge = 256;
// The buffer a judging process keeps for the next file: larger ones are given back after the file.
constexpr std::size_t maxKeptBufferBytes = 64ULL << 20;

struct Options {
    bool judgeFiles = false;  // the judging process of a serving one
    std::optional<RecoveredFileKind> kind;
    bool cutAtCap = false;
    std::optional<std::uint64_t> cpuSeconds;
    std::optional<std::uint64_t> memoryMiB;
    std::string path;
    std::string testHook;
    bool render = false;   // the preview's PNG
    std::optional<std::uint64_t> maxSide;
    bool upright = false;  // the upright JPEG copy
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.starts_with(VerifyProtocol::kindOption)) {
            options.kind = FileKind::fromRawValue(argument.substr(VerifyProtocol::kindOption.size()));
            if (!options.kind) return std::nullopt;
        } else if (argument == VerifyProtocol::judgeOption) {
            options.judgeFiles = true;
        } else if (argument == VerifyProtocol::cutAtCapOption) {
            options.cutAtCap = true;
        } else if (argument.starts_with(VerifyProtocol::cpuSecondsOption)) {
            options.cpuSeconds = count(argument.substr(VerifyProtocol::cpuSecondsOption.size()));
            if (!options.cpuSeconds) return std::nullopt;
        } else if (argument.starts_with(VerifyProtocol::memoryMiBOption)) {
            options.memoryMiB = count(argument.substr(VerifyProtocol::memoryMiBOption.size()));
            if (!options.memoryMiB || *options.memoryMiB > maxMemoryMiB) return std::nullopt;
        } else if (argument == VerifyProtocol::renderOption) {
            options.render = true;
        } else if (argument.starts_with(VerifyProtocol::maxSideOption)) {
            options.maxSide = count(argument.substr(VerifyProtocol::maxSideOption.size()));
            if (!options.maxSide || *options.maxSide > maxRenderSidePixels) return std::nullopt;
        } else if (argument == VerifyProtocol::uprightOption) {
            options.upright = true;
#ifdef VANTREL_VERIFY_TEST_HOOKS
        } else if (argument.starts_with("--test-")) {
            options.testHook = argument;
#endif
        } else if (!argument.starts_with("-") && options.path.empty()) {
            options.path = argument;
        } else {
            return std::nullopt;
        }
    }
    if (!options.cpuSeconds || !options.memoryMiB) return std::nullopt;
    // A serving process's judge takes its files from its input, and only judges.
    if (options.judgeFiles)
        return options.kind || !options.path.empty() || options.cutAtCap || options.render || options.maxSide ||
                       options.upright
                   ? std::nullopt
                   : std::optional(options);
    if (!options.kind) return std::nullopt;
    // One task per run: judging a named file, or drawing or turning the file at the input descriptor;
    // a drawing needs its square.
    const bool drawing = options.render || options.upright;
    if (options.render && options.upright) return std::nullopt;
    if (options.path.empty() != drawing) return std::nullopt;
    if (options.render != options.maxSide.has_value()) return std::nullopt;
    if (options.cutAtCap && drawing) return std::nullopt;
    return options;
}

bool applyLimits(const Options& options) {
    // CPU time: SIGXCPU at the soft limit ends the process; a serving process's judge gives each file
    // a limit of its own.
    if (!options.judgeFiles && !limit(RLIMIT_CPU, static_cast<rlim_t>(*options.cpuSeconds)))
        return false;
    return ChildLimits::limitCoreAndMemory(*options.memoryMiB);
}

// Started as root (by a window that runs as root), the child judges as nobody once it has read the
// file, and draws as nobody before it reads a byte: a decoder that hostile data takes over has no
// rights beyond that user's and can gain none.
bool dropPrivileges() {
    if (::geteuid() != 0) return true;
    uid_t uid = 65534;
    gid_t gid = 65534;
    if (const auto* entry = ::getpwnam("nobody")) {
        uid = entry->pw_uid;
        gid = entry->pw_gid;
    }
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
           ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::geteuid() == uid && uid != 0;
}

void say(std::string_view key, std::string_view value);

#ifdef VANTREL_VERIFY_TEST_HOOKS
// Stand-ins for a decoder gone wrong, in the test build only.
void runTestHook(const std::string& hook) {
    if (hook == "--test-spin") {
        volatile std::uint64_t spins = 0;
        for (;;) spins = spins + 1;
    }
    if (hook == "--test-hang") std::this_thread::sleep_for(std::chrono::hours(1));
    if (hook == "--test-crash") std::raise(SIGSEGV);
    if (hook == "--test-allocate") {
        std::vector<std::vector<char>> hoard;
        for (;;) hoard.emplace_back(64 << 20, 1);
    }
}

// The same on one file only, "--test-<hook>-on=<end of the file's path>": a decoder that goes wrong
// on that file and judges the others.
void runTestHookOn(const std::string& hook, std::string_view path) {
    constexpr std::string_view on = "-on=";
    const auto at = hook.find(on);
    if (at == std::string::npos) return runTestHook(hook);
    if (path.ends_with(std::string_view(hook).substr(at + on.size()))) runTestHook(hook.substr(0, at));
}

// Answers instead of judging: ok when the judging runs as another user than root with no new
// privileges.
bool identityHook(const std::string& hook) {
    if (hook != "--test-identity") return false;
    const bool dropped = ::geteuid() != 0 && ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
    say(VerifyProtocol::verdictKey, HitIntegrityName::rawValue(dropped ? HitIntegrity::ok : HitIntegrity::failed));
    return true;
}

// Stand-ins for the decoder of a drawing or a turn. "--test-identity" writes as the output who the
// process is (the user, group, groups and new-privileges lines of /proc/self/status) and answers that
// the output was written; "--test-half-write" writes the start of a PNG and crashes.
void drawingHook(const Options& options) {
    if (options.testHook == "--test-half-write") {
        constexpr std::string_view start = "\x89PNG\r\n\x1a\n";
        [[maybe_unused]] const auto put = ::write(VerifyProtocol::outputDescriptor, start.data(), start.size());
        std::raise(SIGSEGV);
    }
    if (options.testHook != "--test-identity") return;
    std::string identity;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        std::array<char, 512> line{};
        while (std::fgets(line.data(), static_cast<int>(line.size()), status)) {
            const std::string_view text(line.data());
            for (const std::string_view key : {"Uid:", "Gid:", "Groups:", "NoNewPrivs:"})
                if (text.starts_with(key)) identity += text;
        }
        std::fclose(status);
    }
    const bool written = ::write(VerifyProtocol::outputDescriptor, identity.data(), identity.size()) ==
                         static_cast<ssize_t>(identity.size());
    if (options.render && written) say(VerifyProtocol::renderedKey, "1x1");
    if (options.render && !written) std::puts(VerifyProtocol::unrenderedLine.data());
    if (options.upright) say(VerifyProtocol::orientationKey, "6");
    if (options.upright && written) std::puts(VerifyProtocol::uprightLine.data());
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
}
#endif

// The whole of the regular file open at fd, which stays open.
std::optional<Bytes> readAll(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > maxFileBytes)
        return std::nullopt;
    Bytes bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    // A file that shrank while being read is judged on what was there.
    bytes.resize(done);
    return bytes;
}

std::optional<Bytes> readWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    auto bytes = readAll(fd);
    ::close(fd);
    return bytes;
}

void say(std::string_view key, std::string_view value) {
    std::printf("%.*s %.*s\n", static_cast<int>(key.size()), key.data(), static_cast<int>(value.size()), value.data());
}

// Writes the picture into the output the application opened; it names the file only when told that
// the picture was written whole, and drops it otherwise.
bool writeOut(const QImage& image, const char* format, int quality) {
    QFile file;
    bool written = file.open(VerifyProtocol::outputDescriptor, QIODevice::WriteOnly, QFileDevice::DontCloseHandle) &&
                   image.save(&file, format, quality);
    return file.flush() && written;
}

int renderPreview(const Options& options, const Bytes& bytes) {
    const auto picture = PreviewRender::render(*options.kind, bytes, static_cast<int>(*options.maxSide));
    if (!picture || !writeOut(picture->image, "png", -1)) {
        std::printf("%.*s\n", static_cast<int>(VerifyProtocol::unrenderedLine.size()), VerifyProtocol::unrenderedLine.data());
    } else {
        say(VerifyProtocol::renderedKey,
            std::to_string(picture->image.width()) + "x" + std::to_string(picture->image.height()));
        if (picture->pageCount) say(VerifyProtocol::pagesKey, std::to_string(*picture->pageCount));
        if (picture->partial) std::printf("%.*s\n", static_cast<int>(VerifyProtocol::partialLine.size()), VerifyProtocol::partialLine.data());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int writeUpright(const Options& options, const Bytes& bytes) {
    const int orientation = PreviewRender::imageOrientation(*options.kind, bytes);
    say(VerifyProtocol::orientationKey, std::to_string(orientation));
    if (orientation > 1) {
        const auto picture = PreviewRender::render(*options.kind, bytes, VerifyProtocol::maxUprightSidePixels);
        if (picture && writeOut(picture->image, "jpeg", VerifyProtocol::uprightJpegQuality))
            std::printf("%.*s\n", static_cast<int>(VerifyProtocol::uprightLine.size()), VerifyProtocol::uprightLine.data());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

void judge(RecoveredFileKind kind, std::optional<ByteView> bytes, bool cutAtCap) {
    if (!bytes) {
        say(VerifyProtocol::verdictKey, VerifyProtocol::unreadableValue);
        return;
    }
    const HitIntegrity verdict = IntegrityCheck::verdict(kind, *bytes, cutAtCap);
    say(VerifyProtocol::verdictKey, HitIntegrityName::rawValue(verdict));
    if (verdict != HitIntegrity::skipped) {
        if (const auto stamp = CaptureDate::stampFromImageData(kind, *bytes)) {
            say(VerifyProtocol::dateKey, stamp->wallClock);
            if (stamp->offset) say(VerifyProtocol::offsetKey, *stamp->offset);
        }
    }
}

// CPU time this process has used, in whole seconds rounded up.
rlim_t cpuSecondsUsed() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micro = [](const timeval& time) {
        return static_cast<std::uint64_t>(time.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(time.tv_usec);
    };
    return static_cast<rlim_t>((micro(usage.ru_utime) + micro(usage.ru_stime) + 999'999) / 1'000'000);
}

// The file open at fd into the buffer, which keeps its size for the next file; the bytes read.
std::optional<ByteView> readInto(int fd, Bytes& buffer) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > maxFileBytes)
        return std::nullopt;
    const auto size = static_cast<std::size_t>(info.st_size);
    if (buffer.size() < size) {
        // Grown without keeping the old bytes, which the next file overwrites anyway.
        Bytes().swap(buffer);
        buffer.resize(size);
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer.data() + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    // A file that shrank while being read is judged on what was there.
    return ByteView(buffer.data(), done);
}

// The judging process: it gives up root before it reads a byte, then judges the files its serving
// process hands it. The CPU-time hard limit bounds the whole process at twice a file's (and the
// start); before each file the soft limit is set to a file's time beyond what was used, and a process
// that could not give the next file its full time says so with its last answer and ends.
int judgeFiles(const Options& options) {
    if (!dropPrivileges()) return limitExit;
    const rlim_t perFile = static_cast<rlim_t>(*options.cpuSeconds);
    const rlim_t whole = 2 * perFile + 1;
    if (!limit(RLIMIT_CPU, whole)) return limitExit;
    Bytes buffer;
    for (int files = 1;; ++files) {
        auto packet = JudgePackets::receive(STDIN_FILENO);
        if (!packet) return usageExit;
        if (packet->text.empty() && packet->fd < 0) return 0;
        const auto request = JudgePackets::parseRequest(packet->text);
        if (!request || packet->fd < 0) return usageExit;
        const rlimit bounds{std::min(whole, cpuSecondsUsed() + perFile), whole};
        if (::setrlimit(RLIMIT_CPU, &bounds) != 0) return limitExit;
#ifdef VANTREL_VERIFY_TEST_HOOKS
        runTestHookOn(options.testHook, request->path);
#endif
        const auto bytes = readInto(packet->fd, buffer);
        ::close(packet->fd);
#ifdef VANTREL_VERIFY_TEST_HOOKS
        const bool answered = bytes && identityHook(options.testHook);
#else
        constexpr bool answered = false;
#endif
        if (!answered) judge(request->kind, bytes, request->cutAtCap);
        if (std::fflush(stdout) != 0) return 1;
        if (buffer.size() > maxKeptBufferBytes) Bytes().swap(buffer);
        const bool last = files >= maxFilesPerJudge || cpuSecondsUsed() + perFile > whole;
        if (!JudgePackets::send(STDIN_FILENO, last ? JudgePackets::lastReply : JudgePackets::judgedReply, -1)) return 1;
        if (last) return 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::fputs("usage: vantrel-verify --kind=<kind> [--cut-at-cap] --cpu-seconds=<n> --memory-mib=<n> <file>\n"
                   "       vantrel-verify --kind=<kind> --cpu-seconds=<n> --memory-mib=<n> --render --max-side=<n>   (file at 3, PNG to 4)\n"
                   "       vantrel-verify --kind=<kind> --cpu-seconds=<n> --memory-mib=<n> --upright   (file at 3, JPEG to 4)\n"
                   "       vantrel-verify --judge --cpu-seconds=<n> --memory-mib=<n>   (packets on standard input)\n",
                   stderr);
        return usageExit;
    }
    if (!applyLimits(*options)) return limitExit;
    if (options->judgeFiles) return judgeFiles(*options);
#ifdef VANTREL_VERIFY_TEST_HOOKS
    runTestHook(options->testHook);
#endif
    if (options->render || options->upright) {
        // The file and the output are open already: nothing here needs root.
        if (!dropPrivileges()) return limitExit;
        const auto bytes = readAll(VerifyProtocol::inputDescriptor);
#ifdef VANTREL_VERIFY_TEST_HOOKS
        drawingHook(*options);
#endif
        // Qt's own cap on one picture's memory would refuse large pictures below the process's limit.
        QImageReader::setAllocationLimit(static_cast<int>(*options->memoryMiB));
        const Bytes none;
        if (options->render) return renderPreview(*options, bytes ? *bytes : none);
        return writeUpright(*options, bytes ? *bytes : none);
    }
    const auto bytes = readWhole(options->path);
    if (!bytes) {
        say(VerifyProtocol::verdictKey, VerifyProtocol::unreadableValue);
        return 0;
    }
    if (!dropPrivileges()) return limitExit;
#ifdef VANTREL_VERIFY_TEST_HOOKS
    if (identityHook(options->testHook)) return 0;
#endif
    judge(*options->kind, ByteView(*bytes), options->cutAtCap);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
