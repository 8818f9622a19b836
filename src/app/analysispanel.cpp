#include "app/analysispanel.h"

#include "data/numbertext.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace kestrel
{

namespace
{

// An empty field is "none"; anything else must be a plain decimal number.
std::variant<std::optional<double>, QString> optionalVolts(const QLineEdit* field,
                                                           const QString& name)
{
    const QString text = field->text().trimmed();
    if (text.isEmpty())
        return std::optional<double>();
    const auto value = parseNumber(text.toStdString());
    if (!value || !std::isfinite(*value))
        return AnalysisPanel::tr("The window's %1 must be a voltage such as 0.35, or empty for "
                                 "the whole run, not '%2'.")
            .arg(name, text);
    return value;
}

QString fieldText(const std::optional<double>& volts)
{
    return volts ? QString::fromStdString(formatDouble(*volts)) : QString();
}

} // namespace

AnalysisPanel::AnalysisPanel(QWidget* parent)
    : QWidget(parent), model_(new QComboBox(this)),
      shunt_(new QCheckBox(tr("Fit shunt resistance"), this)), from_(new QLineEdit(this)),
      to_(new QLineEdit(this)), temperature_(new QLineEdit(QStringLiteral("25"), this)),
      fit_(new QPushButton(tr("Fit"), this)), copy_(new QPushButton(tr("Copy"), this)),
      results_(new QPlainTextEdit(this))
{
    model_->addItem(tr("Linear"), int(analysis::Model::Linear));
    model_->addItem(tr("Diode"), int(analysis::Model::Diode));
    model_->addItem(tr("Solar cell"), int(analysis::Model::Solar));
    model_->setToolTip(tr("Linear: resistance from a straight line. Diode: Shockley equation "
                          "with series resistance. Solar cell: Isc, Voc, the maximum power "
                          "point and the single-diode model."));
    shunt_->setToolTip(tr("Also fit a resistance in parallel with the diode"));
    for (QLineEdit* field : {from_, to_}) {
        field->setPlaceholderText(tr("whole run"));
        field->setToolTip(tr("The source levels the fit takes, in volts; Shift+drag on the "
                             "chart to mark them"));
        connect(field, &QLineEdit::editingFinished, this, &AnalysisPanel::windowEdited);
    }
    temperature_->setToolTip(tr("The device's temperature, for the thermal voltage"));
    // Room for "-0.125" and the placeholder; the results get the rest of the width.
    for (QLineEdit* field : {from_, to_, temperature_})
        field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("whole run")) +
                             16);
    model_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    model_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    results_->setReadOnly(true);
    // A narrow panel wraps a result at its blanks rather than hiding its unit, and a
    // sentence saying why a fit failed reads whole.
    results_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    results_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    results_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Room for a short result on one line; a longer one wraps.
    results_->setMinimumWidth(
        results_->fontMetrics().horizontalAdvance(QStringLiteral("Voc = 0.5872 V")) + 24);
    results_->setPlaceholderText(tr("Choose a model and press Fit."));
    results_->setToolTip(tr("The fitted values, one per line, with one standard error"));

    auto* form = new QFormLayout;
    form->addRow(tr("Model:"), model_);
    form->addRow(QString(), shunt_);
    auto* window = new QHBoxLayout;
    window->addWidget(from_);
    window->addWidget(new QLabel(tr("to"), this));
    window->addWidget(to_);
    window->addWidget(new QLabel(QStringLiteral("V"), this));
    window->addStretch();
    form->addRow(tr("Window:"), window);
    auto* temperature = new QHBoxLayout;
    temperature->addWidget(temperature_);
    temperature->addWidget(new QLabel(QStringLiteral("°C"), this));
    temperature->addStretch();
    form->addRow(tr("Temperature:"), temperature);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(fit_);
    buttons->addWidget(copy_);
    buttons->addStretch();
    // The fields on the left, the results beside them: the panel is wide and low.
    auto* fields = new QVBoxLayout;
    fields->addLayout(form);
    fields->addLayout(buttons);
    fields->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(fields);
    layout->addWidget(results_, 1);

    const auto modelChosen = [this] {
        shunt_->setEnabled(model_->currentData().toInt() == int(analysis::Model::Diode));
    };
    connect(model_, &QComboBox::currentIndexChanged, this, modelChosen);
    modelChosen();
    connect(fit_, &QPushButton::clicked, this, &AnalysisPanel::fitRequested);
    connect(copy_, &QPushButton::clicked, this, [this] {
        if (QClipboard* clipboard = QApplication::clipboard())
            clipboard->setText(results_->toPlainText());
    });
}

std::variant<FitRequest, QString> AnalysisPanel::request() const
{
    FitRequest request;
    request.model = analysis::Model(model_->currentData().toInt());
    request.shunt = request.model == analysis::Model::Diode && shunt_->isChecked();
    const auto from = optionalVolts(from_, tr("start"));
    if (const QString* problem = std::get_if<QString>(&from))
        return *problem;
    const auto to = optionalVolts(to_, tr("end"));
    if (const QString* problem = std::get_if<QString>(&to))
        return *problem;
    request.fromVolts = std::get<std::optional<double>>(from);
    request.toVolts = std::get<std::optional<double>>(to);
    if (request.fromVolts && request.toVolts && *request.fromVolts >= *request.toVolts)
        return tr("The window must start below its end: %1 V to %2 V is empty.")
            .arg(fieldText(request.fromVolts), fieldText(request.toVolts));
    const QString celsiusText = temperature_->text().trimmed();
    const auto celsius = parseNumber(celsiusText.toStdString());
    if (!celsius || !isFitTemperature(*celsius))
        return tr("The temperature must be in degrees Celsius, above -273.15 and up to 1000, "
                  "not '%1'.")
            .arg(celsiusText);
    request.temperatureC = *celsius;
    return request;
}

void AnalysisPanel::setRequest(const FitRequest& request)
{
    model_->setCurrentIndex(model_->findData(int(request.model)));
    shunt_->setChecked(request.shunt);
    setWindow(request.fromVolts, request.toVolts);
    temperature_->setText(QString::fromStdString(formatDouble(request.temperatureC)));
}

void AnalysisPanel::setWindow(std::optional<double> fromVolts, std::optional<double> toVolts)
{
    from_->setText(fieldText(fromVolts));
    to_->setText(fieldText(toVolts));
}

void AnalysisPanel::showResults(const QString& lines)
{
    results_->setStyleSheet(QString());
    results_->setPlainText(lines);
}

void AnalysisPanel::showFailure(const QString& sentence)
{
    results_->setStyleSheet(QStringLiteral("color: #b00020;"));
    results_->setPlainText(sentence);
}

void AnalysisPanel::showBusy()
{
    results_->setStyleSheet(QString());
    results_->setPlainText(tr("Fitting…"));
}

void AnalysisPanel::clearResults()
{
    results_->setStyleSheet(QString());
    results_->clear();
}

QString AnalysisPanel::resultsText() const
{
    return results_->toPlainText();
}

void AnalysisPanel::setFitEnabled(bool on)
{
    fit_->setEnabled(on);
}

} // namespace kestrel
