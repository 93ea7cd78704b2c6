#ifndef DEVSIM_LINKS_H
#define DEVSIM_LINKS_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>

class QSerialPort;
class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// The emulator's end of a link to the programmer.
class Link : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual QString where() const = 0;
    virtual void write(const QByteArray &bytes) = 0;
    virtual void hangUp() = 0;

signals:
    void received(const QByteArray &bytes);
    void peerClosed();
    // The link cannot come back: a pseudo-terminal whose other end has gone.
    void lost();
    // Something worth a line of the emulator's output.
    void note(const QString &line);
};

// A pseudo-terminal pair made here; the programmer opens the slave side by its path.
class PtyLink : public Link
{
    Q_OBJECT
public:
    explicit PtyLink(QObject *parent = nullptr);
    ~PtyLink() override;
    bool open(QString *error);
    QString where() const override { return m_slavePath; }
    void write(const QByteArray &bytes) override;
    void hangUp() override;

private:
    void readMaster();
    void checkReopened();

    int m_master = -1;
    QString m_slavePath;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_reopenPoll;
};

// An existing serial port, for a bench with two adapters and a cable.
class SerialLink : public Link
{
    Q_OBJECT
public:
    explicit SerialLink(const QString &name, int baud, QObject *parent = nullptr);
    bool open(QString *error);
    QString where() const override;
    void write(const QByteArray &bytes) override;
    void hangUp() override;

private:
    void onError();
    void reopen();

    static constexpr int ReopenMs = 500;
    // A port that went away (an adapter pulled out) is looked for again this often.
    static constexpr int RetryMs = 1000;
    QSerialPort *m_port;
    int m_baud;
    QTimer m_retry;
};

// The cabinet: a TCP server on 127.0.0.1 that passes the byte stream of one connection at a time.
class TcpLink : public Link
{
    Q_OBJECT
public:
    // dropFirst: the first connections are closed at once, as a cabinet that is not ready yet.
    explicit TcpLink(quint16 port, int dropFirst = 0, QObject *parent = nullptr);
    bool open(QString *error);
    QString where() const override;
    void write(const QByteArray &bytes) override;
    void hangUp() override;

private:
    void accept();

    QTcpServer *m_server;
    QTcpSocket *m_client = nullptr;
    quint16 m_port;
    int m_dropFirst;
    int m_connections = 0;
};

// Holds bytes back for the time they would take on a line of the given baud rate, 10 bits a
// byte, in each direction, so that timings over a pseudo-terminal or loopback mean something.
class LinePacer : public QObject
{
    Q_OBJECT
public:
    explicit LinePacer(int baud, QObject *parent = nullptr);
    void fromProgrammer(const QByteArray &bytes);
    void toProgrammer(const QByteArray &bytes);
    // How long until what is held back for the programmer has gone out.
    int msUntilSent() const;
    // Forgets what is held back for the device, as a line that drops loses it.
    void dropIncoming();

signals:
    void deliverToDevice(const QByteArray &bytes);
    void deliverToLink(const QByteArray &bytes);

private:
    struct Direction
    {
        std::deque<std::pair<qint64, QByteArray>> queue;
        qint64 lineFreeNs = 0;
        QTimer timer;
    };
    void enqueue(Direction &direction, const QByteArray &bytes);
    void release(Direction &direction, bool toDevice);

    qint64 m_nsPerByte;
    QElapsedTimer m_clock;
    Direction m_in;
    Direction m_out;
};

#endif // DEVSIM_LINKS_H
