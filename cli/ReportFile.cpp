#include "cli/ReportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// The file a path finally names: symbolic links followed (dangling ones too, so that a
// link to a report not written yet still gets it).
std::string FollowLinks(const std::string& path) {
    std::filesystem::path current = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(current, error))) break;
        const std::filesystem::path target = std::filesystem::read_symlink(current, error);
        if (error) break;
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current.string();
}

bool IsStraightThrough(const std::string& target) {
    struct stat info {};
    if (stat(target.c_str(), &info) != 0) return false;
    return S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISSOCK(info.st_mode);
}

std::string DirectoryOf(const std::string& path) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

} // namespace

std::string TReportFile::Check(const std::string& path) {
    if (path == "-") return "";
    const std::string target = FollowLinks(path);
    if (IsStraightThrough(target)) return "";
    struct stat info {};
    if (stat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return "cannot write the report '" + path + "': it is a directory";
    const std::string dir = DirectoryOf(target);
    if (access(dir.c_str(), W_OK) != 0)
        return "cannot write the report '" + path + "': " + std::strerror(errno) + " (directory '" + dir + "')";
    return "";
}

std::unique_ptr<TReportFile> TReportFile::Open(const std::string& path, std::string& error) {
    std::unique_ptr<TReportFile> file(new TReportFile);
    file->FPath = path;
    if (path == "-") {
        file->FFd = STDOUT_FILENO;
        file->FOwnFd = false;
        return file;
    }
    file->FTarget = FollowLinks(path);
    if (IsStraightThrough(file->FTarget)) {
        file->FFd = open(file->FTarget.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (file->FFd < 0) {
            error = "cannot write the report '" + path + "': " + std::strerror(errno);
            return nullptr;
        }
        return file;
    }
    std::string temporary = DirectoryOf(file->FTarget) + "/." +
                            std::filesystem::path(file->FTarget).filename().string() + ".XXXXXX";
    file->FFd = mkostemp(temporary.data(), O_CLOEXEC);
    if (file->FFd < 0) {
        error = "cannot write the report '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    // mkostemp makes the file private; a report is as readable as any file the user makes.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(file->FFd, 0666 & ~mask);
    file->FTemporary = temporary;
    return file;
}

TReportFile::~TReportFile() {
    if (FFd >= 0 && FOwnFd) close(FFd);
    if (!FTemporary.empty()) unlink(FTemporary.c_str());
}

bool TReportFile::Write(const std::string& text) {
    size_t done = 0;
    while (done < text.size() && FErrno == 0) {
        const ssize_t n = write(FFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) FErrno = n < 0 ? errno : EIO;
        else done += static_cast<size_t>(n);
    }
    return FErrno == 0;
}

bool TReportFile::Commit(std::string& error) {
    if (FErrno == 0 && !FTemporary.empty() && fsync(FFd) != 0) FErrno = errno;
    if (FErrno != 0) {
        error = "cannot write the report '" + FPath + "': " + std::strerror(FErrno) +
                (FTemporary.empty() ? "" : " (the report from before, if any, is unchanged)");
        return false;
    }
    if (FTemporary.empty()) return true;
    if (close(FFd) != 0) {
        FFd = -1;
        error = "cannot write the report '" + FPath + "': " + std::strerror(errno);
        return false;
    }
    FFd = -1;
    if (std::rename(FTemporary.c_str(), FTarget.c_str()) != 0) {
        error = "cannot move the report into place at '" + FTarget + "': " + std::strerror(errno);
        return false;
    }
    FTemporary.clear();
    // The rename itself is on the disk only once the directory is.
    const int dir = open(DirectoryOf(FTarget).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}
