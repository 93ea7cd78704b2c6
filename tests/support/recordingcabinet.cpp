#include "recordingcabinet.h"

#include <QTcpSocket>
#include <QTimer>

#include "xmodemframe.h"

RecordingCabinet::RecordingCabinet()
{
    m_clock.start();
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        m_client = m_server.nextPendingConnection();
        connect(m_client, &QTcpSocket::readyRead, this, &RecordingCabinet::receive);
    });
}

void RecordingCabinet::answerProbe(int probe, int delayMs, const QByteArray &answer)
{
    m_answerProbe = probe;
    m_answerDelayMs = delayMs;
    m_answer = answer;
}

// The device's documented probe byte, written out rather than taken from the program's header,
// so that a changed constant there shows.
constexpr char DocumentedProbe = 0x64;

void RecordingCabinet::receive()
{
    for (const char byte : m_client->readAll()) {
        m_bytes.append(byte);
        m_times.append(m_clock.elapsed());
        if (byte == DocumentedProbe && ++m_probes == m_answerProbe)
            QTimer::singleShot(m_answerDelayMs, m_client, [this] { m_client->write(m_answer); });
    }
}

QList<qint64> RecordingCabinet::probeTimes() const
{
    QList<qint64> times;
    for (int i = ADDRESS_FRAME_SIZE; i < m_bytes.size(); ++i)
        if (m_bytes.at(i) == DocumentedProbe)
            times << m_times.at(i);
    return times;
}
