#pragma once

#include <QLabel>

namespace kestrel
{

// A label of a fixed number of lines that never cuts a sentence off unseen: the text
// wraps at its blanks, the last line that fits ends in "…", and the tooltip then holds
// the whole text. text() is always the whole text.
class WholeTextLabel : public QLabel
{
    Q_OBJECT
  public:
    using QLabel::QLabel;

    // Whether the text is longer than the label shows at its size.
    bool isElided() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

  private:
    // The lines as shown: wrapped to the width, the last that fits elided.
    QStringList shownLines(bool* elided) const;
};

} // namespace kestrel
