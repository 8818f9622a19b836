#pragma once

#include <qcustomplot.h>

namespace kestrel
{

// Tick labels with SI prefixes and the unit ("−500 mV", "12.5 µA"), each with just the
// digits that tell it from its neighbours, so one axis never mixes notations.
class SiTicker : public QCPAxisTicker
{
  public:
    explicit SiTicker(QString unit) : unit_(std::move(unit)) {}

  protected:
    QVector<QString> createLabelVector(const QVector<double>& ticks, const QLocale& locale,
                                       QChar formatChar, int precision) override;

  private:
    QString unit_;
};

// The same for a logarithmic axis: decades read "1 µA", "10 µA", "100 µA", "1 mA".
class SiLogTicker : public QCPAxisTickerLog
{
  public:
    explicit SiLogTicker(QString unit) : unit_(std::move(unit)) {}

  protected:
    QVector<QString> createLabelVector(const QVector<double>& ticks, const QLocale& locale,
                                       QChar formatChar, int precision) override;

  private:
    QString unit_;
};

} // namespace kestrel
