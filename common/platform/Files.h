#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

// Files in a folder that a group shares (the station folder), as the
// operating system opens, writes and locks them. Such a folder is written by
// others: a member could plant a link to another user's file, a FIFO that
// blocks an open, or a device. So nothing here follows a link where it is
// told not to, no open waits, and only regular files are used.
namespace platform {

// What a file is opened for.
struct OpenMode {
  enum Access { Read, Write, ReadWrite } access = Read;
  bool append = false;  // every write goes to the end
  bool create = false;  // made when missing, readable and writable for all less the process's mask
};

// An open regular file; closed when it goes. Each failed call keeps the
// system's reason, for errorText().
class File {
 public:
  // Why an open failed.
  enum class Failure {
    None,
    Missing,     // no such file
    Denied,      // not allowed for this user
    Link,        // a symbolic link where none is followed
    NotFolder,   // a part of the path on the way is not a folder
    NotRegular,  // a FIFO, device, socket or (opened to read) a folder: never used
    Other,       // errorText() says it
  };

  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool isOpen() const { return handle_ >= 0; }
  Failure failure() const { return failure_; }
  // The system's words for the last failure: the open's, or a later call's.
  QString errorText() const;

  // Where the file ends (where an append goes); -1 when not known.
  qint64 size();
  // The byte at offset; nothing when it cannot be read.
  std::optional<char> byteAt(qint64 offset);
  // Everything from the start; nothing when it cannot be read.
  std::optional<QByteArray> readAll();
  // Every byte written, retried after a short write or a signal.
  bool write(const QByteArray& bytes);
  // Data and size on disk (a crash after it keeps them).
  bool sync();
  bool truncate(qint64 size);
  // An exclusive lock that every process locking the same file shares, held
  // until unlock() or the file is closed. Waits at most `limit`, in the
  // order the system serves waiters, without using the processor; gives up
  // soon (within 50 ms) once `stopped` says so. False when not had.
  bool lockWithin(std::chrono::milliseconds limit, const std::function<bool()>& stopped);
  void unlock();
  // False when the system reports a failure on closing (a late write error).
  bool close();

 private:
  friend File openRegular(const QString& folder, const QString& path, const OpenMode& mode);
  bool failed();  // keeps the reason; always false

  std::intptr_t handle_ = -1;  // the system's handle of the open file
  Failure failure_ = Failure::None;
  int error_ = 0;  // the system's code of the last failure
};

// The one way a file in a shared folder is opened. With a folder, path is
// relative to it and no symbolic link is followed anywhere below the folder
// (the caller makes sure the path stays inside, isConfinedPath); with an
// empty folder, path is a plain path with no link followed in its last
// part. The open never waits (a FIFO is refused, not waited on), the file is
// not handed to child processes, and only a regular file is used.
File openRegular(const QString& folder, const QString& path, const OpenMode& mode);

// Whether we may write to a file or folder. Root passes every permission
// check; a read-only setup.ini or program folder must stay read-only for the
// programs all the same, so its mode bits decide then.
bool writableForUs(const QString& path);

// What a path names, its last part not followed when it is a link.
enum class Entry { Missing, RegularFile, Other };
Entry entryAt(const QString& path);

// Whether every account on the machine may read the file.
bool readableByAll(const QString& path);

// How a file made new in a folder is shared.
enum class NewFile {
  AsUsual,    // as the process makes files (its mask applies)
  GroupOnly,  // readable and writable for its group, nothing for others
};

// The whole file replaced by content: a temporary file beside it, on disk,
// then renamed over it, so that a crash leaves the old or the new file and
// no link planted meanwhile is followed. An old regular file's mode (and,
// for root, its owner) carries over; a new file is made as `newFile` says.
// False with `why` (when given) on failure, the old file untouched.
bool replaceByRename(const QString& filePath, const QByteArray& content, NewFile newFile, QString* why = nullptr);

// A new file's name on disk too: the folder holding path is synced.
void syncFolderOf(const QString& path);

}  // namespace platform
