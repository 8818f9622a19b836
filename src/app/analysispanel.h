#pragma once

#include "controller/runanalysis.h"

#include <QWidget>

#include <variant>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kestrel
{

// The fit of the current run: the model, its conditions (the voltage window, the
// temperature, for the diode a shunt) and the results as text to copy. The panel holds
// no run: it says what the user asked for and shows what it is given.
class AnalysisPanel : public QWidget
{
    Q_OBJECT
  public:
    explicit AnalysisPanel(QWidget* parent = nullptr);

    // The fit the fields ask for, or a sentence naming the field that is wrong.
    std::variant<FitRequest, QString> request() const;
    // Puts a request in the fields (a stored fit, a window marked on the chart).
    void setRequest(const FitRequest& request);
    void setWindow(std::optional<double> fromVolts, std::optional<double> toVolts);

    void showResults(const QString& lines);
    void showFailure(const QString& sentence);
    void showBusy();
    void clearResults();
    QString resultsText() const;
    void setFitEnabled(bool on);

    QComboBox* model() const { return model_; }
    QCheckBox* shunt() const { return shunt_; }
    QLineEdit* from() const { return from_; }
    QLineEdit* to() const { return to_; }
    QLineEdit* temperature() const { return temperature_; }
    QPushButton* fitButton() const { return fit_; }
    QPlainTextEdit* results() const { return results_; }

  signals:
    void fitRequested();
    // The window fields were edited; an empty field is that end of the run.
    void windowEdited();

  private:
    QComboBox* model_;
    QCheckBox* shunt_;
    QLineEdit *from_, *to_, *temperature_;
    QPushButton *fit_, *copy_;
    QPlainTextEdit* results_;
};

} // namespace kestrel
