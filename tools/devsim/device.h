#ifndef DEVSIM_DEVICE_H
#define DEVSIM_DEVICE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

// What the emulated device does, and the faults it can be told to commit.
struct DeviceOptions
{
    QSet<int> addresses{2};     // device numbers it answers to
    int startAfterProbes = 1;   // answer the K-th probe with the start request
    int wrongStartByte = -1;    // answer the first probe with this single byte instead
    bool doubleStart = false;   // answer the first probe with two start requests
    int nakBlock = 0;           // NAK the block at this position in the file ...
    int nakCount = 1;           // ... this many times
    int silentFromBlock = 0;    // never answer again from this block on
    int cancelAtBlock = 0;      // answer this block with the cancel byte and give up
    int dropAfterBlock = 0;     // hang up the link after acknowledging this block
    int dropSessions = 0;       // ... in the first this many sessions only (0: in every one)
    int hangUpAfterMs = 0;      // hang up the link this long after the address frame
    int eotNaks = 0;            // NAK each end of transmission this many times first
    int noiseEveryMs = 0;       // chatter: one noise byte this often ...
    int noiseForMs = 0;         // ... for this long from the start (0: for ever)
    bool plain = false;         // a plain XMODEM-CRC receiver: no address frame, no probe, 'C' until the first block
    bool verbose = false;
};

// The device's receiver: the address frame, the probe handshake and an XMODEM-CRC receiver with
// 128-byte blocks. Bytes come in through receive() and go out through transmit().
class Device : public QObject
{
    Q_OBJECT
public:
    explicit Device(const DeviceOptions &options, QObject *parent = nullptr);

    void receive(const QByteArray &bytes);

    bool complete() const { return m_state == State::Done; }
    // The device number this session was addressed with, or -1 (none yet, or plain mode).
    int address() const { return m_address; }
    const QByteArray &image() const { return m_image; }
    QString summary() const;

signals:
    void transmit(const QByteArray &bytes);
    void hangUpRequested();
    void completed();
    void note(const QString &line);

private:
    enum class State { AwaitFrame, Probing, Receiving, Silent, Cancelled, Done };

    void onByte(char byte);
    void awaitFrame(char byte);
    void onProbe();
    void onBlock();
    void onEndOfTransmission();
    void onBlockStalled();
    void requestStart();
    void answer(char byte);
    void say(const QString &line);

    DeviceOptions m_options;
    State m_state = State::AwaitFrame;
    QByteArray m_frameWindow;
    QByteArray m_block;
    QByteArray m_image;
    QTimer m_blockTimer;
    QTimer m_noiseTimer;
    QTimer m_startTimer;
    QElapsedTimer m_clock;
    QElapsedTimer m_transferClock;
    qint64 m_transferNs = 0;
    int m_address = -1;
    int m_probes = 0;
    bool m_firstAnswer = true;
    bool m_anyBlock = false;
    int m_expectedNumber = 1;
    int m_blocks = 0;
    int m_naksSent = 0;
    int m_badBlocks = 0;
    int m_nakLeft = 0;
    int m_eotNakLeft = 0;
};

#endif // DEVSIM_DEVICE_H
