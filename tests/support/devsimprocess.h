#ifndef DEVSIMPROCESS_H
#define DEVSIMPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The device emulator, run as a child process for one test. The image it receives goes to a
// file of its own, read back with image().
class DevSim
{
public:
    explicit DevSim(const QStringList &arguments);
    ~DevSim();

    // Starts it and waits until its link is ready; false (with output() telling why) otherwise.
    bool start();
    QString where() const { return m_where; }
    // The port of the given cabinet, in the order of the --tcp options.
    quint16 tcpPort(int cabinet = 0) const;

    // Ends it at once, as a device that is unplugged.
    void kill();
    // Waits for it to end and returns its exit code, or -1 if it is still running after ms.
    int waitForExit(int ms = 20000);
    QByteArray image() const;
    QString output() const { return QString::fromUtf8(m_output); }
    // What it has printed so far, while it runs.
    QString currentOutput();

private:
    QTemporaryDir m_dir;
    QStringList m_arguments;
    QProcess m_process;
    QByteArray m_output;
    QString m_where;
    QStringList m_wheres;
};

// Image files for one test suite, in a temporary folder of their own.
class ImageFiles
{
public:
    // Writes the bytes to a new file and returns its path (empty if it could not be written).
    QString write(const QByteArray &bytes);
    QString missing() const { return m_dir.filePath(QStringLiteral("missing.bin")); }

private:
    QTemporaryDir m_dir;
    int m_count = 0;
};

// A firmware image of the given size with a recognisable, non-repeating pattern.
QByteArray firmwareImage(int size);
// The image as the device stores it: the file, then 0xFF up to a whole number of blocks.
QByteArray filledImage(const QByteArray &file);

#endif // DEVSIMPROCESS_H
