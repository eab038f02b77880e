#include "smallfile.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_UNIX

std::optional<QByteArray> readSmallFile(const QString &path, qint64 maxBytes) {
    // Opened without blocking, then checked on the open descriptor: a FIFO
    // put in the file's place between a check and the open cannot hang us.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> result;
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= maxBytes) {
        // Read one byte past the limit, so a file that grew meanwhile is refused too.
        QByteArray content(maxBytes + 1, Qt::Uninitialized);
        qint64 total = 0;
        bool failed = false;
        while (total < content.size()) {
            const ssize_t got = ::read(fd, content.data() + total, size_t(content.size() - total));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                failed = true;
                break;
            }
            if (got == 0)
                break;
            total += got;
        }
        if (!failed && total <= maxBytes) {
            content.truncate(total);
            result = std::move(content);
        }
    }
    ::close(fd);
    return result;
}

#else

std::optional<QByteArray> readSmallFile(const QString &path, qint64 maxBytes) {
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > maxBytes)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray content = file.read(maxBytes + 1);
    if (content.size() > maxBytes)
        return std::nullopt;
    return content;
}

#endif
