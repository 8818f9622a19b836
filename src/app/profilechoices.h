#pragma once

#include "controller/session.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QSet>

#include <functional>

namespace kestrel
{

// The part of the window that follows the instruments' profiles: a profile list per
// instrument, whether the source measures too, and the sweep fields each profile
// decides (ranges, rates, NPLC, compliance). What a profile cannot do is greyed.
class ProfileChoices : public QObject
{
    Q_OBJECT
  public:
    struct Outlets {
        QPointer<QComboBox> sourceProfile, meterProfile, range, rate;
        QPointer<QCheckBox> sourceMeasures, continueAtCompliance;
        QPointer<QLineEdit> compliance, nplc;
        QPointer<QLabel> sourceLabel, meterLabel;
        // The meter's own fields, greyed while the source measures.
        QPointer<QLineEdit> meterAddress, meterPort;
        QPointer<QPushButton> meterIdentify;
        QPointer<QComboBox> stepProfile; // a family's step source
    };

    ProfileChoices(Session& session, const Outlets& outlets,
                   std::function<void(const QString& text, bool problem)> showStatus);

    // Fills the profile lists and the fields as last run; once, at start.
    void restore(const StoredSweep& stored);
    // Reads the profiles' folders again: files added or mended since show up.
    void reload();
    // What the fields say, into the sweep as typed.
    void read(StoredSweep& typed) const;
    // Greys what the profiles cannot do, and everything while a sweep runs.
    void setSweeping(bool sweeping);
    // The text beside an identified instrument's Identify: its identity and profile.
    QString labelText(Session::Which which) const;

  private:
    QComboBox* listOf(Session::Which which) const;
    QLabel* labelOf(Session::Which which) const;
    void fillProfileList(Session::Which which);
    void profileChanged(Session::Which which);
    void chosen(Session::Which which);
    void sourceMeasuresToggled(bool on);
    // The range, rate and NPLC the meter's profile offers; the choice kept where it can be.
    void fillMeterFields();
    void updateEnabled();

    Session& session_;
    Outlets o_;
    std::function<void(const QString&, bool)> showStatus_;
    ProfileCatalog catalog_;
    QSet<QString> errorsShown_; // each unreadable file is said once
    bool sweeping_ = false;
    // The range and rate last chosen or remembered, chosen again whenever the meter's
    // profile changes and offers them: a stored choice waits for its profile.
    QVariant wantedRange_ = 0;
    // The profile whose list an index range was chosen from: index 2 of one meter is not
    // index 2 of another. Auto is Auto on any meter that has it.
    QString wantedRangeProfile_ = defaultProfileName;
    QVariant wantedRate_ = QStringLiteral("medium");
};

} // namespace kestrel
