#include "app/profilechoices.h"

#include "data/printabletext.h"
#include "data/sitext.h"

namespace kestrel
{

namespace
{

bool fills(const InstrumentProfile& profile, Session::Which which)
{
    return which == Session::Which::Meter ? profile.canMeasure : profile.canSource;
}

// Selects the item holding data without telling the user's handlers.
void selectData(QComboBox* list, const QVariant& data)
{
    if (!list)
        return;
    const QSignalBlocker quiet(list);
    list->setCurrentIndex(std::max(0, list->findData(data)));
}

} // namespace

ProfileChoices::ProfileChoices(Session& session, const Outlets& outlets,
                               std::function<void(const QString&, bool)> showStatus)
    : session_(session), o_(outlets), showStatus_(std::move(showStatus))
{
    for (const Session::Which which :
         {Session::Which::Source, Session::Which::Meter, Session::Which::Step})
        if (QComboBox* list = listOf(which))
            connect(list, &QComboBox::activated, this, [this, which] { chosen(which); });
    if (o_.sourceMeasures)
        connect(o_.sourceMeasures, &QCheckBox::toggled, this,
                &ProfileChoices::sourceMeasuresToggled);
    // Any change but the lists' own refills (which block signals) is a choice.
    if (o_.range)
        connect(o_.range, &QComboBox::currentIndexChanged, this, [this] {
            wantedRange_ = o_.range->currentData();
            wantedRangeProfile_ = session_.profile(Session::Which::Meter)->name;
        });
    if (o_.rate)
        connect(o_.rate, &QComboBox::currentIndexChanged, this,
                [this] { wantedRate_ = o_.rate->currentData(); });
    connect(&session_, &Session::profileChanged, this,
            [this](Session::Which which) { profileChanged(which); });
}

void ProfileChoices::restore(const StoredSweep& stored)
{
    wantedRange_ = stored.rangeIndex;
    wantedRangeProfile_ = defaultProfileName; // what the window's settings have always held
    wantedRate_ = stored.meterRate;
    reload();
    fillMeterFields();
    if (o_.nplc)
        o_.nplc->setText(stored.nplc);
    if (o_.compliance)
        o_.compliance->setText(stored.compliance);
    if (o_.continueAtCompliance)
        o_.continueAtCompliance->setChecked(stored.continueAtCompliance);
    updateEnabled();
    if (o_.sourceMeasures && o_.sourceMeasures->isEnabled())
        o_.sourceMeasures->setChecked(stored.meterIsSource);
}

void ProfileChoices::reload()
{
    catalog_ = loadProfiles();
    QStringList unread;
    for (const ProfileError& error : catalog_.errors) {
        const QString text = error.text();
        if (!errorsShown_.contains(text)) {
            errorsShown_.insert(text);
            unread << printableText(text);
        }
    }
    if (!unread.isEmpty() && showStatus_)
        showStatus_(tr("Instrument profiles left out, as they cannot be read: %1")
                        .arg(unread.join(QStringLiteral("; "))),
                    true);
    fillProfileList(Session::Which::Source);
    fillProfileList(Session::Which::Meter);
    fillProfileList(Session::Which::Step);
}

QComboBox* ProfileChoices::listOf(Session::Which which) const
{
    return which == Session::Which::Source  ? o_.sourceProfile.data()
           : which == Session::Which::Meter ? o_.meterProfile.data()
                                            : o_.stepProfile.data();
}

QLabel* ProfileChoices::labelOf(Session::Which which) const
{
    // The step source has no label of its own: the window's identity line tells it.
    return which == Session::Which::Source  ? o_.sourceLabel.data()
           : which == Session::Which::Meter ? o_.meterLabel.data()
                                            : nullptr;
}

void ProfileChoices::fillProfileList(Session::Which which)
{
    QComboBox* list = listOf(which);
    if (!list)
        return;
    const QSignalBlocker quiet(list);
    list->clear();
    for (const ProfilePtr& profile : catalog_.profiles)
        if (fills(*profile, which)) {
            list->addItem(profile->name, profile->name);
            list->setItemData(list->count() - 1, profile->description, Qt::ToolTipRole);
        }
    // The profile in use stays listed, even when its file has gone since.
    const QString inUse = session_.profile(which)->name;
    if (list->findData(inUse) < 0)
        list->addItem(inUse, inUse);
    list->setCurrentIndex(list->findData(inUse));
}

void ProfileChoices::chosen(Session::Which which)
{
    QComboBox* list = listOf(which);
    // A refused choice is said in the status area; the list shows the profile in use.
    if (!session_.chooseProfile(which, list->currentData().toString()))
        selectData(list, session_.profile(which)->name);
}

void ProfileChoices::profileChanged(Session::Which which)
{
    QComboBox* list = listOf(which);
    const QString name = session_.profile(which)->name;
    if (list && list->findData(name) < 0)
        list->addItem(name, name);
    selectData(list, name);
    if (which == Session::Which::Meter)
        fillMeterFields();
    if (QLabel* label = labelOf(which); label && session_.isIdentified(which)) {
        label->setText(labelText(which));
        label->setToolTip(label->text());
    }
    updateEnabled();
}

QString ProfileChoices::labelText(Session::Which which) const
{
    const bool follows = which == Session::Which::Meter && session_.meterFollowsSource();
    if (!session_.isIdentified(which))
        return follows ? tr("The source measures: identify the source.") : QString();
    const QString shown = tr("%1 — profile %2")
                              .arg(printableText(session_.identity(which)),
                                   printableText(session_.profile(which)->name));
    return follows ? tr("The source measures: %1").arg(shown) : shown;
}

void ProfileChoices::sourceMeasuresToggled(bool on)
{
    if (!session_.setMeterFollowsSource(on)) {
        const QSignalBlocker quiet(o_.sourceMeasures);
        o_.sourceMeasures->setChecked(!on);
        return;
    }
    profileChanged(Session::Which::Meter);
    if (o_.meterLabel) {
        const QString text = on || session_.isIdentified(Session::Which::Meter)
                                 ? labelText(Session::Which::Meter)
                                 : tr("not identified yet");
        o_.meterLabel->setText(text);
        o_.meterLabel->setToolTip(text);
    }
}

void ProfileChoices::fillMeterFields()
{
    const ProfilePtr meter = session_.profile(Session::Which::Meter);
    // The wanted range where this profile has it; else Auto where it has that, else
    // its most sensitive range.
    if (QComboBox* list = o_.range) {
        const QSignalBlocker quiet(list);
        list->clear();
        if (meter->hasAutoRange())
            list->addItem(tr("Auto"), autoRangeIndex);
        for (std::size_t i = 0; i < meter->ranges.size(); ++i)
            list->addItem(meter->ranges[i].label, int(i));
        const bool itsOwn =
            meter->name == wantedRangeProfile_ || wantedRange_ == QVariant(int(autoRangeIndex));
        const int wanted = itsOwn ? list->findData(wantedRange_) : -1;
        list->setCurrentIndex(wanted >= 0 ? wanted : 0); // Auto, or the most sensitive
    }
    if (QComboBox* list = o_.rate) {
        const QSignalBlocker quiet(list);
        list->clear();
        for (const ProfileRate& rate : meter->rates)
            list->addItem(rate.name.left(1).toUpper() + rate.name.mid(1), rate.name);
        const int wanted = list->findData(wantedRate_);
        list->setCurrentIndex(wanted >= 0 ? wanted
                                          : std::max(0, list->findData(QStringLiteral("medium"))));
    }
    if (o_.nplc)
        o_.nplc->setPlaceholderText(meter->hasNplc() ? meter->nplcChoices() : tr("not offered"));
}

void ProfileChoices::updateEnabled()
{
    const ProfilePtr source = session_.profile(Session::Which::Source);
    const ProfilePtr meter = session_.profile(Session::Which::Meter);
    if (o_.sourceMeasures) {
        o_.sourceMeasures->setEnabled(!sweeping_ && source->smu);
        if (!source->smu && o_.sourceMeasures->isChecked())
            o_.sourceMeasures->setChecked(false); // a source that cannot measure is no meter
    }
    const bool limit = !source->limitCommand.isEmpty();
    if (o_.compliance) {
        o_.compliance->setEnabled(!sweeping_ && limit);
        o_.compliance->setPlaceholderText(
            !limit ? tr("no limit command")
            : source->defaultLimitAmps
                ? tr("default %1").arg(siText(*source->defaultLimitAmps, QStringLiteral("A")))
                : tr("the source's own"));
    }
    if (o_.continueAtCompliance)
        o_.continueAtCompliance->setEnabled(!sweeping_ && limit);
    const bool ownMeter = !sweeping_ && !session_.meterFollowsSource();
    for (QWidget* field : std::initializer_list<QWidget*>{o_.meterAddress, o_.meterPort,
                                                          o_.meterIdentify, o_.meterProfile})
        if (field)
            field->setEnabled(ownMeter);
    if (o_.range)
        o_.range->setEnabled(!sweeping_ && o_.range->count() > 0);
    if (o_.rate)
        o_.rate->setEnabled(!sweeping_ && o_.rate->count() > 0);
    if (o_.nplc)
        o_.nplc->setEnabled(!sweeping_ && meter->hasNplc());
}

void ProfileChoices::setSweeping(bool sweeping)
{
    sweeping_ = sweeping;
    if (o_.sourceProfile)
        o_.sourceProfile->setEnabled(!sweeping);
    updateEnabled();
}

void ProfileChoices::read(StoredSweep& typed) const
{
    if (o_.range && o_.range->count() > 0)
        typed.rangeIndex = o_.range->currentData().toInt();
    if (o_.rate && o_.rate->count() > 0)
        typed.meterRate = o_.rate->currentData().toString();
    // A field the profile does not offer is not sent, whatever it holds.
    typed.compliance =
        o_.compliance && o_.compliance->isEnabled() ? o_.compliance->text() : QString();
    typed.continueAtCompliance = o_.continueAtCompliance && o_.continueAtCompliance->isEnabled() &&
                                 o_.continueAtCompliance->isChecked();
    typed.nplc = o_.nplc && o_.nplc->isEnabled() ? o_.nplc->text() : QString();
    typed.meterIsSource = o_.sourceMeasures && o_.sourceMeasures->isChecked();
}

} // namespace kestrel
