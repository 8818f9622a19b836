#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A temporary home folder whose sendArbcmd.sh plays both instruments without any
// network: it logs every call as "ADDRESS PORT COMMAND" and answers like a source
// and a 1 kOhm resistor behind a meter. Switches (files in the home folder) make the
// meter slow, garbled or silent from its Nth reading on.
class FakeInstruments
{
  public:
    FakeInstruments();

    QString home() const { return dir_.path(); }
    QString path(const QString& name) const { return dir_.filePath(name); }

    // Every call so far, in order: "127.0.0.2 5555 :OUTP1 ON".
    QStringList calls() const;
    QStringList sourceCommands() const; // commands sent to the source address only
    void clearCalls();

    void setMeasureDelay(double seconds);                         // each reading takes this long
    void setMeterReply(int fromReading, const QByteArray& reply); // replies this instead
    void setSettingReply(const QByteArray& reply);                // a complaint to every non-query

    static inline const QString sourceAddress = QStringLiteral("127.0.0.2");
    static inline const QString meterAddress = QStringLiteral("127.0.0.3");

  private:
    void writeFile(const QString& name, const QByteArray& bytes) const;
    QTemporaryDir dir_;
};
