#include "SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sirano {
namespace {

constexpr qsizetype kTemporarySuffixLength = 6;  // mkostemp's XXXXXX

WriteFailure failure(Reason::Kind step, int error) {
    return WriteFailure{Reason{step, {}, QString::fromLocal8Bit(std::strerror(error))}, false};
}

// Closes the descriptor unless close() was called and answered.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // 0 or -1 with errno, like ::close.
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};

// Removes the temporary file unless released.
class TemporaryName {
public:
    explicit TemporaryName(QByteArray path) : path_(std::move(path)) {}
    ~TemporaryName() {
        if (!path_.isEmpty())
            ::unlink(path_.constData());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;

    const char* get() const { return path_.constData(); }
    void release() { path_.clear(); }

private:
    QByteArray path_;
};

std::optional<WriteFailure> writeAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failure(Reason::Kind::Writing, n < 0 ? errno : EIO);
        p += n;
        left -= n;
    }
    return std::nullopt;
}

// The rename is on disk only once its folder is; a failure here cannot undo it, so it is not one.
void syncFolder(const QByteArray& file) {
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(file)).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

QString writeTarget(const QString& path) {
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    return info.exists() ? info.canonicalFilePath() : info.symLinkTarget();
}

}  // namespace

std::optional<WriteFailure> writeFileAtomically(const QString& path, const QByteArray& bytes,
                                                ExistingFile existing) {
    // A link is followed only when it is our own: one that another user put there (in a shared
    // folder such as /tmp) would have us replace a file of their choosing, and resolving it
    // ourselves would pass by the kernel's protection of links in sticky folders.
    struct stat link {};
    if (existing == ExistingFile::Replace &&
        ::lstat(QFile::encodeName(path).constData(), &link) == 0 && S_ISLNK(link.st_mode) &&
        link.st_uid != ::geteuid())
        return WriteFailure{Reason{Reason::Kind::ForeignLink}, false};
    // A name that must not exist is never followed: any link there is an existing file.
    const QByteArray target =
        QFile::encodeName(existing == ExistingFile::Replace ? writeTarget(path) : path);
    QByteArray pattern = target + ".XXXXXX";
    Descriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return failure(Reason::Kind::TemporaryNotCreated, errno);
    TemporaryName temporary(pattern);

    // mkostemp's 0600 is narrowed by the umask; the owner must keep reading and writing it.
    if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0)
        return failure(Reason::Kind::TemporaryModeNotSet, errno);
    if (auto failed = writeAll(fd.get(), bytes))
        return failed;
    if (::fsync(fd.get()) != 0)
        return failure(Reason::Kind::Syncing, errno);
    if (fd.close() != 0)
        return failure(Reason::Kind::Closing, errno);

    if (existing == ExistingFile::Keep) {
        // Claims the name first, at one moment that refuses an existing file; the rename then
        // replaces only that empty claim. (A hard link would do it in one step, but not on every
        // file system a backup goes to.)
        const int claim =
            ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (claim < 0) {
            const int error = errno;
            if (error == EEXIST)
                return WriteFailure{Reason{Reason::Kind::FileExists}, true};
            return failure(Reason::Kind::FileNotCreated, error);
        }
        ::close(claim);
    }
    if (::rename(temporary.get(), target.constData()) != 0) {
        const int error = errno;
        if (existing == ExistingFile::Keep)
            ::unlink(target.constData());
        return failure(Reason::Kind::Renaming, error);
    }
    temporary.release();
    syncFolder(target);
    return std::nullopt;
}

bool isTemporaryOf(const QString& name, const QString& fileName) {
    if (name.size() != fileName.size() + 1 + kTemporarySuffixLength || !name.startsWith(fileName) ||
        name[fileName.size()] != u'.')
        return false;
    for (qsizetype i = fileName.size() + 1; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')))
            return false;
    }
    return true;
}

int removeStaleTemporaries(const QString& folder, const QString& fileName) {
    const QDir dir(folder);
    int removed = 0;
    // No name filter: QDir matches one through a regular expression, which loads and compiles
    // PCRE2 for a program that has no other use for it; isTemporaryOf() sorts the names anyway.
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : names) {
        if (!isTemporaryOf(name, fileName))
            continue;
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (::unlink(path.constData()) == 0)
            ++removed;
    }
    return removed;
}

}  // namespace sirano
