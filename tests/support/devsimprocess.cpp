#include "devsimprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include "xmodemframe.h"

DevSim::DevSim(const QStringList &arguments)
    : m_arguments(arguments)
{
    if (!m_arguments.contains(QStringLiteral("--out")))
        m_arguments << QStringLiteral("--out") << m_dir.filePath(QStringLiteral("image.bin"));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

DevSim::~DevSim()
{
    kill();
}

void DevSim::kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool DevSim::start()
{
    m_process.start(QStringLiteral(DEVSIM_PATH), m_arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    static const QRegularExpression ready(QStringLiteral("link ready at (\\S+)"));
    // Each --tcp is a cabinet of its own: wait for all of them.
    const int links = qMax(1, int(m_arguments.count(QStringLiteral("--tcp"))));
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        m_output += m_process.readAll();
        m_wheres.clear();
        for (auto it = ready.globalMatch(QString::fromUtf8(m_output)); it.hasNext();)
            m_wheres << it.next().captured(1);
        if (m_wheres.size() >= links) {
            m_where = m_wheres.constFirst();
            return true;
        }
        if (!m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
    }
    return false;
}

quint16 DevSim::tcpPort(int cabinet) const
{
    return quint16(m_wheres.value(cabinet).section(QLatin1Char(':'), -1).toUInt());
}

QString DevSim::currentOutput()
{
    m_output += m_process.readAll();
    return output();
}

int DevSim::waitForExit(int ms)
{
    if (!m_process.waitForFinished(ms) && m_process.state() != QProcess::NotRunning)
        return -1;
    m_output += m_process.readAll();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QByteArray DevSim::image() const
{
    QFile file(m_dir.filePath(QStringLiteral("image.bin")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString ImageFiles::write(const QByteArray &bytes)
{
    const QString path = m_dir.filePath(QStringLiteral("image%1.bin").arg(++m_count));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray firmwareImage(int size)
{
    QRandomGenerator generator{quint32(size)};
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

QByteArray filledImage(const QByteArray &file)
{
    const int blocks = (file.size() + XMODEM_PAYLOAD_SIZE - 1) / XMODEM_PAYLOAD_SIZE;
    return file + QByteArray(blocks * XMODEM_PAYLOAD_SIZE - file.size(), XMODEM_FILL_BYTE);
}
