#pragma once

#include <QIODevice>

class QSocketNotifier;

namespace kestrel::sim
{

// A pseudo-terminal pair: programs open the terminal's path (/dev/pts/N) as they
// would a serial port; this device reads and writes the other end. The terminal is
// raw (no echo, no line editing) and stays usable however often its users close it.
class PseudoTerminal : public QIODevice
{
    Q_OBJECT

  public:
    explicit PseudoTerminal(QObject* parent = nullptr);
    ~PseudoTerminal() override;

    // Opens a new pair; the reason in *error when that fails.
    bool openPair(QString* error);
    QString terminalPath() const { return path_; }

    bool isSequential() const override { return true; }
    qint64 bytesToWrite() const override { return outgoing_.size(); }

  protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

  private:
    void flush();
    void closePair();

    int master_ = -1;
    // Held open so that the line never hangs up when the last program using it closes.
    int terminal_ = -1;
    QString path_;
    QByteArray outgoing_;
    QSocketNotifier* readable_ = nullptr;
    QSocketNotifier* writable_ = nullptr;
};

} // namespace kestrel::sim
