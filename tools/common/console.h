#ifndef CONSOLE_H
#define CONSOLE_H

#include <QIODevice>
#include <QTextStream>

#include <cerrno>
#include <cstdio>

// A C stream as a device that remembers why its first write failed: the stream a QTextStream
// makes of a FILE * keeps no errno, and a full disk or a file-size limit must be named.
class ConsoleDevice : public QIODevice
{
public:
    explicit ConsoleDevice(FILE *file)
        : m_file(file)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    // errno of the first write that failed; 0 while every byte has gone out.
    int failure() const { return m_failure; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        // Flushed at once, so that what the stream has taken is out, or known not to be. After a
        // failure the rest is dropped rather than handed back: the stream would offer it again
        // with every later line, and a disk that has room again would get it twice.
        if (m_failure != 0)
            return size;
        errno = 0;
        if (std::fwrite(data, 1, size_t(size), m_file) != size_t(size) || std::fflush(m_file) != 0)
            m_failure = errno != 0 ? errno : EIO;
        return size;
    }

private:
    FILE *m_file;
    int m_failure = 0;
};

// Standard output and error as UTF-8 text whatever the locale says. Qt 5 would encode a stream
// in the locale's codec (question marks under LANG=C) and read a plain char * as Latin-1, so
// the tools write only QString, through these.
inline QTextStream &consoleStream(FILE *file)
{
    auto make = [](FILE *f) {
        auto *stream = new QTextStream(new ConsoleDevice(f));
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        stream->setCodec("UTF-8");
#endif
        return stream;
    };
    static QTextStream *out = make(stdout);
    static QTextStream *err = make(stderr);
    return file == stderr ? *err : *out;
}

inline QTextStream &standardOutput() { return consoleStream(stdout); }
inline QTextStream &standardError() { return consoleStream(stderr); }

// Standard output flushed: errno of the first of its writes that failed, 0 when all went out.
inline int standardOutputFailure()
{
    QTextStream &out = standardOutput();
    out.flush();
    return static_cast<const ConsoleDevice *>(out.device())->failure();
}

#endif // CONSOLE_H
