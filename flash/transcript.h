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
    // Any thread may write a line.
    void line(const QString &text);
    // A line could not be written whole: the transcript is incomplete from then on.
    bool failed() const;

signals:
    // Once, at the first line that could not be written, with the system's reason.
    void writeFailed(const QString &why);

public:
    // The probes, status codes and debug lines of every run of the queue.
    void attach(LinkQueue *queue);

private:
    QFile m_file;
    mutable QMutex m_mutex;
    bool m_failed = false;
    qint64 m_whole = 0; // the file's size up to its last whole line
};

#endif // TRANSCRIPT_H
