#ifndef XMODEM_H
#define XMODEM_H

#include <QObject>
#include <QString>
#include <cstdint>

#include "runevents.h"
#include "runresult.h"
#include "xmodemframe.h"

#include <QByteArray>

class BoundedWait;
class QLoggingCategory;
class QIODevice;
class QSerialPort;
class QTcpSocket;

// Status codes carried by Xmodem::status_dev(int). Codes 3, -1, -2, -3 and -6 are never
// emitted by the worker; the window shows them all the same.
enum DeviceStatus : int {
    STATUS_DEVICE_CONNECTED = 1,
    STATUS_FILE_SENT = 2,
    STATUS_CONNECTING = 3,
    STATUS_CABINET_CONNECTED = 4,
    ERROR_NO_LINK_INTERFACE = -1,
    ERROR_PORT = -2,
    ERROR_PORT_ALREADY_OPEN = -3,
    ERROR_PORT_NOT_OPENING = -4,
    ERROR_NO_INTERFACE = -5,
    ERROR_PORT_CLOSED = -6,
    ERROR_WRONG_ANSWER = -7,
    ERROR_BAD_FILE_NAME = -8,
    ERROR_BAD_FILE_SIZE = -9,
    ERROR_SEND_FAILED = -10,
    ERROR_BAD_IP_ADDRESS = -11,
    ERROR_BAD_ETH_PORT = -12,
    ERROR_LINK_LOST = -13,
    ERROR_ETH_CONNECT = -14,
    STATUS_STOPPED = -15,
};

// One firmware update run: set it up through the setters, move it to a thread of its own and
// call connectDevice() (serial) or connectEthDevice() (Ethernet) there. The call performs the
// whole run and ends it with runEvents()->result() and then finished(), each exactly once; nothing
// follows finished(). Two ways to stop it, both decided here, in the run's thread: stop() (or
// stopHandshake()) ends the handshake only (a transfer under way goes on), abandon() ends the
// run wherever it is and closes the link. A thread interruption request (QThread::requestInterruption) counts as an
// abandon, for an owner that is going away.
class Xmodem : public QObject
{
    Q_OBJECT
public:
    explicit Xmodem(QObject *parent = nullptr);
    ~Xmodem() override;

    static constexpr qint64 MinSerialFileSize = 4096;
    static constexpr qint64 MaxSerialFileSize = 131072;
    // A block or the end of transmission answered with NAK goes out again, this often in all.
    static constexpr int MaxTransmissions = 10;

    // The run's result and its debug lines, signalled by a companion that lives with the worker.
    RunEvents *runEvents() const { return m_events; }

signals:
    void output(QString message);
    void start_transmit();
    void finished();
    void status_dev(int status);
    void progress(int totalread, qint64 sizefile);

public slots:
    void setPortName(QString portname);
    QString getPortName();
    void setFileName(QString filename);
    QString getFileName();
    void setIP(QString ipAddr);
    QString getIP();
    void setEthPort(QString ethport);
    QString getEthPort();
    void setDevNumber(uint8_t dNumber);
    uint8_t getDevNumber();
    bool sendFile(QString filePath);
    int connectDevice();
    int connectEthDevice();
    bool sendEthFile(QString filePath);
    void readEth();
    void socketEthConnected();
    void socketEthDisConnected();
    uint16_t CRC16_2(const QByteArray *buf);
    void stop();
    // The bytes every transfer of this worker sends, read once by the owner, instead of
    // reading the file: the file name then only names them.
    void setImage(QByteArray image);
    // As stop(), but an Ethernet run also ends its probe group at once instead of letting it
    // run out: for an operator who is waiting.
    void stopHandshake();
    void abandon();

private:
    int endRun(int result);
    void report(int status);
    bool abandoned() const;
    bool transferFile(QIODevice *link, const QString &filePath);
    bool transferImage(QIODevice *link, QIODevice *source, qint64 imageSize, const QString &name);
    bool deliver(QIODevice *link, const QByteArray &message, BoundedWait &ackWait);
    int waitAck(QIODevice *link, int timeoutMs, BoundedWait &wait);
    void drain(QIODevice *link);
    template <typename... Parts>
    void debugLine(const QLoggingCategory &category, const Parts &...parts);

    QSerialPort *serialPort;
    QTcpSocket *ethSocket;
    int32_t blockNumber;
    int32_t runCounter;
    QString portName;
    QString fileName;
    QString ipAddress;
    QString ethPort;
    bool ethConnected;
    uint8_t devNumber;

    QByteArray m_image;
    bool m_hasImage = false;
    bool m_abandonRequested = false;
    bool m_stopAtOnce = false;
    bool m_handshakeStopped = false;
    bool m_runOver = false;
    RunResult m_result;
    RunEvents *m_events;
};

#endif // XMODEM_H
