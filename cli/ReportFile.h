#pragma once
// Where a report goes. A regular file (or one that does not exist yet) is written to a
// temporary file in the same directory, flushed to the disk, then renamed over it, so a
// report is either whole or the one from before; a symbolic link is followed to the file
// it names, which is then written the same way; a FIFO, a terminal or another character
// device, and "-" (standard output), are written straight through, never replaced.

#include <memory>
#include <string>

class TReportFile {
public:
    // Says why path cannot take a report, before anything is sent: empty when it can
    // (its directory is writable, or it is a device or FIFO).
    static std::string Check(const std::string& path);
    // Opens the report; null with the reason in error (naming the file).
    static std::unique_ptr<TReportFile> Open(const std::string& path, std::string& error);
    ~TReportFile();

    bool Write(const std::string& text);
    // Finishes the report: flushed, synced and renamed into place. False with the reason
    // when any write or the rename failed; the old report is then left as it was.
    bool Commit(std::string& error);

private:
    TReportFile() = default;
    std::string FPath;      // what the user named
    std::string FTarget;    // the file written in the end (a link's target)
    std::string FTemporary; // empty when written straight through
    int FFd = -1;
    bool FOwnFd = true;
    int FErrno = 0;
};
