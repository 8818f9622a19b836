#include "fakeinstruments.h"

#include <QFile>
#include <QTest>

FakeInstruments::FakeInstruments()
{
    writeFile(QStringLiteral("sendArbcmd.sh"), R"SH(#!/bin/sh
here=$(dirname "$0")
printf '%s %s %s\n' "$1" "$2" "$3" >> "$here/calls.log"
case "$3" in
  '*IDN?') echo "FAKE,Instrument at $1,0,1.0" ;;
  ':SOUR1:APPL:DC 1,1,'*) echo "${3#:SOUR1:APPL:DC 1,1,}" > "$here/level"
      [ -f "$here/setting-reply" ] && cat "$here/setting-reply" ;;
  ':MEAS:CURR:DC?')
      n=$(( $(cat "$here/readings" 2>/dev/null || echo 0) + 1 )); echo $n > "$here/readings"
      [ -f "$here/delay" ] && sleep "$(cat "$here/delay")"
      if [ -f "$here/meter-from" ] && [ "$n" -ge "$(cat "$here/meter-from")" ]; then
        cat "$here/meter-reply"
      else
        awk '{ printf "%.6E\n", $1 / 1000 }' "$here/level"
      fi ;;
  *'?') echo "0" ;;
  *) [ -f "$here/setting-reply" ] && cat "$here/setting-reply" ;;
esac
exit 0
)SH");
    QFile::setPermissions(path(QStringLiteral("sendArbcmd.sh")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    writeFile(QStringLiteral("level"), "0\n");
}

void FakeInstruments::writeFile(const QString& name, const QByteArray& bytes) const
{
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.write(bytes);
}

QStringList FakeInstruments::calls() const
{
    QFile file(path(QStringLiteral("calls.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

QStringList FakeInstruments::sourceCommands() const
{
    QStringList commands;
    const QString prefix = sourceAddress + QStringLiteral(" 5555 ");
    for (const QString& call : calls())
        if (call.startsWith(prefix))
            commands << call.mid(prefix.size());
    return commands;
}

void FakeInstruments::clearCalls()
{
    QFile::remove(path(QStringLiteral("calls.log")));
}

void FakeInstruments::setMeasureDelay(double seconds)
{
    writeFile(QStringLiteral("delay"), QByteArray::number(seconds));
}

void FakeInstruments::setMeterReply(int fromReading, const QByteArray& reply)
{
    writeFile(QStringLiteral("meter-reply"), reply);
    writeFile(QStringLiteral("meter-from"), QByteArray::number(fromReading));
}

void FakeInstruments::setSettingReply(const QByteArray& reply)
{
    writeFile(QStringLiteral("setting-reply"), reply);
}
