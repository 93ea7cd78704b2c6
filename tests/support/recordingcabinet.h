#ifndef RECORDINGCABINET_H
#define RECORDINGCABINET_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A cabinet on 127.0.0.1 that only listens: it keeps every byte with its arrival time, and can
// answer one probe with given bytes after a delay.
class RecordingCabinet : public QObject
{
public:
    RecordingCabinet();
    void answerProbe(int probe, int delayMs, const QByteArray &answer);
    QString port() const { return QString::number(m_server.serverPort()); }
    QByteArray bytes() const { return m_bytes; }
    bool contacted() const { return m_client != nullptr || m_server.hasPendingConnections(); }
    // Arrival times of the probe bytes after the address frame, in milliseconds.
    QList<qint64> probeTimes() const;

private:
    void receive();

    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    QElapsedTimer m_clock;
    QByteArray m_bytes;
    QList<qint64> m_times;
    int m_probes = 0;
    int m_answerProbe = 0;
    int m_answerDelayMs = 0;
    QByteArray m_answer;
};

#endif // RECORDINGCABINET_H
