#ifndef TRANSCRIPT_H
#define TRANSCRIPT_H

#include <QFile>
#include <QMutex>
#include <QObject>

class LinkQueue;

// The --log file: timestamped lines (UTC) of everything the batch and its workers did, in the
// order it happened. The workers' reports arrive in their own threads, as they happen.
class Transcript : public QObject
{
    Q_OBJECT
public:
    explicit Transcript(QObject *parent = nullptr);

    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }
    // Any thread may write a line.
    void line(const QString &text);
    // The probes, status codes and debug lines of every run of the queue.
    void attach(LinkQueue *queue);

private:
    QFile m_file;
    QMutex m_mutex;
};

#endif // TRANSCRIPT_H
